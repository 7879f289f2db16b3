#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang's fuzzer, address
# and undefined-behaviour instrumentation and runs each for SECONDS seconds
# (default 60), with its seed corpus from fuzz/corpus/<target>/ when there is
# one. Findings land in build/fuzz/findings/.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
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
  for src in "$OKR_ROOT"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
mkdir -p "$dir/findings"
for target in "${targets[@]}"; do
  echo "== $target (${seconds}s) =="
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$OKR_ROOT/fuzz/corpus/$target" ] && seeds=("$OKR_ROOT/fuzz/corpus/$target")
  [ -d "$OKR_ROOT/fuzz/found/$target" ] && seeds+=("$OKR_ROOT/fuzz/found/$target")
  "$dir/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$target-" "$corpus" "${seeds[@]}" || die "$target found a failure"
done
echo "fuzzing passed"
