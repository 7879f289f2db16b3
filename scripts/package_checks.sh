# Checks of okr as a package, sourced by scripts/test.sh (after common.sh):
# the C link, the exported names of libokr.so and okr.dll, the DLL's imports,
# the public headers, the installed package and its consumers, and the
# README's code samples. Each check dies with the names that break it.

# public_names ARCHIVE NM: the names the public headers declare that the
# library defines: every identifier of the preprocessed okr/okr.h (comments
# gone) that is a global definition of the archive. The C names of 32-bit
# Windows objects lose their leading '_' and stdcall suffix ("@0") first.
public_names() {
  local archive=$1 nm=$2 c_name='s/^//'
  [[ $nm == i686-w64-mingw32-* ]] && c_name='s/^_//; s/@[0-9]*$//'
  comm -12 <(gcc -E -P -I "$OKR_ROOT/include" "$OKR_ROOT/include/okr/okr.h" \
               | grep -oE '[A-Za-z_][A-Za-z0-9_]*' | sort -u) \
           <(defined_names "$archive" "$nm" | sed "$c_name" | sort -u)
}

defined_names() {
  # (nm names every member without symbols on stderr: not worth a line)
  "$2" -g --defined-only "$1" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[A-Z]$/ {print $3}' | sort -u
}

# check_c_link ARCHIVE NM RUNTIME: a C program links the library with a C
# compiler, so the symbols the archive needs from outside must name nothing
# of the C++ runtime: no mangled name (operator new and delete among them),
# no __cxa_* or __gxx_* support routine, nothing RUNTIME (libstdc++) defines.
check_c_link() {
  local archive=$1 nm=$2 runtime=$3 external bad runtime_defs
  [ -f "$archive" ] || die "$archive: not built"
  external=$(comm -23 <("$nm" -u "$archive" | awk '$1 ~ /^[Uw]$/ {print $2}' | sort -u) \
                      <(defined_names "$archive" "$nm"))
  case $runtime in
    *.so*) runtime_defs=$("$nm" -D --defined-only "$runtime" | awk 'NF == 3 {print $3}' | sort -u) ;;
    *) runtime_defs=$(defined_names "$runtime" "$nm") ;;
  esac
  [ -n "$runtime_defs" ] || die "$runtime: no symbols read"
  bad=$( (grep -E '^_?(_Z|__cxa_|__gxx_)' <<<"$external" || true
          comm -12 <(echo "$external") <(echo "$runtime_defs")) | sort -u | tr '\n' ' ')
  [ -z "$bad" ] || die "$archive needs the C++ runtime: $bad"
  echo "$archive: $(wc -l <<<"$external") outside symbols, none of the C++ runtime"
}

# check_dll_imports DLL OBJDUMP: the DLL imports from the system's DLLs only.
check_dll_imports() {
  local imports
  imports=$("$2" -p "$1" | awk '/DLL Name:/ {print $3}' | sort -f | tr '\n' ' ')
  [ "$imports" = "KERNEL32.dll msvcrt.dll " ] || die "$1 imports '$imports'"
  echo "$1 imports: $imports"
}

# dll_exports DLL OBJDUMP: the names of the DLL's export table.
dll_exports() {
  "$2" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NR > 1 {print $NF}' | sort
}

# check_api_dll DLL ARCHIVE PREFIX: the whole-API okr.dll exports the DLL's
# sample name _fnOKR_dll@0 and, stdcall decorations aside, exactly the public
# names of the library.
check_api_dll() {
  local dll=$1 archive=$2 prefix=$3 exports public
  exports=$(dll_exports "$dll" "$prefix-objdump")
  public=$(public_names "$archive" "$prefix-nm")
  grep -qx '_fnOKR_dll@0' <<<"$exports" || die "$dll does not export _fnOKR_dll@0"
  diff <(echo "$public") <(grep -vx '_fnOKR_dll@0' <<<"$exports" | sed 's/@[0-9]*$//' | sort -u) \
    || die "$dll: exports (>) differ from the public names (<)"
  echo "$dll exports the $(wc -l <<<"$public") public names and _fnOKR_dll@0"
}

