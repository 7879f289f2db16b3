// The expression evaluator: recursive descent over the token buffer, one
// function per grammar level, computing values as it descends. Both operator
// levels recurse to the right, so operators of one level group from the
// right: 10 - 2 - 3 is 10 - (2 - 3). The first error ends the evaluation;
// the level that finds it notes the token it failed at (exprErrorToken).
#include <okr/err.h>
#include <okr/expr.h>

#include <string.h>

#include "text/errorspot.h"

const ExprToken* exprErrorToken;
const ExprToken* exprUnusedToken;

namespace {

typedef ErrCode (*Operation)(ExprValue*, ExprValue*, ExprValue*);

struct OperatorEntry {
  uint32_t code;
  Operation operation;
};

constexpr OperatorEntry kSumOperators[] = {
    {ExprTokAdd, ExprAdd},     {ExprTokSub, ExprSub},   {ExprTokBar, ExprOr},
    {ExprTokCaret, ExprXor},   {ExprTokEq, ExprEqual},  {ExprTokLt, ExprLess},
    {ExprTokGt, ExprGreater},  {ExprTokLe, ExprLessEq}, {ExprTokGe, ExprGreaterEq},
    {ExprTokNe, ExprNotEqual},
};

constexpr OperatorEntry kProductOperators[] = {
    {ExprTokMul, ExprMul},       {ExprTokDiv, ExprDiv}, {ExprTokAmp, ExprXor},
    {ExprTokBackslash, ExprMod}, {ExprTokShl, ExprShl}, {ExprTokShr, ExprShr},
};

template <size_t N>
Operation Find(const OperatorEntry (&table)[N], uint32_t code) {
  for (const OperatorEntry& entry : table) {
    if (entry.code == code) return entry.operation;
  }
  return nullptr;
}

// Takes the prefix token `code` when it stands under the cursor.
bool TakePrefix(ExprToken** cursor, uint32_t code) {
  if ((*cursor)->code != code) return false;
  ++*cursor;
  return true;
}

bool IsLiteral(uint32_t code) {
  return code == ExprTypeInt || code == ExprTypeFloat;
}

ErrCode FailAt(const ExprToken* token, ErrCode err) {
  exprErrorToken = token;
  return err;
}

// Applies the operator `token` to (left, right); a failed operation is the
// operator's fault.
ErrCode Apply(const ExprToken* token, Operation operation, ExprValue* result, ExprValue* left,
              ExprValue* right) {
  const ErrCode err = operation(result, left, right);
  return err == errNone ? err : FailAt(token, err);
}

}  // namespace

// sum := product [ sum-operator sum ] ( ")" | end )
ErrCode ExprEvalSum(ExprToken** cursor, ExprValue* result) {
  if (cursor == nullptr || *cursor == nullptr || result == nullptr) return errNilPointer;
  ExprValue left;
  if (ErrCode err = ExprEvalProduct(cursor, &left)) return err;
  const ExprToken* token = (*cursor)++;
  if (token->code == ExprTokEnd || token->code == ExprTokClose) {
    *result = left;
    return errNone;
  }
  const Operation operation = Find(kSumOperators, token->code);
  if (operation == nullptr) return FailAt(token, errSyntax);
  ExprValue right;
  if (ErrCode err = ExprEvalSum(cursor, &right)) return err;
  // No sum-level operation fails.
  return operation(result, &left, &right);
}

// product := unary [ product-operator product ]
ErrCode ExprEvalProduct(ExprToken** cursor, ExprValue* result) {
  if (cursor == nullptr || *cursor == nullptr || result == nullptr) return errNilPointer;
  ExprValue left;
  if (ErrCode err = ExprEvalUnary(cursor, &left)) return err;
  const Operation operation = Find(kProductOperators, (*cursor)->code);
  if (operation == nullptr) {
    // The token is the sum level's to read.
    *result = left;
    return errNone;
  }
  const ExprToken* token = (*cursor)++;
  ExprValue right;
  if (ErrCode err = ExprEvalProduct(cursor, &right)) return err;
  return Apply(token, operation, result, &left, &right);
}

// unary := { "+" | "-" } [ "^" ] [ "<" ] [ ">" ] [ "~" ] primary
// primary := literal | "(" sum
ErrCode ExprEvalUnary(ExprToken** cursor, ExprValue* result) {
  if (cursor == nullptr || *cursor == nullptr || result == nullptr) return errNilPointer;
  int32_t sign = 1;
  while ((*cursor)->code == ExprTokSub || (*cursor)->code == ExprTokAdd) {
    if ((*cursor)++->code == ExprTokSub) sign = -sign;
  }
  int32_t shift = 0;
  if (TakePrefix(cursor, ExprTokCaret)) shift = 16;
  if (TakePrefix(cursor, ExprTokLt)) shift = 0;
  if (TakePrefix(cursor, ExprTokGt)) shift = 8;
  const uint32_t mask = TakePrefix(cursor, ExprTokTilde) ? 0xFFFFFFFFu : 0u;
  const ExprToken* token = (*cursor)++;
  result->type = token->code;
  result->value = token->value;
  if (token->code == ExprTokOpen) {
    if (ErrCode err = ExprEvalSum(cursor, result)) return err;
  } else if (!IsLiteral(token->code)) {
    return FailAt(token, errSyntax);
  }
  ExprApplyPrefix(result, sign, mask, shift);
  return errNone;
}

