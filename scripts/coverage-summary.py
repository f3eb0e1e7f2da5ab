#!/usr/bin/env python3
"""Line coverage of the product code per folder, from the .gcda files a test run left.

Usage: coverage-summary.py BUILD_DIR [--html OUT_DIR]
Prints one line per folder (src/<Area>/<Sub> and tools/<tool>) and the total. With --html,
also writes gcovr's detailed report to OUT_DIR/index.html.
"""
import json
import os
import subprocess
import sys
import tempfile
from collections import defaultdict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def folder_of(path):
    parts = path.split("/")
    if parts[0] == "src":
        return "/".join(parts[: min(len(parts) - 1, 3)])
    return "/".join(parts[: min(len(parts) - 1, 2)])


def run_gcovr(build, extra):
    command = ["gcovr", "--root", ROOT, "--filter", os.path.join(ROOT, "src/"),
               "--filter", os.path.join(ROOT, "tools/"), "-j", str(os.cpu_count() or 1),
               "--gcov-ignore-parse-errors"] + extra + [build]
    # gcov warns about counts that tests running in parallel left inconsistent; only a failure
    # is worth the reader's time.
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit(f"coverage-summary: gcovr failed with exit code {done.returncode}")


def main():
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2] != "--html"):
        sys.exit(__doc__)
    build = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        summary = os.path.join(tmp, "summary.json")
        extra = ["--json-summary", summary]
        if len(sys.argv) == 4:
            os.makedirs(sys.argv[3], exist_ok=True)
            extra += ["--html-details", os.path.join(sys.argv[3], "index.html")]
        run_gcovr(build, extra)
        with open(summary, encoding="utf-8") as f:
            files = json.load(f)["files"]
    if not files:
        sys.exit("coverage-summary: no coverage data (build with -DOSTREL_COVERAGE=ON and run the tests)")

    covered = defaultdict(int)
    total = defaultdict(int)
    for entry in files:
        name = folder_of(entry["filename"])
        covered[name] += entry["line_covered"]
        total[name] += entry["line_total"]

    lines = ["Line coverage per folder (lines covered / lines):"]
    for name in sorted(total):
        if total[name]:
            lines.append(f"  {name:<34} {100.0 * covered[name] / total[name]:5.1f}%  "
                         f"{covered[name]:>6} / {total[name]}")
    all_covered, all_total = sum(covered.values()), sum(total.values())
    lines.append(f"  {'total':<34} {100.0 * all_covered / max(all_total, 1):5.1f}%  "
                 f"{all_covered:>6} / {all_total}")
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    try:
        main()
    except OSError as error:
        sys.exit(f"coverage-summary: {error}")
