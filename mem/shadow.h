// What a memory checker is told about a heap's bytes, and the manager's own
// way past it.
//
// A build with AddressSanitizer (detected when compiling, nothing to switch
// on) or with the OKR_VALGRIND option closes to the client every byte of a
// region that the client has no business touching: free blocks, owner
// words, the bytes of a block past the size asked for, the region's edges
// and a 64-bit descriptor's index words. The client's bytes, the heap header
// and the published fields of the descriptors stay open. A client's stray
// access is then reported where it happens.
//
// The manager reads and writes closed words through the Load and Store
// functions here, which no checker watches; it opens bytes before it copies
// or fills them and closes them again (debug.cpp says when). Without a
// checker every function here is the plain access, or nothing.
#ifndef OKR_MEM_SHADOW_H
#define OKR_MEM_SHADOW_H

#include <okr/mem.h>

#include <cstring>

// AddressSanitizer's poisoning: on when the sanitizer is, unless the build
// says OKR_MEM_POISON=0 (a sanitized program that wants the sanitizer's
// checks without okr's).
#ifndef OKR_MEM_POISON
#if defined(__SANITIZE_ADDRESS__)
#define OKR_MEM_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OKR_MEM_POISON 1
#endif
#endif
#endif
#ifndef OKR_MEM_POISON
#define OKR_MEM_POISON 0
#endif

#ifndef OKR_VALGRIND
#define OKR_VALGRIND 0
#endif

// Heap debugging (debug.h): with either checker, or with the OKR_HEAP_DEBUG
// option alone.
#ifndef OKR_HEAP_DEBUG
#define OKR_HEAP_DEBUG 0
#endif
#if OKR_MEM_POISON || OKR_VALGRIND || OKR_HEAP_DEBUG
#define OKR_MEM_DEBUG 1
#else
#define OKR_MEM_DEBUG 0
#endif

#if OKR_MEM_POISON
#include <sanitizer/asan_interface.h>
// A function whose accesses the sanitizer does not check: it may touch
// closed bytes. (Never inlined into a checked function.)
#define OKR_UNWATCHED __attribute__((no_sanitize("address")))
#else
#define OKR_UNWATCHED
#endif

#if OKR_VALGRIND
#include <valgrind/memcheck.h>
// Whether the program runs under Valgrind, found out when the first heap is
// laid out (debug.cpp). Without it every request to Valgrind is skipped and
// the manager's own accesses are the plain ones: the build then costs what
// heap debugging alone costs.
extern bool memUnderValgrind;
#define OKR_TELL_VALGRIND(request) \
  do {                             \
    if (memUnderValgrind) request; \
  } while (0)
#else
#define OKR_TELL_VALGRIND(request) static_cast<void>(0)
#endif
// Memcheck is told to hold its tongue for the manager's own accesses; loads
// from closed bytes then come back as defined values.
#define OKR_QUIET_BEGIN OKR_TELL_VALGRIND(VALGRIND_DISABLE_ERROR_REPORTING)
#define OKR_QUIET_END OKR_TELL_VALGRIND(VALGRIND_ENABLE_ERROR_REPORTING)

// ---- The manager's own accesses ---------------------------------------------

#if OKR_MEM_POISON || OKR_VALGRIND
// Copies `n` bytes between places either of which may be closed, one byte at
// a time: the sanitizer checks a call of memcpy whoever makes it, and
// memcheck, reading a word that is only partly open, makes its closed bytes
// undefined. Valgrind is told that what was read into open bytes is known.
OKR_UNWATCHED inline void CopyUnwatched(void* to, const void* from, size_t n) {
  OKR_QUIET_BEGIN;
  auto* out = static_cast<volatile unsigned char*>(to);
  const auto* in = static_cast<const volatile unsigned char*>(from);
  for (size_t i = 0; i < n; ++i)
    out[i] = in[i];
  OKR_QUIET_END;
  OKR_TELL_VALGRIND(VALGRIND_MAKE_MEM_DEFINED_IF_ADDRESSABLE(to, n));
}
#else
inline void CopyUnwatched(void* to, const void* from, size_t n) {
  std::memcpy(to, from, n);
}
#endif

#if OKR_MEM_POISON || OKR_VALGRIND
template <class T>
OKR_UNWATCHED T LoadUnwatched(const void* at) {
#if OKR_VALGRIND
  if (memUnderValgrind) {
    T value;
    CopyUnwatched(&value, at, sizeof value);
    return value;
  }
#endif
  typedef T __attribute__((may_alias, aligned(1))) Loose;
  return *static_cast<const Loose*>(at);
}
template <class T>
OKR_UNWATCHED void StoreUnwatched(void* at, T value) {
#if OKR_VALGRIND
  if (memUnderValgrind) return CopyUnwatched(at, &value, sizeof value);
#endif
  typedef T __attribute__((may_alias, aligned(1))) Loose;
  *static_cast<Loose*>(at) = value;
}
#endif

// The 32-bit word at `at`, aligned, which may be closed.
inline uint32_t LoadWord(const void* at) {
#if OKR_MEM_POISON || OKR_VALGRIND
  return LoadUnwatched<uint32_t>(at);
#else
  return *static_cast<const uint32_t*>(at);
#endif
}
inline void StoreWord(void* at, uint32_t value) {
#if OKR_MEM_POISON || OKR_VALGRIND
  StoreUnwatched(at, value);
#else
  *static_cast<uint32_t*>(at) = value;
#endif
}

// The address stored at `at`, at any alignment, which may be closed.
inline void* LoadAddress(const void* at) {
#if OKR_MEM_POISON || OKR_VALGRIND
  return LoadUnwatched<void*>(at);
#else
  void* address;
  std::memcpy(&address, at, sizeof address);
  return address;
#endif
}
inline void StoreAddress(void* at, void* address) {
#if OKR_MEM_POISON || OKR_VALGRIND
  StoreUnwatched(at, address);
#else
  std::memcpy(at, &address, sizeof address);
#endif
}

// ---- Opening and closing bytes ------------------------------------------------

// Closes [at, at + n) to the client.
inline void CloseBytes([[maybe_unused]] const void* at, [[maybe_unused]] size_t n) {
#if OKR_MEM_POISON
  ASAN_POISON_MEMORY_REGION(at, n);
#endif
  OKR_TELL_VALGRIND(VALGRIND_MAKE_MEM_NOACCESS(at, n));
}

// Opens closed bytes [at, at + n), their contents unknown to Valgrind
// (writes make them known). Never given a client's bytes: Valgrind would
// forget which of them were written.
inline void OpenBytes([[maybe_unused]] const void* at, [[maybe_unused]] size_t n) {
#if OKR_MEM_POISON
  ASAN_UNPOISON_MEMORY_REGION(at, n);
#endif
  OKR_TELL_VALGRIND(VALGRIND_MAKE_MEM_UNDEFINED(at, n));
}

#endif
