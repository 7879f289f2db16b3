// Finding the object that defines malloc (dlsym + dladdr) and its version.
// Compiled into each benchmark program with OKR_BENCH_ALLOCATOR set to the
// allocator that program was linked with.
#include "malloc_provider.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>

#include <cstddef>
#include <cstring>

#ifndef OKR_BENCH_ALLOCATOR
#error "OKR_BENCH_ALLOCATOR names the allocator the program is linked with"
#endif

namespace {

std::string MallocFile() {
  Dl_info info{};
  void* sym = dlsym(RTLD_DEFAULT, "malloc");
  if (sym == nullptr || dladdr(sym, &info) == 0 || info.dli_fname == nullptr) return "unknown";
  return info.dli_fname;
}

std::string JemallocVersion() {
  using Mallctl = int (*)(const char*, void*, size_t*, void*, size_t);
  auto mallctl = reinterpret_cast<Mallctl>(dlsym(RTLD_DEFAULT, "mallctl"));
  const char* version = nullptr;
  size_t size = sizeof version;
  if (mallctl == nullptr || mallctl("version", &version, &size, nullptr, 0) != 0) return "";
  return std::string("jemalloc ") + version;
}

std::string MimallocVersion() {
  using MiVersion = int (*)();
  auto miVersion = reinterpret_cast<MiVersion>(dlsym(RTLD_DEFAULT, "mi_version"));
  if (miVersion == nullptr) return "";
  int v = miVersion();  // major * 100 + minor * 10 + patch
  return "mimalloc " + std::to_string(v / 100) + "." + std::to_string(v / 10 % 10) + "." +
         std::to_string(v % 10);
}

// The version of the allocator that owns `file`, or "" when unknown.
std::string VersionOf(const std::string& file) {
  if (file.find("jemalloc") != std::string::npos) return JemallocVersion();
  if (file.find("mimalloc") != std::string::npos) return MimallocVersion();
  if (file.find("/libc.so") != std::string::npos) {
    return std::string("glibc ") + gnu_get_libc_version();
  }
  return "";
}

// The part of the library's file name that identifies each allocator.
const char* FileMarkOf(const char* allocator) {
  if (std::strcmp(allocator, "jemalloc") == 0) return "libjemalloc";
  if (std::strcmp(allocator, "mimalloc") == 0) return "libmimalloc";
  return "/libc.so";
}

}  // namespace

const char* ExpectedAllocator() {
  return OKR_BENCH_ALLOCATOR;
}

std::string DescribeMallocProvider() {
  std::string file = MallocFile();
  std::string version = VersionOf(file);
  return version.empty() ? file : file + " (" + version + ")";
}

std::string MallocName() {
  std::string version = VersionOf(MallocFile());
  // jemalloc's version goes on with the commit it was built from.
  version = version.substr(0, version.find('-'));
  return version.empty() ? ExpectedAllocator() : version;
}

bool MallocIsExpected() {
  return MallocFile().find(FileMarkOf(ExpectedAllocator())) != std::string::npos;
}
