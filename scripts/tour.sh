#!/usr/bin/env bash
# The main job: builds okr and runs the tour of the library on the sample data.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++
dir="$OKR_ROOT/build/release"
cmake -S "$OKR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DOKR_TESTS=OFF >/dev/null || die "configure failed"
cmake --build "$dir" -j "$OKR_JOBS" --target okr_tour >/dev/null || die "build failed"
cd "$OKR_ROOT/examples"
"$dir/examples/okr_tour" "$@"
