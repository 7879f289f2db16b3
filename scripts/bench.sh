#!/usr/bin/env bash
# Builds the benchmarks (Release, -O2) for x86-64 and for i686 (-m32, run
# natively) and runs every okr_bench_* program of both builds, then repeats
# the "== summary" section each program printed and ends with one table of
# both builds' figures side by side.
# Arguments go to every program (e.g. --benchmark_filter=workload);
# OKR_BENCH_REPETITIONS (default 3) sets how often each benchmark is repeated
# (the latency runs are always 5).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++ g++-multilib pkg-config libbenchmark-dev libbenchmark-dev:i386 \
  libjemalloc-dev libmimalloc-dev libinih-dev libmuparser-dev

repetitions=${OKR_BENCH_REPETITIONS:-3}
release=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DOKR_BENCH=ON -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF)

dir="$OKR_ROOT/build/bench"
cmake -S "$OKR_ROOT" -B "$dir" "${release[@]}" >/dev/null || die "configure failed"
cmake --build "$dir" -j "$OKR_JOBS" || die "build failed"
mapfile -t programs < <(find "$dir" -type f -name 'okr_bench_*' -perm -u+x | sort)
[ ${#programs[@]} -gt 0 ] || die "no okr_bench_* program was built"
builds=()
for _ in "${programs[@]}"; do builds+=(x86-64); done

# The i686 tree measures the memory manager alone, against glibc -m32.
dir32="$OKR_ROOT/build/bench-i686"
cmake -S "$OKR_ROOT" -B "$dir32" -DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/i686-linux.cmake" \
  "${release[@]}" >/dev/null || die "i686 configure failed"
cmake --build "$dir32" -j "$OKR_JOBS" --target okr_bench_mem_glibc okr_bench_mem_bytes \
  || die "i686 build failed"
mem32="$dir32/bench/mem/okr_bench_mem_glibc"
bytes32="$dir32/bench/mem/okr_bench_mem_bytes"
if "$bytes32" >/dev/null 2>&1; then
  programs+=("$mem32" "$bytes32")
  builds+=(i686 i686)
else
  # A kernel without 32-bit support: an emulator's timings would not count,
  # so only the byte counts are taken, under qemu.
  echo "note: this kernel does not run 32-bit programs; no i686 speed figures (scripts/profile.sh counts the i686 build's instructions)"
  need qemu-user
  printf '#!/bin/sh\nexec qemu-i386 "%s" "$@"\n' "$bytes32" > "$dir32/okr_bench_mem_bytes_i686"
  chmod +x "$dir32/okr_bench_mem_bytes_i686"
  programs+=("$dir32/okr_bench_mem_bytes_i686")
  builds+=(i686)
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# Logs are numbered: the two builds' programs share a name. Repetitions of
# different benchmarks are interleaved in random order, so that a slow spell
# of the shared machine falls on okr and on the allocator it is compared
# with alike rather than on whichever ran at the time.
for i in "${!programs[@]}"; do
  name="$(basename "${programs[$i]}") (${builds[$i]})"
  echo "== $name =="
  "${programs[$i]}" --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
    "$@" | tee "$logs/$i.log" \
    || die "$name failed"
done

echo
echo "==== ratios ===="
for i in "${!programs[@]}"; do
  echo "-- $(basename "${programs[$i]}") (${builds[$i]})"
  sed -n '/^== summary/,$p' "$logs/$i.log" | grep -v '^row: '
done

# Each program's "row: | figure | okr | other | okr/other |" lines, one table
# row per figure with each build's three cells.
for i in "${!programs[@]}"; do
  sed -n "s/^row: /${builds[$i]}\t/p" "$logs/$i.log"
done > "$logs/rows"

echo
echo "==== table (medians of $repetitions repetitions, latency of 5: ns/op in CPU time, latency and compaction in wall time) ===="
awk -F'\t' '
  function trim(s) { gsub(/^ +| +$/, "", s); return s }
  {
    n = split($2, cell, "|")
    figure = trim(cell[2])
    if (!(figure in seen)) { seen[figure] = 1; order[++count] = figure }
    value[figure, $1] = trim(cell[3]) " | " trim(cell[4]) " | " trim(cell[5])
  }
  END {
    print "| figure | x86-64 okr | other | okr/other | i686 okr | other | okr/other |"
    print "|---|---|---|---|---|---|---|"
    for (i = 1; i <= count; ++i) {
      f = order[i]
      a = ((f, "x86-64") in value) ? value[f, "x86-64"] : " | | "
      b = ((f, "i686") in value) ? value[f, "i686"] : " | | "
      print "| " f " | " a " | " b " |"
    }
  }' "$logs/rows"
