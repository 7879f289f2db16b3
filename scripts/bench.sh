#!/usr/bin/env bash
# Builds the benchmarks (Release, -O2) and runs every okr_bench_* program of
# the build, then repeats the "== summary" section each program printed.
# Arguments go to every program (e.g. --benchmark_filter=workload);
# OKR_BENCH_REPETITIONS (default 3) sets how often each benchmark is repeated.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++ pkg-config libbenchmark-dev libjemalloc-dev libmimalloc-dev libinih-dev libmuparser-dev

dir="$OKR_ROOT/build/bench"
repetitions=${OKR_BENCH_REPETITIONS:-3}

cmake -S "$OKR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DOKR_BENCH=ON -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF >/dev/null || die "configure failed"
cmake --build "$dir" -j "$OKR_JOBS" || die "build failed"

mapfile -t programs < <(find "$dir" -type f -name 'okr_bench_*' -perm -u+x | sort)
[ ${#programs[@]} -gt 0 ] || die "no okr_bench_* program was built"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "== $name =="
  "$program" --benchmark_repetitions="$repetitions" "$@" | tee "$logs/$name.log" \
    || die "$name failed"
done

echo
echo "==== ratios ===="
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "-- $name"
  sed -n '/^== summary/,$p' "$logs/$name.log"
done
