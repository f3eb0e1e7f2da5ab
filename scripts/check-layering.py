#!/usr/bin/env python3
"""Fails when a source file includes a project header its folder may not use (layering.txt)."""
import os, re, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def load_rules():
    rules = {}
    with open(os.path.join(ROOT, 'layering.txt'), encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.split('#', 1)[0].strip()
            if not line:
                continue
            if ':' not in line:
                sys.exit(f'layering.txt:{number}: expected "folder : allowed folders"')
            key, allowed = line.split(':', 1)
            rules[key.strip()] = allowed.split()
    return rules


def matches(pattern, folder):
    if pattern.endswith('/**'):
        base = pattern[:-3]
        return folder == base or folder.startswith(base + '/')
    return folder == pattern


def rule_for(rules, folder):
    # An exact line wins; otherwise the nearest parent's line, whether written "X" or "X/**".
    probe = folder
    while probe:
        if probe in rules:
            return probe, rules[probe]
        if probe + '/**' in rules:
            return probe + '/**', rules[probe + '/**']
        probe = os.path.dirname(probe)
    return None, None


def main():
    rules = load_rules()
    known = ('Platform/', 'Util/', 'Ostrel/')
    failures = []
    for top, strip in (('src', 'src/'), ('tools', '')):
        for dirpath, _, files in os.walk(os.path.join(ROOT, top)):
            for name in sorted(files):
                if not name.endswith(('.h', '.cpp')):
                    continue
                path = os.path.relpath(os.path.join(dirpath, name), ROOT)
                folder = os.path.dirname(path)[len(strip):]
                key, allowed = rule_for(rules, folder)
                if key is None:
                    failures.append(f'{path}: no rule in layering.txt for {folder}')
                    continue
                with open(os.path.join(ROOT, path), encoding='utf-8') as f:
                    text = f.read()
                for header in INCLUDE.findall(text):
                    if header.startswith(known):
                        target = os.path.dirname(header)
                    elif os.path.exists(os.path.join(ROOT, 'tools', header)) and '/' in header:
                        target = 'tools/' + os.path.dirname(header)
                    else:
                        continue  # a header beside the including file, or a system header
                    own = target == folder
                    if not own and not any(matches(p, target) for p in allowed + [key]):
                        failures.append(f'{path}: includes "{header}", which {key} may not use')
    for line in failures:
        print(line)
    if failures:
        print(f'check-layering: {len(failures)} include(s) break layering.txt')
        return 1
    print('check-layering: every include follows layering.txt')
    return 0


if __name__ == '__main__':
    sys.exit(main())
