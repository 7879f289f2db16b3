// Which shared object really provides malloc in this process. Linking
// jemalloc or mimalloc replaces malloc for the whole process, so each
// benchmark program checks that it got the allocator it was built for.
#ifndef OKR_BENCH_MEM_MALLOC_PROVIDER_H
#define OKR_BENCH_MEM_MALLOC_PROVIDER_H

#include <string>

// "glibc", "jemalloc" or "mimalloc": the allocator this program was built
// to measure.
const char* ExpectedAllocator();

// The file of the shared object that defines `malloc`, and the allocator's
// version where it can be asked for; e.g. "/usr/lib/.../libc.so.6 (glibc 2.36)".
std::string DescribeMallocProvider();

// The allocator and its version where known ("glibc 2.36"), else the
// expected allocator's name.
std::string MallocName();

// True when `malloc` comes from the expected allocator's library.
bool MallocIsExpected();

#endif
