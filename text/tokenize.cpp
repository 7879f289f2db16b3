// The expression tokenizer: one forward pass over the expression at a
// stream's cursor that writes operators, literals and variable values into
// the global token buffer and finds where the expression ends.
#include <okr/err.h>
#include <okr/expr.h>

#include <stddef.h>

static_assert(offsetof(ExprToken, code) == 0 && offsetof(ExprToken, value) == 4);
static_assert(sizeof(ExprToken) == 8 && sizeof(ExprNumber) == 4);
// A literal token is an ExprValue.
static_assert(offsetof(ExprValue, type) == 0 && offsetof(ExprValue, value) == 4);
static_assert(sizeof(ExprValue) == sizeof(ExprToken));

ExprToken exprTokenBuffer[exprTokenBufferSize];

namespace {

// The last entry is kept for the closing ExprTokEnd.
ErrCode Emit(ExprToken** cursor, uint32_t code, ExprNumber value) {
  ExprToken* limit = exprTokenBuffer + exprTokenBufferSize - (code == ExprTokEnd ? 0 : 1);
  ExprToken* at = *cursor;
  if (at < exprTokenBuffer || at >= limit) return errOverflow;
  at->code = code;
  at->value = value;
  *cursor = at + 1;
  return errNone;
}

// What the scan loop keeps while it runs.
struct Scan {
  TextStream* stream;
  ExprToken** cursor;
  const char* p;  // next character to take
  bool operandSeen;
  bool endOfLine;
  int32_t depth;
};

// The character after the one just taken, or -1 at the end of the text.
int Next(const Scan& scan) {
  return scan.p < scan.stream->end ? static_cast<unsigned char>(*scan.p) : -1;
}

// Takes the next character when it is `expected`.
bool Take(Scan& scan, char expected) {
  if (Next(scan) != static_cast<unsigned char>(expected)) return false;
  ++scan.p;
  return true;
}

bool StartsLiteral(char c) {
  return c == '$' || c == '%' || c == '\'' || (c >= '0' && c <= '9');
}

// Two-character operators with a one-character fallback.
ErrCode EmitPaired(Scan& scan, char c) {
  switch (c) {
    case '<':
      if (Take(scan, '<')) return ExprEmitOp(scan.cursor, ExprTokShl);
      if (Take(scan, '=')) return ExprEmitOp(scan.cursor, ExprTokLe);
      return ExprEmitOp(scan.cursor, ExprTokLt);
    case '>':
      if (Take(scan, '>')) return ExprEmitOp(scan.cursor, ExprTokShr);
      if (Take(scan, '=')) return ExprEmitOp(scan.cursor, ExprTokGe);
      return ExprEmitOp(scan.cursor, ExprTokGt);
    case '=':
      if (Take(scan, '=')) return ExprEmitOp(scan.cursor, ExprTokEq);
      return errMissingParameter;
    default:  // '!'
      if (Take(scan, '=')) return ExprEmitOp(scan.cursor, ExprTokNe);
      return errMissingParameter;
  }
}

// The code of a one-character operator, or 0.
uint32_t SingleOperator(char c) {
  switch (c) {
    case '(':
      return ExprTokOpen;
    case ')':
      return ExprTokClose;
    case '+':
      return ExprTokAdd;
    case '-':
      return ExprTokSub;
    case '*':
      return ExprTokMul;
    case '/':
      return ExprTokDiv;
    case '&':
      return ExprTokAmp;
    case '|':
      return ExprTokBar;
    case '^':
      return ExprTokCaret;
    case '\\':
      return ExprTokBackslash;
    case '~':
      return ExprTokTilde;
    default:
      return 0;
  }
}

// operand := literal | variable, starting at the character before scan.p.
ErrCode ScanOperand(Scan& scan) {
  TextStream* stream = scan.stream;
  stream->pos = const_cast<char*>(scan.p - 1);
  const char c = *stream->pos;
  ErrCode err = StartsLiteral(c) ? ExprScanLiteral(stream, scan.cursor)
                                 : ExprScanVariable(stream, scan.cursor);
  if (err != errNone) return err;
  scan.p = stream->pos;
  scan.operandSeen = true;
  return errNone;
}

// Records where the expression ends and whether that is its line's end.
ErrCode EndAt(Scan& scan, const char* where, bool endOfLine, const char** stop) {
  scan.endOfLine = endOfLine;
  *stop = where;
  return errNone;
}

// Acts on the character just taken (scan.p is past it); sets *stop when the
// expression ends there. `previous` tells whether an operand came before.
ErrCode TakeCharacter(Scan& scan, char c, bool previous, const char** stop) {
  const char* at = scan.p - 1;
  switch (c) {
    case '\0':
    case '\n':
    case '\r':
    case ';':
      return EndAt(scan, at, true, stop);
    case ',':
      return EndAt(scan, scan.p, false, stop);
    case '}':
      return EndAt(scan, at, false, stop);
    case '/':
      if (Next(scan) == '/') return EndAt(scan, at, true, stop);
      return ExprEmitOp(scan.cursor, ExprTokDiv);
    case '<':
    case '>':
    case '=':
    case '!':
      return EmitPaired(scan, c);
    default:
      break;
  }
  if (const uint32_t code = SingleOperator(c)) {
    if (code == ExprTokOpen) ++scan.depth;
    if (code == ExprTokClose) --scan.depth;
    return ExprEmitOp(scan.cursor, code);
  }
  // A second operand after the first ends the expression.
  if (previous) return EndAt(scan, at, false, stop);
  return ScanOperand(scan);
}

}  // namespace

ErrCode ExprEmitOp(ExprToken** cursor, uint32_t code) {
  if (cursor == nullptr) return errNilPointer;
  return Emit(cursor, code, ExprNumber{0});
}

ErrCode ExprEmitInt(ExprToken** cursor, int32_t value) {
  if (cursor == nullptr) return errNilPointer;
  ExprNumber number;
  number.i = value;
  return Emit(cursor, ExprTypeInt, number);
}

ErrCode ExprEmitFloat(ExprToken** cursor, float value) {
  if (cursor == nullptr) return errNilPointer;
  ExprNumber number;
  number.f = value;
  return Emit(cursor, ExprTypeFloat, number);
}

int32_t ExprTokenize(TextStream* stream, ExprToken** cursor) {
  if (stream == nullptr || stream->pos == nullptr || cursor == nullptr) return errNilPointer;
  const char* end = stream->end;
  Scan scan{stream, cursor, stream->pos, false, false, 0};
  // A comma left over from the previous field is skipped, once.
  if (scan.p < end && *scan.p == ',') ++scan.p;
  const char* stop = nullptr;
  while (stop == nullptr) {
    stream->token = const_cast<char*>(scan.p);
    // The end of the text ends the expression as a NUL would.
    if (scan.p >= end) {
      EndAt(scan, scan.p, true, &stop);
      break;
    }
    const char c = *scan.p++;
    if (c == ' ' || c == '\t' || c == '"') {
      // A double quote after an operand closes a quoted number.
      if (c == '"' && scan.operandSeen) EndAt(scan, scan.p - 1, false, &stop);
      continue;
    }
    const bool previous = scan.operandSeen;
    scan.operandSeen = false;
    if (ErrCode err = TakeCharacter(scan, c, previous, &stop)) return static_cast<int32_t>(err);
  }
  stream->pos = const_cast<char*>(stop);
  if (ErrCode err = ExprEmitOp(cursor, ExprTokEnd)) return static_cast<int32_t>(err);
  if (scan.depth != 0) return errParenthesis;
  return scan.endOfLine ? 1 : 0;
}
