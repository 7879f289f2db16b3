#!/usr/bin/env bash
# Builds and runs every test: a native x86-64 build under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang++), run twice (the second time with
# scramble mode on in every heap), a 32-bit i686 build (g++ -m32) under
# AddressSanitizer and UndefinedBehaviorSanitizer in which every layout figure
# of the library is exact (UndefinedBehaviorSanitizer alone under qemu's
# user-mode emulation, which AddressSanitizer does not run under), a
# build with the OKR_VALGRIND option run natively and, in part, under
# Valgrind's memcheck, and the Windows builds (MinGW-w64) for x86-64 under
# wine64 and for i686, okr.dll's own architecture, under 32-bit wine (built
# and checked only, where the kernel runs no 32-bit program), each with an
# okr.dll that exports the whole C API and runs a C program; then
# builds the shipped 32-bit okr.dll and checks its exports and imports, and
# checks okr as a package (scripts/package_checks.sh): the installed files,
# libokr.so's exports, the public headers, a C consumer built three ways, and
# the README's code samples. Every build's static library but the sanitized
# native one is checked to need nothing of the C++ runtime.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$OKR_ROOT/scripts/package_checks.sh"
source "$OKR_ROOT/scripts/wine.sh"

need cmake make g++ g++-multilib clang libclang-rt-14-dev libgtest-dev googletest pkg-config python3

# build_tree NAME CMAKE_ARGS...: configures and builds build/NAME, with the
# tests, examples and tool on whatever an earlier configuration chose.
build_tree() {
  local name=$1; shift
  cmake -S "$OKR_ROOT" -B "$OKR_ROOT/build/$name" -DCMAKE_BUILD_TYPE=Debug -DOKR_TESTS=ON \
    -DOKR_EXAMPLES=ON -DOKR_TOOLS=ON "$@" >/dev/null || die "$name: configure failed"
  cmake --build "$OKR_ROOT/build/$name" -j "$OKR_JOBS" || die "$name: build failed"
}

# run_build NAME CMAKE_ARGS...: builds build/NAME (build_tree) and runs its
# tests.
run_build() {
  echo "== $1 =="
  build_tree "$@"
  (cd "$OKR_ROOT/build/$1" && ctest --output-on-failure --no-tests=error -j "$OKR_JOBS" ${OKR_CTEST_ARGS:-}) \
    || die "$1: tests failed"
}

