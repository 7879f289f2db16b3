// Variables in expressions: a name read as a text-stream token and replaced
// by its value from the installed symbol table.
#include <okr/err.h>
#include <okr/expr.h>
#include <okr/sym.h>

ErrCode ExprScanVariable(TextStream* stream, ExprToken** cursor) {
  if (stream == nullptr || stream->pos == nullptr || cursor == nullptr) return errNilPointer;
  if (stream->pos >= stream->end) return errInvalidVariable;
  // Bytes from 0x80 up are negative here, so they cannot start a name.
  const int8_t first = static_cast<int8_t>(*stream->pos);
  if (first < 'A' || first == 0x7F) return errInvalidVariable;
  char name[32];
  if (!TxtNextToken(stream, name, sizeof name)) return errNoSuchVariable;
  ExprValue value;
  if (!SymLookup(exprSymbolTable, name, &value)) return errNoSuchVariable;
  // An entry of another type still counts as an operand but yields nothing.
  if (value.type == ExprTypeInt) return ExprEmitInt(cursor, value.value.i);
  if (value.type == ExprTypeFloat) return ExprEmitFloat(cursor, value.value.f);
  return errNone;
}
