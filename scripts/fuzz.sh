#!/usr/bin/env bash
# Builds every libFuzzer target of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for SECONDS seconds (default 60).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# Each target keeps its corpus in build/fuzz/corpus/<target>.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make clang libclang-rt-14-dev

seconds=${1:-60}
shift || true
dir="$OKR_ROOT/build/fuzz"
cmake -S "$OKR_ROOT/fuzz" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null || die "fuzz: configure failed"
cmake --build "$dir" -j "$OKR_JOBS" || die "fuzz: build failed"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$OKR_ROOT"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
for target in "${targets[@]}"; do
  echo "== $target: ${seconds}s =="
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  (cd "$dir" && "./$target" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 "$corpus") \
    || die "$target found a failure (the input is in $dir)"
done
echo "all fuzz targets ran clean"
