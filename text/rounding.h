// Rounding helpers of the expression module. Where the compiler keeps
// floating-point intermediates in extended precision (the x87 unit of
// 32-bit x86), a value is only rounded to its type when it is stored; these
// helpers force that store, so every build gives the same bits.
#ifndef OKR_TEXT_ROUNDING_H
#define OKR_TEXT_ROUNDING_H

#include <float.h>
#include <stdint.h>
#include <string.h>

namespace okr_text {

inline double RoundToDouble(double x) {
#if FLT_EVAL_METHOD == 0
  return x;
#else
  volatile double stored = x;
  return stored;
#endif
}

inline float RoundToFloat(double x) {
#if FLT_EVAL_METHOD == 0
  return static_cast<float>(x);
#else
  volatile float stored = static_cast<float>(x);
  return stored;
#endif
}

// Holds the x87 unit at double precision, rounding to nearest, for its
// lifetime, and then gives the caller's control word back. The unit rounds
// every result to the precision its control word names. Most systems set 64
// bits, and a result then rounds twice, to 64 bits and to 53 when stored: a
// product just short of halfway between two doubles reaches halfway and
// goes one unit off ("7319723070959626e-1" read one unit high as a float).
// A host program may also have lowered the precision (a graphics runtime
// that sets single precision) or changed the rounding: the decimal scanner
// would then read "16777217" as 16777216, and an operator or a conversion
// to float round another way. The "memory" clobbers keep the arithmetic, which
// reads and writes memory, between the two. Other builds compute doubles in
// SSE registers and need nothing.
class DoublePrecision {
 public:
#if defined(__i386__) && FLT_EVAL_METHOD == 2
  DoublePrecision() {
    __asm__ volatile("fnstcw %0" : "=m"(saved_) : : "memory");
    const uint16_t wanted = static_cast<uint16_t>((saved_ & ~0x0F00u) | 0x0200u);
    if (wanted != saved_) __asm__ volatile("fldcw %0" : : "m"(wanted) : "memory");
  }
  ~DoublePrecision() {
    __asm__ volatile("fldcw %0" : : "m"(saved_) : "memory");
  }

 private:
  uint16_t saved_;
#else
  DoublePrecision() {}
#endif
  DoublePrecision(const DoublePrecision&) = delete;
  DoublePrecision& operator=(const DoublePrecision&) = delete;
};

// Truncation toward zero to 64 bits, keeping the low 32; 0 for NaN or a
// magnitude of 2^63 or more, which no 64-bit integer holds.
inline int32_t TruncateToInt(double x) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!(x > -kTwo63 && x < kTwo63)) return 0;
  return static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
}

}  // namespace okr_text

#endif
