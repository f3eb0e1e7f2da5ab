#!/bin/sh
# Makes the archives written by other tools that the ZIP reader is tested against, from the
# messages in src/. Each tool writes to a pipe, so it cannot go back to fill in sizes and uses
# data descriptors instead, as a server streaming an archive does.
#   infozip-pipe.zip       zip, files to a pipe: ".meta" stored, messages deflated, extra fields
#   infozip-stdin.zip      zip, stdin to a pipe: one entry "-" with a Zip64 data descriptor
#   python-unseekable.zip  Python's zipfile on an unseekable stream: stored entries without
#                          sizes (their end is found by the descriptor), deflated ones, an empty one
set -eu
cd "$(dirname "$0")"

# A larger message, so that entries span many reads.
python3 - > src/3.eml <<'PY'
import random
rng = random.Random(3)
words = "the of and to in is it for on with as at by from this that be are was".split()
print("From: Carol Example <carol@example.test>")
print("Subject: Minutes")
print("MIME-Version: 1.0")
print("Content-Type: text/plain; charset=utf-8")
print()
for n in range(4000):
    print(" ".join(rng.choice(words) for _ in range(rng.randint(3, 14))))
PY

(cd src && zip -q -n .meta - 1.meta 1.eml 2.meta 2.eml 3.meta 3.eml | cat) > infozip-pipe.zip
zip -q - - < src/3.eml | cat > infozip-stdin.zip

python3 - > python-unseekable.zip <<'PY'
import io, sys, zipfile

class Unseekable(io.RawIOBase):
    def __init__(self, out):
        self.out = out
    def writable(self):
        return True
    def seekable(self):
        return False
    def write(self, data):
        self.out.write(data)
        return len(data)

def read(name):
    with open("src/" + name, "rb") as f:
        return f.read()

def info(name, method):
    i = zipfile.ZipInfo(name, (2025, 1, 1, 12, 0, 0))
    i.compress_type = method
    return i

with zipfile.ZipFile(Unseekable(sys.stdout.buffer), "w") as z:
    for n in ("1", "2", "3"):
        z.writestr(info(n + ".meta", zipfile.ZIP_STORED), read(n + ".meta"))
        with z.open(info(n + ".eml", zipfile.ZIP_DEFLATED), "w") as f:
            f.write(read(n + ".eml"))
    z.writestr(info("empty.meta", zipfile.ZIP_STORED), b"")
PY