void ExprApplyPrefix(ExprValue* value, int32_t sign, uint32_t mask, int32_t shift) {
  if (value == nullptr) return;
  if (value->type == ExprTypeFloat && mask == 0 && shift == 0) {
    if (sign < 0) value->value.f = -value->value.f;
    return;
  }
  ExprToInt(value);
  const uint32_t signedValue = static_cast<uint32_t>(sign) * static_cast<uint32_t>(value->value.i);
  value->value.i = static_cast<int32_t>(signedValue ^ mask) >> (shift & 31);
}

namespace {

// Where the text of token `index` of the expression at `start` begins. The
// tokenizer is run once more with room for only `index` tokens: it stops
// with 0x420D as that token would be written, its `token` on the token's
// first character. The buffer entries that run uses are put back.
const char* PlaceOfToken(TextStream* stream, char* start, size_t index) {
  ExprToken* room = exprTokenBuffer + (exprTokenBufferSize - 1 - index);
  ExprToken saved[exprTokenBufferSize];
  memcpy(saved, room, index * sizeof(ExprToken));
  char* const pos = stream->pos;
  char* const token = stream->token;
  stream->pos = start;
  ExprToken* write = room;
  ExprTokenize(stream, &write);
  const char* place = stream->token;
  memcpy(room, saved, index * sizeof(ExprToken));
  stream->pos = pos;
  stream->token = token;
  return place;
}

// Ties the token the evaluator failed at to the stream, whose expression
// started at `start`.
void NoteErrorSpot(TextStream* stream, char* start) {
  // The levels may also run over a caller's own token list.
  const auto at = reinterpret_cast<uintptr_t>(exprErrorToken);
  const auto first = reinterpret_cast<uintptr_t>(exprTokenBuffer);
  if (at < first || at >= first + sizeof exprTokenBuffer) return;
  // The end of the list stands where the expression ended.
  const char* place = stream->pos;
  if (exprErrorToken->code != ExprTokEnd) {
    place = PlaceOfToken(stream, start, (at - first) / sizeof(ExprToken));
  }
  txtErrorSpot = {stream, stream->pos, stream->token, place};
}

// The parenthesis of the token list that has no partner: the first ")" that
// closes nothing, else the innermost "(" left open; null when they pair up.
const ExprToken* UnmatchedParenthesis() {
  const ExprToken* open[exprTokenBufferSize];
  size_t depth = 0;
  for (const ExprToken* t = exprTokenBuffer; t < exprTokenBuffer + exprTokenBufferSize; ++t) {
    if (t->code == ExprTokEnd) break;
    if (t->code == ExprTokOpen) open[depth++] = t;
    if (t->code != ExprTokClose) continue;
    if (depth == 0) return t;
    --depth;
  }
  return depth > 0 ? open[depth - 1] : nullptr;
}

}  // namespace

const char* ExprPlaceOfToken(TextStream* stream, char* start, const ExprToken* token) {
  return PlaceOfToken(stream, start, static_cast<size_t>(token - exprTokenBuffer));
}

int32_t ExprEvaluate(TextStream* stream, ExprValue* outValue) {
  if (outValue == nullptr) return errNilPointer;
  outValue->type = ExprTypeInt;
  outValue->value.i = 0;
  // This stream's earlier failure is forgotten; another stream's is kept.
  if (txtErrorSpot.stream == stream) txtErrorSpot.stream = nullptr;
  char* const start = stream != nullptr ? stream->pos : nullptr;
  ExprToken* write = exprTokenBuffer;
  const int32_t ended = ExprTokenize(stream, &write);
  if (ended == static_cast<int32_t>(errParenthesis)) {
    // The list is complete; the tokenizer only counted the parentheses.
    exprErrorToken = UnmatchedParenthesis();
    if (exprErrorToken != nullptr) NoteErrorSpot(stream, start);
  }
  if (ended != 0 && ended != 1) return ended;
  ExprToken* cursor = exprTokenBuffer;
  if (ErrCode err = ExprEvalSum(&cursor, outValue)) {
    NoteErrorSpot(stream, start);
    return static_cast<int32_t>(err);
  }
  // The outermost sum consumed the token it ended at: the end, or a ")".
  exprUnusedToken = cursor[-1].code == ExprTokClose ? cursor - 1 : nullptr;
  return ended;
}
