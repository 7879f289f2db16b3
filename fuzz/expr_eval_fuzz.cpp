// Arbitrary bytes through the expression evaluator, the numeric field reader
// and the whole-text evaluation, with a small symbol table installed. The
// text lies in a malloc'd block of exactly its size, so AddressSanitizer
// reports any read at or beyond the stream's end; the token buffer is never
// written past.
#include <okr/err.h>
#include <okr/expr.h>
#include <okr/mem.h>
#include <okr/sym.h>
#include <stdlib.h>

#include <string.h>
#include "text_fuzz.h"

namespace {

bool InstallTable() {
  if (MemStart(1u << 20) != 0) return false;
  SymbolTable* table = nullptr;
  if (SymNewTable(&table) != 0) return false;
  SymAddInt(&table, "a", 1);
  SymAddInt(&table, "ab", 3);
  SymAddFloat(&table, "x9", 1.5f);
  SymAddFloat(&table, "big", 3e38f);
  SymAddInt(&table, "a<b", -1);
  exprSymbolTable = table;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = InstallTable();
  if (!ready) return 0;
  char* text = static_cast<char*>(malloc(size));
  memcpy(text, data, size);
  for (size_t at = 0; at <= size; ++at) {
    TextStream s = StreamAt(text, size, at);
    ExprValue value;
    const int32_t ended = ExprEvaluate(&s, &value);
    if (ended == 0 || ended == 1) {
      CheckInside(s, text);
      if (value.type != ExprTypeInt && value.type != ExprTypeFloat) abort();
    }
    // Fields read one after another, as a settings reader would.
    s = StreamAt(text, size, at);
    int32_t n = 0;
    for (int field = 0; field < 4 && TxtReadInt(&s, &n) == 0; ++field)
      CheckInside(s, text);
  }
  // The whole text: a failure lies inside it, and the copy is given back.
  ExprValue value;
  uint32_t at = UINT32_MAX;
  const ErrCode err = ExprEvaluateText(text, static_cast<uint32_t>(size), &value, &at);
  if (at != UINT32_MAX && (err == errNone || at > size)) abort();
  free(text);
  if (MemCheckHeap(memCurrentHeap) != 0) abort();
  return 0;
}
