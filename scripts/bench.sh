#!/usr/bin/env bash
# Builds the benchmarks (Release, -O2) and runs every okr_bench_* program of
# the build, then repeats the "== summary" section each program printed.
# Arguments go to every program (e.g. --benchmark_filter=workload);
# OKR_BENCH_REPETITIONS (default 3) sets how often each benchmark is repeated.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++ g++-multilib pkg-config libbenchmark-dev libjemalloc-dev libmimalloc-dev \
  libinih-dev libmuparser-dev

dir="$OKR_ROOT/build/bench"
repetitions=${OKR_BENCH_REPETITIONS:-3}

cmake -S "$OKR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DOKR_BENCH=ON -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF >/dev/null || die "configure failed"
cmake --build "$dir" -j "$OKR_JOBS" || die "build failed"

mapfile -t programs < <(find "$dir" -type f -name 'okr_bench_*' -perm -u+x | sort)
[ ${#programs[@]} -gt 0 ] || die "no okr_bench_* program was built"

# The 32-bit build's heap bytes per live block: a program that needs no
# Google Benchmark (Debian's is 64-bit only), from an i686 tree.
dir32="$OKR_ROOT/build/bench-i686"
cmake -S "$OKR_ROOT" -B "$dir32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/i686-linux.cmake" -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DOKR_BENCH=ON -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF >/dev/null || die "i686 configure failed"
cmake --build "$dir32" -j "$OKR_JOBS" --target okr_bench_mem_bytes || die "i686 build failed"
bytes32="$dir32/bench/mem/okr_bench_mem_bytes"
if ! "$bytes32" >/dev/null 2>&1; then  # a kernel without 32-bit support
  need qemu-user
  printf '#!/bin/sh\nexec qemu-i386 "%s" "$@"\n' "$bytes32" > "$dir32/okr_bench_mem_bytes_i686"
  chmod +x "$dir32/okr_bench_mem_bytes_i686"
  bytes32="$dir32/okr_bench_mem_bytes_i686"
fi
programs+=("$bytes32")

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# Logs are numbered: the two builds' programs share a name. Repetitions of
# different benchmarks are interleaved in random order, so that a slow spell
# of the shared machine falls on okr and on the allocator it is compared
# with alike rather than on whichever ran at the time.
for i in "${!programs[@]}"; do
  name=$(basename "${programs[$i]}")
  echo "== $name =="
  "${programs[$i]}" --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
    "$@" | tee "$logs/$i.log" \
    || die "$name failed"
done

echo
echo "==== ratios ===="
for i in "${!programs[@]}"; do
  echo "-- $(basename "${programs[$i]}")"
  sed -n '/^== summary/,$p' "$logs/$i.log" | grep -v '^row: '
done

echo
echo "==== table (medians of $repetitions repetitions: ns/op in CPU time, compaction in wall time) ===="
echo "| figure | okr | other | okr/other |"
echo "|---|---|---|---|"
for i in "${!programs[@]}"; do
  sed -n 's/^row: //p' "$logs/$i.log"
done
