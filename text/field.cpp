// The numeric field reader: a field at a stream's cursor evaluated as an
// expression, as a typed value or as an integer.
#include <okr/err.h>
#include <okr/expr.h>

#include "text/rounding.h"

ErrCode TxtReadValue(TextStream* stream, ExprValue* outValue) {
  const int32_t ended = ExprEvaluate(stream, outValue);
  // The end of the line and a separator are both success.
  if (ended == 0 || ended == 1) return errNone;
  return static_cast<ErrCode>(ended);
}

ErrCode TxtValueToInt(const ExprValue* value, int32_t* outInt) {
  if (value == nullptr || outInt == nullptr) return errNilPointer;
  *outInt = value->type == ExprTypeInt ? value->value.i : okr_text::TruncateToInt(value->value.f);
  return errNone;
}

ErrCode TxtReadInt(TextStream* stream, int32_t* outInt) {
  if (outInt == nullptr) return errNilPointer;
  ExprValue value;
  if (ErrCode err = TxtReadValue(stream, &value)) return err;
  return TxtValueToInt(&value, outInt);
}
