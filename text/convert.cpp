// Conversions between the two value types.
#include <okr/expr.h>

#include "text/rounding.h"

void ExprToInt(ExprValue* value) {
  if (value == nullptr || value->type == ExprTypeInt) return;
  value->value.i = okr_text::TruncateToInt(value->value.f);
  value->type = ExprTypeInt;
}

void ExprToFloat(ExprValue* value) {
  if (value == nullptr || value->type == ExprTypeFloat) return;
  const okr_text::DoublePrecision precision;  // rounding to nearest
  value->value.f = okr_text::RoundToFloat(value->value.i);
  value->type = ExprTypeFloat;
}