# gtest_prefix NAME CMAKE_ARGS...: Debian's libgtest is built for x86-64
# only; other builds get GoogleTest compiled once from the sources of
# Debian's googletest package (with the build's toolchain) and installed into
# build/gtest-NAME. Prints that prefix, for CMAKE_PREFIX_PATH.
gtest_prefix() {
  local name=$1; shift
  local prefix="$OKR_ROOT/build/gtest-$name" src stamp
  src=$(dpkg -L googletest | grep '/CMakeLists.txt$' | awk '{print length, $0}' | sort -n \
        | head -1 | cut -d' ' -f2-)
  [ -n "$src" ] || die "the googletest package ships no CMakeLists.txt"
  stamp="$(dpkg-query -W -f='${Version}' googletest) $*"
  if [ "$(cat "$prefix/built-from" 2>/dev/null)" != "$stamp" ]; then
    echo "== GoogleTest for $name ==" >&2
    rm -rf "$prefix"
    { cmake -S "$(dirname "$src")" -B "$prefix/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
        -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$prefix" "$@" \
      && cmake --build "$prefix/build" -j "$OKR_JOBS" && cmake --install "$prefix/build"; } >/dev/null \
      || die "GoogleTest for $name: build failed"
    echo "$stamp" >"$prefix/built-from"
  fi
  echo "$prefix"
}

# The C link is checked on the other builds: clang's -fsanitize=function
# makes instrumented code name the C++ ABI's type information.
# scramble_run NAME: build/NAME's suite once more with scramble mode on in
# every heap the test programs create, so that a data address kept across a
# call that may move memory is reported; the tests labelled "placement"
# (they assert where blocks lie, exact figures or scale), those labelled
# "found" (the fuzzers' found inputs, minutes under scramble mode; the seeds
# stay in) and the okr tool's (another program) are left out.
scramble_run() {
  echo "== $1, scramble mode =="
  (cd "$OKR_ROOT/build/$1" \
    && OKR_TEST_SCRAMBLE=1 ctest --output-on-failure -j "$OKR_JOBS" -LE '^(placement|found)$' \
      -E '^okr_tool[.]') \
    || die "$1: tests failed with scramble mode on"
}

run_build native-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DOKR_SANITIZERS=address,undefined
scramble_run native-asan

# Kernels without 32-bit support run the i686 tests under user-mode emulation.
i686_runner() {
  local probe; probe=$(mktemp -d)
  echo 'int main(void){return 0;}' > "$probe/p.c"
  gcc -m32 "$probe/p.c" -o "$probe/p" || die "gcc -m32 cannot build a program"
  if ! "$probe/p" 2>/dev/null; then
    need qemu-user >&2
    qemu-i386 "$probe/p" || die "qemu-i386 cannot run a 32-bit program"
    echo "-DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v qemu-i386)"
  fi
  rm -rf "$probe"
}
runner=$(i686_runner)
i686_toolchain=(-DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/i686-linux.cmake" -DCMAKE_CXX_COMPILER=g++
  -DCMAKE_C_COMPILER=gcc)
gtest=$(gtest_prefix i686 "${i686_toolchain[@]}")
# The shipped layout (4-byte owner words, index words in free blocks) under
# the sanitizers too, where the kernel runs it.
i686_sanitizers=address,undefined
[ -z "$runner" ] || i686_sanitizers=undefined
run_build i686 "${i686_toolchain[@]}" -DCMAKE_PREFIX_PATH="$gtest" -DOKR_SANITIZERS=$i686_sanitizers \
  $runner
[ -n "$runner" ] || scramble_run i686
check_c_link "$OKR_ROOT/build/i686/libokr.a" nm "$(g++ -m32 -print-file-name=libstdc++.so)"

# Valgrind: a build with the OKR_VALGRIND option, i686 where this machine runs
# 32-bit programs (the layout whose index words live in free blocks), else
# x86-64. Its whole suite runs natively first (heap debugging without a
# sanitizer); then, under memcheck, every misuse case must be reported at its
# line and the memory manager's tests (but the index's scale tests) and the
# tour must be clean: two processes at a time.
echo "== valgrind =="
vg_dir="$OKR_ROOT/build/valgrind"
vg_build=(-DCMAKE_BUILD_TYPE=Debug -DOKR_VALGRIND=ON -DOKR_TESTS=ON -DOKR_EXAMPLES=ON -DOKR_TOOLS=OFF
  -DOKR_SHARED=OFF -DOKR_INSTALL=OFF)
if [ -z "$runner" ]; then
  need valgrind libc6-dbg:i386  # memcheck's x86 tool needs the symbols of the 32-bit ld.so
  vg_build+=("${i686_toolchain[@]}" -DCMAKE_PREFIX_PATH="$gtest")
else
  need valgrind
fi
cmake -S "$OKR_ROOT" -B "$vg_dir" "${vg_build[@]}" >/dev/null || die "valgrind: configure failed"
cmake --build "$vg_dir" -j "$OKR_JOBS" --target okr_tests okr_tour || die "valgrind: build failed"
"$vg_dir/tests/okr_tests" --gtest_brief=1 || die "valgrind: tests failed"
memcheck() {
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --trace-children=yes --suppressions="$OKR_ROOT/tests/valgrind.supp" "$@"
}
vg_logs="$vg_dir/logs"
rm -rf "$vg_logs" && mkdir -p "$vg_logs/tour"
cp "$OKR_ROOT"/examples/*.txt "$vg_logs/tour/"
memcheck "$vg_dir/tests/okr_tests" --gtest_brief=1 --gtest_filter='MemModel.*' >"$vg_logs/model" 2>&1 &
model=$!
if ! (memcheck "$vg_dir/tests/okr_tests" --gtest_brief=1 \
      --gtest_filter='Mem*:HeapTest*:-MemModel.*:MemIndex.LongClassesStayExact:MemIndex.GroupsGrownPastFullStayInOrder' \
    && cd "$vg_logs/tour" && memcheck "$vg_dir/examples/okr_tour") >"$vg_logs/rest" 2>&1; then
  kill $model 2>/dev/null || true
  cat "$vg_logs/rest"
  die "valgrind: memcheck found errors"
fi
wait $model || { cat "$vg_logs/model"; die "valgrind: memcheck found errors in the model test"; }
echo "memcheck: misuse reported at its line; memory manager tests and tour clean"

# Windows: each MinGW-w64 build, x86-64 and i686 (okr.dll's own), under its
# own wine, with the whole-API okr.dll.
need g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine32:i386
version=$(sed -n 's/^#define OKR_VERSION_STRING "\(.*\)"$/\1/p' "$OKR_ROOT/include/okr/okr.h")

# windows_build ARCH WINEARCH BITS [CMAKE_ARGS...]: builds build/mingw-ARCH
# and runs its tests under the wine its toolchain file names as the emulator
# (see start_wine), checks its static library and the whole-API okr.dll's
# imports and exports, and runs a C program that links okr.dll's import
# library with okr.dll beside it.
windows_build() {
  local arch=$1 cross=$1-w64-mingw32 dir="$OKR_ROOT/build/mingw-$1" toolchain_file loader gtest
  local run=yes
  toolchain_file="$OKR_ROOT/cmake/mingw-$arch.cmake"
  loader=$(sed -n 's/^set(CMAKE_CROSSCOMPILING_EMULATOR .* \([^ ]*\))$/\1/p' "$toolchain_file")
  [ -n "$loader" ] || die "$toolchain_file names no emulator"
  # 32-bit wine is a 32-bit Linux program (and does not run under qemu-i386):
  # where the kernel runs none, the i686 build is made and checked, not run.
  [ "$3" = 32 ] && [ -n "$runner" ] && run=
  if [ -n "$run" ]; then
    start_wine "$arch" "$loader" "$2" "$3"
  else
    echo "note: this kernel does not run 32-bit programs, so neither does 32-bit wine:" \
      "the $arch Windows tests are built, not run"
  fi
  gtest=$(gtest_prefix "mingw-$arch" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file")
  # Under wine a test program now and then fails to start and ends without a
  # line of output; such a test gets one more run. A test that fails for real
  # fails both times.
  if [ -n "$run" ]; then
    OKR_CTEST_ARGS="--repeat until-pass:2" run_build "mingw-$arch" \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DCMAKE_PREFIX_PATH="$gtest" -DOKR_DLL_API=ON "${@:4}"
  else
    # (GoogleTest's list of tests comes from running the program: asked for
    # when the tests run, not when they are built.)
    echo "== mingw-$arch (built, not run) =="
    build_tree "mingw-$arch" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DCMAKE_PREFIX_PATH="$gtest" \
      -DOKR_DLL_API=ON -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "${@:4}"
  fi
  check_c_link "$dir/libokr.a" "$cross-nm" "$("$cross-g++-posix" -print-file-name=libstdc++.a)"
  check_dll_imports "$dir/module/okr.dll" "$cross-objdump"
  check_api_dll "$dir/module/okr.dll" "$dir/libokr.a" "$cross"
  mkdir -p "$dir/consumer"
  cp "$dir/module/okr.dll" "$dir/consumer/"
  "$cross-gcc-posix" -std=c11 -Wall -Wextra -Werror -pedantic -DOKR_USE_DLL -I "$OKR_ROOT/include" \
    "$OKR_ROOT/examples/consumer/main.c" "$dir/module/libokr.dll.a" -o "$dir/consumer/consumer.exe" \
    || die "consumer of the $arch okr.dll: build failed"
  "$cross-objdump" -p "$dir/consumer/consumer.exe" | grep 'DLL Name: okr.dll' >/dev/null \
    || die "the $arch consumer.exe does not import okr.dll"
  [ -n "$run" ] || return 0
  expect_output "consumer.exe with the $arch okr.dll under $loader" \
    "okr $version: title \"okr from C\", width 640" run_wine "$dir/consumer/consumer.exe"
  stop_wine
}

# ctest_names BUILD: the names of the tests of build/BUILD, sorted.
ctest_names() {
  (cd "$OKR_ROOT/build/$1" && ctest -N) | sed -n 's/^ *Test *#[0-9]*: //p' | sort
}

# The x86-64 one with heap debugging and no memory checker (fill bytes,
# scramble mode), what a Windows program has; the i686 one as okr.dll ships.
windows_build x86_64 win64 64 -DOKR_HEAP_DEBUG=ON
windows_build i686 win32 32 -DOKR_HEAP_DEBUG=OFF
if [ -z "$runner" ]; then
  diff <(ctest_names mingw-x86_64) <(ctest_names mingw-i686) \
    || die "the i686 Windows build runs other tests (>) than the x86-64 one (<)"
fi

echo "== okr.dll (i686) =="
# The shipped DLL exports its two samples only (the whole-API one is
# build/mingw-i686's) and imports from the system's DLLs only.
dll_dir="$OKR_ROOT/build/okr-dll-i686"
cmake -S "$OKR_ROOT" -B "$dll_dir" -DCMAKE_BUILD_TYPE=Release -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF \
  -DOKR_TOOLS=OFF -DOKR_DLL_API=OFF -DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/mingw-i686.cmake" \
  >/dev/null || die "okr.dll: configure failed"
cmake --build "$dll_dir" -j "$OKR_JOBS" --target okr okr_dll >/dev/null || die "okr.dll: build failed"
check_dll_imports "$dll_dir/module/okr.dll" i686-w64-mingw32-objdump
exports=$(dll_exports "$dll_dir/module/okr.dll" i686-w64-mingw32-objdump | tr '\n' ' ')
[ "$exports" = "_fnOKR_dll@0 nOKR_dll " ] || die "okr.dll exports '$exports'"
echo "okr.dll exports: $exports"

check_package
echo "all builds passed"
