#!/usr/bin/env bash
# Checks `kestrava-patcher md5` against md5sum on the same files, and its
# exit status and message for files it cannot read.
set -euo pipefail
patcher=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

: > empty
head -c 1024 /dev/urandom > kilo
head -c 3000017 /dev/urandom > "with space.bin"
printf 'abc' > 'back\slash'
printf 'x' > "$(printf 'new\nline')"
files=(empty kilo "with space.bin" 'back\slash' "$(printf 'new\nline')")

diff <(md5sum "${files[@]}") <("$patcher" md5 "${files[@]}")

# A missing file and a folder: exit 1, a message naming each, the rest printed.
set +e
out=$("$patcher" md5 kilo missing.bin . 2> err)
status=$?
set -e
[ "$status" -eq 1 ] || { echo "exit status $status, expected 1"; exit 1; }
[ "$out" = "$(md5sum kilo)" ] || { echo "unexpected output: $out"; exit 1; }
grep -q "missing.bin: No such file or directory" err || { cat err; exit 1; }
grep -q "\.: Is a directory" err || { cat err; exit 1; }

# No file at all is a usage error.
if "$patcher" md5 2> /dev/null; then echo "md5 without FILE succeeded"; exit 1; fi
echo "kestrava-patcher md5 matches md5sum"
