// The fifteen operations behind the expression operators. Integer results
// wrap modulo 2^32; float results are computed in double precision from the
// single-precision operands and rounded to single precision.
#include <okr/err.h>
#include <okr/expr.h>

#include "text/rounding.h"

namespace {

void SetInt(ExprValue* result, uint32_t bits) {
  result->type = ExprTypeInt;
  result->value.i = static_cast<int32_t>(bits);
}

// The result of `op` on the two operands as floats: computed in double
// precision, rounding to nearest, whatever the caller left the x87 unit at,
// and rounded to single precision.
template <typename Op>
void SetFloat(ExprValue* result, const ExprValue* left, const ExprValue* right, Op op) {
  const okr_text::DoublePrecision precision;
  result->type = ExprTypeFloat;
  result->value.f = okr_text::RoundToFloat(op(double{left->value.f}, double{right->value.f}));
}

// Either float: both operands become floats when one of them is.
bool EitherFloat(ExprValue* left, ExprValue* right) {
  if (left->type != ExprTypeFloat && right->type != ExprTypeFloat) return false;
  ExprToFloat(left);
  ExprToFloat(right);
  return true;
}

void BothInts(ExprValue* left, ExprValue* right) {
  ExprToInt(left);
  ExprToInt(right);
}

// An operation needs all three values.
bool AnyNull(const ExprValue* result, const ExprValue* left, const ExprValue* right) {
  return result == nullptr || left == nullptr || right == nullptr;
}

uint32_t Bits(const ExprValue* v) {
  return static_cast<uint32_t>(v->value.i);
}

// Comparisons: signed integers, or the two single-precision values. IEEE
// rules decide for NaN: every relation but "not equal" is false.
enum Relation { kLess, kGreater, kLessEq, kGreaterEq, kEqual, kNotEqual };

template <typename T>
bool Holds(Relation relation, T a, T b) {
  switch (relation) {
    case kLess:
      return a < b;
    case kGreater:
      return a > b;
    case kLessEq:
      return a <= b;
    case kGreaterEq:
      return a >= b;
    case kEqual:
      return a == b;
    default:
      return a != b;
  }
}

ErrCode Compare(Relation relation, ExprValue* result, ExprValue* left, ExprValue* right) {
  const bool holds = EitherFloat(left, right) ? Holds(relation, left->value.f, right->value.f)
                                              : Holds(relation, left->value.i, right->value.i);
  SetInt(result, holds ? 1 : 0);
  return errNone;
}

}  // namespace

ErrCode ExprAdd(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  if (EitherFloat(left, right)) {
    SetFloat(result, left, right, [](double a, double b) { return a + b; });
  } else {
    SetInt(result, Bits(left) + Bits(right));
  }
  return errNone;
}

ErrCode ExprSub(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  if (EitherFloat(left, right)) {
    SetFloat(result, left, right, [](double a, double b) { return a - b; });
  } else {
    SetInt(result, Bits(left) - Bits(right));
  }
  return errNone;
}

ErrCode ExprMul(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  if (EitherFloat(left, right)) {
    SetFloat(result, left, right, [](double a, double b) { return a * b; });
  } else {
    SetInt(result, Bits(left) * Bits(right));
  }
  return errNone;
}

// Always a float. A NaN divisor is not zero and yields NaN.
ErrCode ExprDiv(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  ExprToFloat(left);
  ExprToFloat(right);
  if (right->value.f == 0.0f) return errDivideByZero;
  SetFloat(result, left, right, [](double a, double b) { return a / b; });
  return errNone;
}

// Truncated division's remainder, with the sign of the left operand.
ErrCode ExprMod(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  BothInts(left, right);
  const int32_t divisor = right->value.i;
  if (divisor == 0) return errDivideByZero;
  // -2147483648 \ -1 would trap in hardware; its remainder is 0.
  if (divisor == -1) {
    SetInt(result, 0);
  } else {
    SetInt(result, static_cast<uint32_t>(left->value.i % divisor));
  }
  return errNone;
}

ErrCode ExprOr(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  BothInts(left, right);
  SetInt(result, Bits(left) | Bits(right));
  return errNone;
}

// Both "^" and "&" compute the exclusive-or.
ErrCode ExprXor(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  BothInts(left, right);
  SetInt(result, Bits(left) ^ Bits(right));
  return errNone;
}

// Shift counts use the low five bits.
ErrCode ExprShl(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  BothInts(left, right);
  SetInt(result, Bits(left) << (Bits(right) & 31));
  return errNone;
}

// The sign bit is copied in.
ErrCode ExprShr(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  BothInts(left, right);
  SetInt(result, static_cast<uint32_t>(left->value.i >> (Bits(right) & 31)));
  return errNone;
}

ErrCode ExprLess(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kLess, result, left, right);
}

ErrCode ExprGreater(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kGreater, result, left, right);
}

ErrCode ExprLessEq(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kLessEq, result, left, right);
}

ErrCode ExprGreaterEq(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kGreaterEq, result, left, right);
}

ErrCode ExprEqual(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kEqual, result, left, right);
}

ErrCode ExprNotEqual(ExprValue* result, ExprValue* left, ExprValue* right) {
  if (AnyNull(result, left, right)) return errNilPointer;
  return Compare(kNotEqual, result, left, right);
}
