#!/usr/bin/env bash
# Seed corpora for the fuzzers: archives of the kinds the tests make (Info-ZIP, 7-Zip and
# Python, stored, deflated, BZIP2, LZMA and XZ, with links, UTF-8 names, ZIP64 and data
# descriptors), a Zstandard entry, and the public corpus of archives from many tools.
set -euo pipefail
out=${1:?usage: make_seeds.sh OUTDIR}
corpus=$(cd "$(dirname "$0")/../../shared/corpus/go-zip" 2>/dev/null && pwd || true)
mkdir -p "$out/zipreader" "$out/bzip2join" "$out/bzip2encoder" "$out/bzip2blockwise"
out=$(cd "$out" && pwd) # the archives are written from inside the scratch tree
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/sub"
printf 'hello\n' > "$work/tree/a.txt"
seq 1 400 > "$work/tree/sub/numbers.txt"
printf '\xc3\xa9t\xc3\xa9\n' > "$work/tree/sub/été.txt"
ln -s a.txt "$work/tree/link"
(cd "$work/tree" && zip -qry -Z bzip2 "$out/zipreader/infozip-bzip2.zip" . &&
    zip -qry -0 "$out/zipreader/infozip-stored.zip" . &&
    zip -qry "$out/zipreader/infozip-deflate.zip" . &&
    7zz a -tzip -mm=BZip2 "$out/zipreader/7zip-bzip2.zip" . >/dev/null &&
    7zz a -tzip -mm=LZMA "$out/zipreader/7zip-lzma.zip" . >/dev/null &&
    7zz a -tzip -mm=XZ "$out/zipreader/7zip-xz.zip" . >/dev/null &&
    cat a.txt | zip -q "$out/zipreader/infozip-stream.zip" -)
python3 - "$out/zipreader" <<'PY'
import sys, zipfile
d = sys.argv[1]
with zipfile.ZipFile(d + '/python-zip64.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open('big.txt', 'w', force_zip64=True) as f:
        f.write(b'line\n' * 100)
with zipfile.ZipFile(d + '/python-cp437.zip', 'w') as z:
    z.writestr(zipfile.ZipInfo('caf\x82.txt'), b'x')
with zipfile.ZipFile(d + '/python-bzip2.zip', 'w', zipfile.ZIP_BZIP2) as z:
    z.writestr('one', b'1' * 1000)
    z.writestr('dir/', b'')
with zipfile.ZipFile(d + '/python-lzma.zip', 'w', zipfile.ZIP_LZMA) as z:
    z.writestr('one', b'1' * 1000)
    z.writestr('two', b'two\n' * 300)
PY
# Python's zipfile does not write Zstandard (method 93): the zstd tool's frame, headers by hand.
printf 'zstandard entry\n%.0s' $(seq 1 200) > "$work/zstd.txt"
zstd -q -c "$work/zstd.txt" > "$work/zstd.txt.zst"
python3 - "$work/zstd.txt" "$work/zstd.txt.zst" "$out/zipreader/handmade-zstd.zip" <<'PY'
import struct, sys, zlib
content = open(sys.argv[1], 'rb').read()
body = open(sys.argv[2], 'rb').read()
name = b'zstd.txt'
fields = struct.pack('<HHHHHIIIHH', 63, 0, 93, 0, 0x5a21, zlib.crc32(content), len(body),
                     len(content), len(name), 0)
local = b'PK\x03\x04' + fields + name + body
central = b'PK\x01\x02' + struct.pack('<H', 63) + fields + struct.pack('<HHHII', 0, 0, 0, 0, 0) + name
end = b'PK\x05\x06' + struct.pack('<HHHHIIH', 0, 0, 1, 1, len(central), len(local), 0)
open(sys.argv[3], 'wb').write(local + central + end)
PY
if [ -n "$corpus" ]; then
    for f in "$corpus"/*.zip; do cp "$f" "$out/zipreader/go-$(basename "$f")"; done
else
    echo "make_seeds.sh: no archive corpus beside the checkout; seeding without it"
fi
# The joiner's seeds are plain data of a few shapes.
head -c 3000 /dev/urandom > "$out/bzip2join/random"
seq 1 5000 > "$out/bzip2join/text"
printf 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa' > "$out/bzip2join/runs"
# Whole bzip2 streams of those shapes and block sizes, and one of zeros that decodes to far more
# than its size, enough to be split.
bz() { python3 -c "import bz2, sys; sys.stdout.buffer.write(bz2.compress(sys.stdin.buffer.read(), $1))"; }
for f in random text runs; do bz 1 < "$out/bzip2join/$f" > "$out/bzip2blockwise/$f-100k.bz2"; done
seq 1 60000 | bz 3 > "$out/bzip2blockwise/text-300k.bz2"
head -c 9000000 /dev/zero | bz 9 > "$out/bzip2blockwise/zeros-9m.bz2"
# The encoder's seeds: the first byte picks plain bytes (0), a repeated word (1) or runs (2).
{ printf '\x00'; seq 1 2000; } > "$out/bzip2encoder/text"
{ printf '\x01\xff\xffabcabd'; } > "$out/bzip2encoder/periodic"
{ printf '\x02a\xffb\x03a\xfe'; } > "$out/bzip2encoder/runs"
{ printf '\x00'; head -c 3000 /dev/urandom; } > "$out/bzip2encoder/random"
