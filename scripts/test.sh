#!/usr/bin/env bash
# Builds and runs every test: a native x86-64 build under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang++), and a 32-bit i686 build (g++ -m32) in
# which every layout figure of the library is exact.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need cmake make g++ g++-multilib clang libclang-rt-14-dev libgtest-dev googletest

run_build() {
  local name=$1; shift
  local dir="$OKR_ROOT/build/$name"
  echo "== $name =="
  cmake -S "$OKR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null || die "$name: configure failed"
  cmake --build "$dir" -j "$OKR_JOBS" || die "$name: build failed"
  (cd "$dir" && ctest --output-on-failure -j "$OKR_JOBS") || die "$name: tests failed"
}

run_build native-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DOKR_SANITIZE=ON
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
run_build i686 -DCMAKE_TOOLCHAIN_FILE="$OKR_ROOT/cmake/i686-linux.cmake" \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc $runner
echo "all builds passed"
