#!/usr/bin/env bash
# The main job: builds the okr tool and tours the library with it on the
# bundled sample data: a settings file read field by field, the resource file
# that the build made with the tool, listed, changed, compacted and listed
# again, and a heap worked on and drawn as a map.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++
build="$OKR_ROOT/build/release"
cmake -S "$OKR_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOKR_TESTS=OFF >/dev/null \
  || die "configure failed"
cmake --build "$build" -j "$OKR_JOBS" --target okr_cli okr_tour_data >/dev/null || die "build failed"

cd "$OKR_ROOT"
tour=build/tour
rm -rf "$tour" && mkdir -p "$tour"
okr() { "$build/tools/okr" "$@"; }
# Shows a command as one would type it, then runs it; a failure the tour
# shows on purpose is run with `fails`.
show() {
  local line='$ okr' arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=+-]+$ ]]; then line+=" $arg"; else line+=" '$arg'"; fi
  done
  printf '\n%s\n' "$line"
}
run() { show "$@"; okr "$@"; }
fails() { show "$@"; if okr "$@" 2>&1; then die "expected a failure"; fi; }
section() { printf '\n== %s ==\n' "$1"; }

section "A settings file: examples/settings.txt"
run tokens examples/settings.txt
vars=(-D screenWidth=1280 -D screenHeight=720 -D scale=2.0)
run get examples/settings.txt title
run get examples/settings.txt width "${vars[@]}"
for key in icon height tile color columns border tag speed; do
  printf '%-8s %s\n' "$key" "$(okr get examples/settings.txt "$key" "${vars[@]}")"
done
run get examples/settings.txt columns --float "${vars[@]}"
echo
echo "Without the program's variables the field cannot be evaluated; the error"
echo "names the file, line and column of the token that failed:"
fails get examples/settings.txt width
fails eval '3 + * 4'
run eval '($20 + %101) * 3 / 2'

section "A resource file made by the build: $tour/tour.res"
cp "$build/examples/tour.res" "$tour/tour.res"
run res list "$tour/tour.res"
run res extract "$tour/tour.res" TEXT 0
printf 'Hello again: this greeting replaced the first one and grew on the way.\n' \
  >"$tour/greeting.txt"
head -c 3000 /dev/urandom >"$tour/noise.bin"
run res replace "$tour/tour.res" TEXT 0 "$tour/greeting.txt"
run res add "$tour/tour.res" 0x4E4F4953 "$tour/noise.bin"
run res remove "$tour/tour.res" TEXT 1
run res list "$tour/tour.res"
echo
echo "Every write through the tool ends in a flush that packs the data area and"
echo "cuts the file after its directory, so compaction finds nothing left here;"
echo "on a file with gaps (written by another program) it reclaims them."
run res compact "$tour/tour.res" --dry-run
run res compact "$tour/tour.res"
run res list "$tour/tour.res" --json
run res extract "$tour/tour.res" NOIS 0 -o "$tour/noise.out"
cmp "$tour/noise.bin" "$tour/noise.out" && echo "(the extracted bytes equal noise.bin)"
run res check "$tour/tour.res"

section "A heap: random work, compaction and a map"
run heap --svg "$tour/heap.svg"
printf '\nOpen %s in a web browser to see the heap before and after compaction.\n' \
  "$OKR_ROOT/$tour/heap.svg"
echo "'$build/tools/okr help' lists every command."
