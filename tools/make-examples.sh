#!/bin/sh
# Rebuilds the sample program files in examples/ from examples/src/ with
# binutils: hello.hex (Intel hex with a start vector, loads at E000:0000)
# and table.bin (a 4 K binary image). The results are committed, so this
# is only needed after changing the sources.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
src="$here/examples/src"
out="$here/examples"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

as --32 -o "$tmp/hello.o" "$src/hello.s"
ld -m elf_i386 -Ttext=0 -e _start -o "$tmp/hello.elf" "$tmp/hello.o"
# Place the code at linear 0xE0000; the start address becomes the start
# segment record E000:0000.
objcopy -O ihex -j .text --change-addresses 0xE0000 "$tmp/hello.elf" "$out/hello.hex"

as --32 -o "$tmp/table.o" "$src/table.s"
objcopy -O binary -j .data "$tmp/table.o" "$out/table.bin"

echo "wrote $out/hello.hex and $out/table.bin"
