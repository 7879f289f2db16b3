// The literal scanners of the expression tokenizer: hexadecimal, binary,
// character and decimal literals. Each starts at the stream's `pos`, leaves
// `pos` just past what it read and never reads at or beyond `end`.
#include <okr/err.h>
#include <okr/expr.h>

#include "text/rounding.h"

using okr_text::RoundToDouble;
using okr_text::RoundToFloat;
using okr_text::TruncateToInt;

namespace {

// The byte at `pos`, or -1 at the end of the text.
int Peek(const TextStream* stream) {
  // A null stream ends at once, as a released one (pos and end null) does.
  if (stream == nullptr) return -1;
  return stream->pos < stream->end ? static_cast<unsigned char>(*stream->pos) : -1;
}

int UpperCase(int c) {
  return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

// The single-precision 0.1 (0x3DCCCCCD) that negative powers of ten are
// built from.
constexpr double kFloatTenth = static_cast<double>(0.1f);

// Decimal powers beyond these reach infinity or zero in double precision
// long before the loop would end, so the scale stops changing there.
double PowerOfTen(int64_t e) {
  double scale = 1.0;
  for (int64_t i = 0; i < e && scale <= 1.7976931348623157e308; ++i) {
    scale = RoundToDouble(scale * 10.0);
  }
  for (int64_t i = 0; i > e && scale != 0.0; --i) {
    scale = RoundToDouble(scale * kFloatTenth);
  }
  return scale;
}

// digits := { "0".."9" }, each folded into the mantissa in double precision.
uint32_t ScanDigits(TextStream* stream, double* mantissa) {
  uint32_t count = 0;
  while (IsDigit(Peek(stream))) {
    *mantissa = RoundToDouble(*mantissa * 10.0);
    *mantissa = RoundToDouble(*mantissa + (*stream->pos - '0'));
    ++stream->pos;
    ++count;
  }
  return count;
}

// exponent := ( "E" | "e" ) [ "+" | "-" ] { digit }, wrapping in 32 bits.
int32_t ScanExponent(TextStream* stream) {
  bool negative = false;
  if (Peek(stream) == '+' || Peek(stream) == '-') {
    negative = *stream->pos == '-';
    ++stream->pos;
  }
  uint32_t exponent = 0;
  while (IsDigit(Peek(stream))) {
    exponent = exponent * 10 + static_cast<uint32_t>(*stream->pos - '0');
    ++stream->pos;
  }
  return static_cast<int32_t>(negative ? 0u - exponent : exponent);
}

}  // namespace

int32_t ExprIsHexDigit(int32_t c) {
  return IsDigit(c) || (c >= 'A' && c <= 'F');
}

int32_t ExprHexDigitValue(int32_t c) {
  return IsDigit(c) ? c - '0' : c - 'A' + 10;
}

uint32_t ExprScanHex(TextStream* stream) {
  uint32_t value = 0;
  for (int c = UpperCase(Peek(stream)); ExprIsHexDigit(c); c = UpperCase(Peek(stream))) {
    value = value * 16 + static_cast<uint32_t>(ExprHexDigitValue(c));
    ++stream->pos;
  }
  return value;
}

uint32_t ExprScanBinary(TextStream* stream) {
  uint32_t value = 0;
  for (int c = Peek(stream); c == '0' || c == '1'; c = Peek(stream)) {
    value = value * 2 + static_cast<uint32_t>(c - '0');
    ++stream->pos;
  }
  return value;
}

// decimal := digits [ "." digits ] [ exponent ] [ "F" | "f" ]
uint32_t ExprScanDecimal(TextStream* stream, float* outFloat, int32_t* outInt) {
  if (outFloat == nullptr || outInt == nullptr) return 0;
  const okr_text::DoublePrecision precision;
  double mantissa = 0.0;
  int64_t exponent = 0;
  bool isFloat = false;
  ScanDigits(stream, &mantissa);
  if (Peek(stream) == '.') {
    ++stream->pos;
    exponent -= ScanDigits(stream, &mantissa);
    isFloat = true;
  }
  if (Peek(stream) == 'E' || Peek(stream) == 'e') {
    ++stream->pos;
    exponent += ScanExponent(stream);
    isFloat = true;
  }
  if (Peek(stream) == 'F' || Peek(stream) == 'f') {
    ++stream->pos;
    isFloat = true;
  }
  if (!isFloat) {
    *outInt = TruncateToInt(mantissa);
    return ExprTypeInt;
  }
  *outFloat = RoundToFloat(RoundToDouble(PowerOfTen(exponent) * mantissa));
  return ExprTypeFloat;
}

// chars := { character } "'", at most four, after the opening apostrophe.
int32_t ExprScanChars(TextStream* stream, ErrCode* outError) {
  if (outError == nullptr) return 0;
  if (stream == nullptr) {
    *outError = errNilPointer;
    return 0;
  }
  *outError = errNone;
  uint32_t value = 0;
  for (int count = 0;; ++count) {
    const int c = Peek(stream);
    // A constant left open at the end of the text is as wrong as a long one.
    if (c < 0 || (c != '\'' && count == 4)) {
      *outError = errSyntax;
      return 0;
    }
    if (c == '\'') break;
    value = (value << 8) | static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    ++stream->pos;
  }
  ++stream->pos;
  if (static_cast<int32_t>(value) <= 255) {
    const int low = UpperCase(static_cast<unsigned char>(value));
    return static_cast<int8_t>(low);
  }
  return static_cast<int32_t>(value);
}

// literal := "$" hex | "%" binary | "'" chars | digit ( "x" hex | decimal )
ErrCode ExprScanLiteral(TextStream* stream, ExprToken** cursor) {
  if (stream == nullptr || stream->pos == nullptr || cursor == nullptr) return errNilPointer;
  const int first = Peek(stream);
  if (first == '$' || first == '%' || first == '\'') ++stream->pos;
  if (first == '$') return ExprEmitInt(cursor, static_cast<int32_t>(ExprScanHex(stream)));
  if (first == '%') return ExprEmitInt(cursor, static_cast<int32_t>(ExprScanBinary(stream)));
  if (first == '\'') {
    ErrCode err = errNone;
    const int32_t value = ExprScanChars(stream, &err);
    return err != errNone ? err : ExprEmitInt(cursor, value);
  }
  if (!IsDigit(first)) return errSyntax;
  if (stream->pos + 1 < stream->end && UpperCase(stream->pos[1]) == 'X') {
    stream->pos += 2;
    return ExprEmitInt(cursor, static_cast<int32_t>(ExprScanHex(stream)));
  }
  float f = 0.0f;
  int32_t i = 0;
  if (ExprScanDecimal(stream, &f, &i) == ExprTypeInt) return ExprEmitInt(cursor, i);
  return ExprEmitFloat(cursor, f);
}