# check_headers: every public header compiles on its own (and twice over)
# as C11 and as C++11 and C++20, with gcc and clang; clang also with every
# warning it has (-Weverything), but those about compatibility with C++98,
# which the headers do not promise.
check_headers() {
  local header name cc std lang extra
  for header in "$OKR_ROOT"/include/okr/*.h; do
    name=okr/$(basename "$header")
    for cc in gcc clang g++ clang++; do
      case $cc in *++) lang=c++; std="c++11 c++20" ;; *) lang=c; std=c11 ;; esac
      extra=()
      [[ $cc == clang* ]] && extra=(-Weverything -Wno-c++98-compat -Wno-c++98-compat-pedantic)
      for s in $std; do
        printf '#include <%s>\n#include <%s>\n' "$name" "$name" \
          | "$cc" -x "$lang" -std="$s" -Wall -Wextra -Werror -pedantic "${extra[@]}" -fsyntax-only \
              -I "$OKR_ROOT/include" - || die "$name does not compile on its own ($cc -std=$s ${extra[*]})"
      done
    done
  done
  # The structures laid out, as a program that uses them lays them out: clang
  # warns of the padding of some of them (-Wpadded) only then, which the
  # headers do not promise to avoid.
  local layouts='#include <okr/okr.h>\nsize_t Sizes(void);\nsize_t Sizes(void) {\n  return 0'
  for name in BlockDesc Heap MemHeapInfo MemHeapStats MemDamage ErrMessage ResFileHeader \
    ResDirectory ResTypeRecord ResEntry ResInfo ResFinding TextStream SymbolEntry SymbolTable \
    ExprNumber ExprValue ExprToken; do
    layouts+=" + sizeof($name)"
  done
  layouts+=';\n}\n'
  for cc in clang clang++; do
    lang=c; [ $cc = clang++ ] && lang=c++
    printf '%b' "$layouts" \
      | "$cc" -x $lang -Wall -Wextra -Werror -pedantic -Weverything -Wno-c++98-compat \
          -Wno-c++98-compat-pedantic -Wno-padded -fsyntax-only -I "$OKR_ROOT/include" - \
      || die "a program that lays out the public structures gets warnings ($cc)"
  done
  # A type id made by the header's macro is a constant a case label takes.
  for cc in clang clang++; do
    lang=c; [ $cc = clang++ ] && lang=c++
    printf '#include <okr/res.h>\nint Kind(uint32_t t);\nint Kind(uint32_t t) {\n  switch (t) {\n    case OKR_RES_TYPE(%s): return 1;\n    default: return 0;\n  }\n}\n' \
      "'T', 'E', 'X', 'T'" \
      | "$cc" -x $lang -Wall -Wextra -Werror -pedantic -Weverything -Wno-c++98-compat -fsyntax-only \
          -I "$OKR_ROOT/include" - || die "OKR_RES_TYPE does not serve as a case label ($cc)"
  done
  echo "every public header compiles on its own as C11, C++11 and C++20 (clang: -Weverything;"
  echo "a program that lays out the structures: -Weverything but -Wpadded)"
}

# check_linked_by_c BUILD_DIR TARGET: CMake linked TARGET with the C compiler.
check_linked_by_c() {
  local cc link
  cc=$(command -v "$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$1/CMakeCache.txt")")
  link=$(cat "$1/CMakeFiles/$2.dir/link.txt")
  [ "${link%% *}" = "$cc" ] || die "$2 is not linked by the C compiler $cc: $link"
}

# expect_output WHAT EXPECTED COMMAND...: runs COMMAND and compares its output.
expect_output() {
  local what=$1 expected=$2 out; shift 2
  out=$("$@") || die "$what failed: $out"
  [ "$out" = "$expected" ] || die "$what printed '$out', not '$expected'"
  echo "$what: $out"
}

# check_package: a native Release build installed into build/package/prefix;
# the consumer of examples/consumer built and run against it with CMake's
# find_package, with pkg-config (libokr.so), and from the source tree with
# add_subdirectory (okr compiled by clang++ for Debug, without sanitizers);
# the README's samples. The package is built by g++ for Release.
check_package() {
  local dir="$OKR_ROOT/build/package" prefix="$OKR_ROOT/build/package/prefix"
  local version consumer="$OKR_ROOT/examples/consumer" expected so targets
  local cflags="-std=c11 -Wall -Wextra -Werror -pedantic"
  echo "== package =="
  # The consumers start from empty folders: each run tests a first build.
  rm -rf "$prefix" "$dir"/consumer-*
  cmake -S "$OKR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_CXX_COMPILER=g++ -DOKR_TESTS=OFF -DOKR_EXAMPLES=OFF -DOKR_TOOLS=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null || die "package: configure failed"
  cmake --build "$dir" -j "$OKR_JOBS" >/dev/null || die "package: build failed"
  cmake --install "$dir" >/dev/null || die "package: install failed"
  version=$(sed -n 's/^#define OKR_VERSION_STRING "\(.*\)"$/\1/p' "$OKR_ROOT/include/okr/okr.h")
  for file in include/okr/okr.h lib/libokr.a lib/libokr.so lib/cmake/okr/okrConfig.cmake \
    lib/cmake/okr/okrConfigVersion.cmake lib/pkgconfig/okr.pc share/doc/okr/LICENSE bin/okr; do
    [ -e "$prefix/$file" ] || die "package: $file is not installed"
  done
  [ "$("$prefix/bin/okr" --version)" = "okr $version" ] || die "package: bin/okr --version"

  check_c_link "$prefix/lib/libokr.a" nm "$(g++ -print-file-name=libstdc++.so)"
  # The archive is position-independent: it links into a shared object.
  gcc -shared -o "$dir/whole-archive.so" -Wl,--whole-archive "$prefix/lib/libokr.a" \
    -Wl,--no-whole-archive || die "libokr.a does not link into a shared object"
  so=$(readlink -f "$prefix/lib/libokr.so")
  diff <(public_names "$prefix/lib/libokr.a" nm) \
       <(nm -D --defined-only "$so" | awk 'NF == 3 {print $3}' | sort -u) \
    || die "libokr.so: exports (>) differ from the public names (<)"
  [ "$(readelf -d "$so" | awk '/NEEDED/ {print $NF}' | tr '\n' ' ')" = "[libc.so.6] " ] \
    || die "libokr.so needs more than the C library"
  echo "$so: soname $(readelf -d "$so" | awk '/SONAME/ {print $NF}'), exports the public names, needs libc.so.6 only"

  check_headers

  expected="okr $version: title \"okr from C\", width 640"
  cmake -S "$consumer" -B "$dir/consumer-find" -DCMAKE_C_COMPILER=gcc -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null || die "consumer (find_package): configure failed"
  cmake --build "$dir/consumer-find" >/dev/null || die "consumer (find_package): build failed"
  check_linked_by_c "$dir/consumer-find" consumer
  expect_output "consumer (find_package okr)" "$expected" "$dir/consumer-find/consumer"

  # pkg-config: the shared library, found at run time through the run path
  # the link records, as the README has it (no LD_LIBRARY_PATH).
  (export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
   [ "$(pkg-config --modversion okr)" = "$version" ] || die "okr.pc: version is not $version"
   # shellcheck disable=SC2046,SC2086
   gcc $cflags "$consumer/main.c" $(pkg-config --cflags --libs okr) \
     -Wl,-rpath,"$(pkg-config --variable=libdir okr)" -o "$dir/consumer-pc" \
     || die "consumer (pkg-config): build failed")
  readelf -d "$dir/consumer-pc" | grep 'NEEDED.*libokr\.so' >/dev/null || die "consumer (pkg-config) does not use libokr.so"
  expect_output "consumer (pkg-config okr)" "$expected" env -u LD_LIBRARY_PATH "$dir/consumer-pc"

  # add_subdirectory: okr as a subproject builds the library and nothing else.
  cmake -S "$consumer" -B "$dir/consumer-subdir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS="$cflags" -DOKR_SOURCE_DIR="$OKR_ROOT" >/dev/null \
    || die "consumer (add_subdirectory): configure failed"
  targets=$(cmake --build "$dir/consumer-subdir" --target help | awk '/^\.\.\. / {print $2}' \
    | grep -vE '^(all|clean|depend|edit_cache|rebuild_cache|list_install_components|install.*)$|\.[ois]$' \
    | sort | tr '\n' ' ')
  [ "$targets" = "consumer okr " ] || die "okr as a subproject builds more than its library: $targets"
  cmake --build "$dir/consumer-subdir" -j "$OKR_JOBS" >/dev/null || die "consumer (add_subdirectory): build failed"
  check_linked_by_c "$dir/consumer-subdir" consumer
  check_c_link "$dir/consumer-subdir/okr/libokr.a" nm "$(g++ -print-file-name=libstdc++.so)"
  expect_output "consumer (add_subdirectory okr)" "$expected" "$dir/consumer-subdir/consumer"

  check_readme "$prefix"
}

# check_readme PREFIX: every code block of the README builds and runs as
# written: C and C++ programs against the installed static library (from the
# source tree's root, where their sample paths lead), CMake projects and
# shell commands (```sh) in a folder that holds examples/consumer/main.c.
# The shell commands get what the README tells a reader of a prefix outside
# the system's paths to set, PKG_CONFIG_PATH, and nothing else: no
# LD_LIBRARY_PATH, so a program that the loader could not start fails.
# Blocks marked text or console, or not marked, show output and are skipped;
# commands for the reader to type are indented, not fenced.
check_readme() {
  local prefix=$1 dir="$OKR_ROOT/build/package/readme" n=0 lang file program
  rm -rf "$dir" && mkdir -p "$dir"
  awk -v dir="$dir" '
    /^```/ && open { open = 0; file = ""; next }
    /^```/ {
      open = 1; lang = substr($0, 4)
      if (lang != "" && lang != "text" && lang != "console")
        file = sprintf("%s/sample%02d.%s", dir, ++n, lang)
      next
    }
    file != "" { print > file }' "$OKR_ROOT/README.md"
  for file in "$dir"/sample*; do
    lang=${file##*.}
    case $lang in
      c | cpp)
        local compile=(gcc -x c -std=c11)
        [ "$lang" = cpp ] && compile=(g++ -x c++ -std=c++20)
        "${compile[@]}" -Wall -Wextra -Werror -pedantic -I "$prefix/include" "$file" -x none \
          "$prefix/lib/libokr.a" -o "$file.exe" || die "README $(basename "$file") does not compile"
        (cd "$OKR_ROOT" && "$file.exe" >"$file.out") \
          || die "README $(basename "$file") fails: $(cat "$file.out")"
        ;;
      cmake)
        mkdir -p "${file%.cmake}" && cp "$file" "${file%.cmake}/CMakeLists.txt"
        cp "$OKR_ROOT/examples/consumer/main.c" "${file%.cmake}/"
        cmake -S "${file%.cmake}" -B "${file%.cmake}/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null \
          && cmake --build "${file%.cmake}/build" >/dev/null || die "README $(basename "$file") does not build"
        program=$(find "${file%.cmake}/build" -maxdepth 1 -type f -perm -u+x)
        [ -n "$program" ] && "$program" >/dev/null || die "README $(basename "$file"): its program fails"
        ;;
      sh)
        mkdir -p "${file%.sh}" && cp "$OKR_ROOT/examples/consumer/main.c" "${file%.sh}/"
        (cd "${file%.sh}" && env -u LD_LIBRARY_PATH PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
          bash -euo pipefail "$file" >"${file%.sh}.out") || die "README $(basename "$file") fails"
        ;;
      *) die "README: a code block in '$lang', which the test command cannot check" ;;
    esac
    n=$((n + 1))
  done
  [ "$n" -gt 0 ] || die "README: no code samples found"
  echo "README: $n code samples build and run"
}
