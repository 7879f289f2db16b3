#!/usr/bin/env bash
# Where the memory manager's instructions go, on both builds: replays each
# trace of the benchmarks (okr_mem_replay) on an okr heap and on malloc under
# qemu-user, with a plugin that counts every instruction run
# (bench/mem/insn_count.c), and prints instructions per operation and okr's
# by source file, function and source line (scripts/profile_report.py).
#   bash scripts/profile.sh [TRACE...]    (default: workload parser editor frame)
# OKR_PROFILE_TOP (default 20) sets the rows of each listing.
#
# Counts, not times, and the same on any x86-64 machine with Debian 12's qemu
# (the plugin is built for its interface): the i686 build is counted even
# where the kernel runs no 32-bit programs (and where valgrind, itself a
# 32-bit program for it, cannot). Timings are bench.sh's.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++ g++-multilib qemu-user binutils python3

traces=("$@")
[ ${#traces[@]} -gt 0 ] || traces=(workload parser editor frame)
top=${OKR_PROFILE_TOP:-20}

dir="$OKR_ROOT/build/profile"
mkdir -p "$dir"
plugin="$dir/insn_count.so"
gcc -O2 -shared -fPIC -Wall -Wextra -Werror -o "$plugin" "$OKR_ROOT/bench/mem/insn_count.c" \
  || die "the counting plugin did not build"

# Release code with line tables, at the addresses of the file (no PIE), so
# that addr2line names what ran.
flags="-O2 -g -DNDEBUG -fno-pie"
build() {  # build DIR [CMAKE ARGUMENTS...]
  local tree=$1
  shift
  cmake -S "$OKR_ROOT" -B "$tree" "$@" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$flags" \
    -DCMAKE_CXX_FLAGS_RELEASE="$flags" -DCMAKE_EXE_LINKER_FLAGS=-no-pie -DOKR_BENCH=ON \
    -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF -DOKR_TOOLS=OFF >/dev/null || die "configure of $tree failed"
  cmake --build "$tree" -j "$OKR_JOBS" --target okr_mem_replay >/dev/null || die "build of $tree failed"
}
build "$dir/x86-64"
build "$dir/i686" -DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/i686-linux.cmake"

for trace in "${traces[@]}"; do
  for arch in x86-64 i686; do
    qemu=qemu-x86_64
    [ "$arch" = i686 ] && qemu=qemu-i386
    echo "== $trace, $arch =="
    python3 "$OKR_ROOT/scripts/profile_report.py" "$qemu" "$plugin" \
      "$dir/$arch/bench/mem/okr_mem_replay" "$trace" "$top" || die "$trace ($arch) failed"
  done
done
