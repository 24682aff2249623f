#!/usr/bin/env bash
# Exits 0 if this machine runs 32-bit x86 programs (a kernel with IA-32
# emulation, not turned off), 1 if not: the test is a 32-bit program that
# only exits. Needs the assembler and linker of binutils.
set -euo pipefail
[[ $(uname -m) == x86_64 || $(uname -m) == i?86 ]] || exit 1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' |
  as --32 -o "$dir/exit.o" - 2>/dev/null && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null || exit 1
"$dir/exit" 2>/dev/null || exit 1
