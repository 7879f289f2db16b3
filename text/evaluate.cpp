// The expression evaluator: recursive descent over the token buffer, one
// function per grammar level, computing values as it descends. Both operator
// levels recurse to the right, so operators of one level group from the
// right: 10 - 2 - 3 is 10 - (2 - 3).
#include <okr/err.h>
#include <okr/expr.h>

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

}  // namespace

// sum := product [ sum-operator sum ] ( ")" | end )
ErrCode ExprEvalSum(ExprToken** cursor, ExprValue* result) {
  ExprValue left;
  if (ErrCode err = ExprEvalProduct(cursor, &left)) return err;
  const ExprToken* token = (*cursor)++;
  if (token->code == ExprTokEnd || token->code == ExprTokClose) {
    *result = left;
    return errNone;
  }
  const Operation operation = Find(kSumOperators, token->code);
  if (operation == nullptr) return errSyntax;
  ExprValue right;
  if (ErrCode err = ExprEvalSum(cursor, &right)) return err;
  return operation(result, &left, &right);
}

// product := unary [ product-operator product ]
ErrCode ExprEvalProduct(ExprToken** cursor, ExprValue* result) {
  ExprValue left;
  if (ErrCode err = ExprEvalUnary(cursor, &left)) return err;
  const Operation operation = Find(kProductOperators, (*cursor)->code);
  if (operation == nullptr) {
    // The token is the sum level's to read.
    *result = left;
    return errNone;
  }
  ++*cursor;
  ExprValue right;
  if (ErrCode err = ExprEvalProduct(cursor, &right)) return err;
  return operation(result, &left, &right);
}

// unary := { "+" | "-" } [ "^" ] [ "<" ] [ ">" ] [ "~" ] primary
// primary := literal | "(" sum
ErrCode ExprEvalUnary(ExprToken** cursor, ExprValue* result) {
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
    return errSyntax;
  }
  ExprApplyPrefix(result, sign, mask, shift);
  return errNone;
}

void ExprApplyPrefix(ExprValue* value, int32_t sign, uint32_t mask, int32_t shift) {
  if (value->type == ExprTypeFloat && mask == 0 && shift == 0) {
    if (sign < 0) value->value.f = -value->value.f;
    return;
  }
  ExprToInt(value);
  const uint32_t signedValue = static_cast<uint32_t>(sign) * static_cast<uint32_t>(value->value.i);
  value->value.i = static_cast<int32_t>(signedValue ^ mask) >> (shift & 31);
}

int32_t ExprEvaluate(TextStream* stream, ExprValue* outValue) {
  if (outValue == nullptr) return errNilPointer;
  outValue->type = ExprTypeInt;
  outValue->value.i = 0;
  ExprToken* write = exprTokenBuffer;
  const int32_t ended = ExprTokenize(stream, &write);
  if (ended != 0 && ended != 1) return ended;
  ExprToken* cursor = exprTokenBuffer;
  if (ErrCode err = ExprEvalSum(&cursor, outValue)) return static_cast<int32_t>(err);
  return ended;
}
