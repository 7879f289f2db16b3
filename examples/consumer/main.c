/* A C program that uses okr: starts the library, reads two settings fields
   (one of them an expression over a variable of the program) from text held
   in a handle, evaluates the same expression straight from a C string, and
   checks the heap. Prints what it read; exits 0 on success. */
#include <okr/okr.h>
#include <stdio.h>
#include <string.h>

static const char settings[] =
    "; window\n"
    "title  \"okr from C\"\n"
    "width  screenWidth / 2   // half the screen\n";

static int Fail(const char* what, ErrCode code) {
  fprintf(stderr, "%s: 0x%04X %s\n", what, (unsigned)code, ErrGetText(code));
  return 1;
}

int main(void) {
  if (!SysIsStarted()) {
    ErrCode err = SysStart(NULL, 0x100000, 0);
    if (err != 0) return Fail("SysStart", err);
  }
  SymbolTable* vars = NULL;
  ErrCode err = SymNewTable(&vars);
  if (err == 0) err = SymAddInt(&vars, "screenWidth", 1280);
  if (err != 0) return Fail("SymAddInt", err);
  exprSymbolTable = vars;

  TextStream* s = NULL;
  err = TxtNewEmptyStream(sizeof settings - 1, &s);
  if (err != 0) return Fail("TxtNewEmptyStream", err);
  memcpy(s->pos, settings, sizeof settings - 1);

  char title[32];
  int32_t width = 0;
  uint32_t passed;
  if (!TxtFindKeyword(s, "title", &passed)) return Fail("title", errBadData);
  if ((err = TxtReadString(s, title, sizeof title)) != 0) return Fail("title", err);
  if (!TxtFindKeyword(s, "width", &passed)) return Fail("width", errBadData);
  if ((err = TxtReadInt(s, &width)) != 0) return Fail("width", err);
  TxtDisposeStream(&s);

  static const char expression[] = "screenWidth / 2";
  ExprValue value;
  int32_t again = 0;
  err = ExprEvaluateText(expression, sizeof expression - 1, &value, NULL);
  if (err == 0) err = TxtValueToInt(&value, &again);
  if (err != 0) return Fail("ExprEvaluateText", err);
  if (again != width) return Fail("ExprEvaluateText", errBadData);
  SymDisposeTable(&vars);

  if ((err = MemCheckHeap(NULL)) != 0) return Fail("MemCheckHeap", err);
  printf("okr %s: title \"%s\", width %d\n", OKR_VERSION_STRING, title, (int)width);
  return 0;
}
