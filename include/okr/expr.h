/* okr expressions: typed values, the tokenizer that turns the expression at a
   text stream's cursor into the global token buffer, the evaluator that
   walks that buffer by recursive descent, and the numeric field reader.

   Integers are 32-bit and wrap; floats are single precision, computed in
   double precision and rounded to single when stored. The token buffer is
   one global: one evaluation at a time in the whole process. */
#ifndef OKR_EXPR_H
#define OKR_EXPR_H

#include <okr/txt.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

/* Value types; also the token codes of literals. */
enum { ExprTypeInt = 0x1002, ExprTypeFloat = 0x1003 };

/* Token codes of the operators, parentheses and the end of the list. */
enum {
  ExprTokEnd = 0x1007,
  ExprTokAdd = 0x1008,       /* + */
  ExprTokSub = 0x1009,       /* - */
  ExprTokMul = 0x100a,       /* * */
  ExprTokDiv = 0x100b,       /* / */
  ExprTokClose = 0x100c,     /* ) */
  ExprTokOpen = 0x100d,      /* ( */
  ExprTokAmp = 0x100f,       /* & (exclusive-or) */
  ExprTokBar = 0x1010,       /* | */
  ExprTokCaret = 0x1011,     /* ^ */
  ExprTokBackslash = 0x1012, /* \ (remainder) */
  ExprTokShl = 0x1013,       /* << */
  ExprTokShr = 0x1014,       /* >> */
  ExprTokTilde = 0x1015,     /* ~ */
  ExprTokEq = 0x1016,        /* == */
  ExprTokLt = 0x1017,        /* < */
  ExprTokGt = 0x1018,        /* > */
  ExprTokLe = 0x1019,        /* <= */
  ExprTokGe = 0x101a,        /* >= */
  ExprTokNe = 0x101b         /* != */
};

/* The 32 bits of a value: a signed integer or a single-precision float. */
typedef union ExprNumber {
  int32_t i;
  float f;
} ExprNumber;

/* A typed value: `type` says which member of `value` holds. */
typedef struct ExprValue {
  uint32_t type; /* ExprTypeInt or ExprTypeFloat */
  ExprNumber value;
} ExprValue;

/* One token: a literal (code ExprTypeInt/ExprTypeFloat, then it is an
   ExprValue) or an operator code whose `value` means nothing. */
typedef struct ExprToken {
  uint32_t code;
  ExprNumber value;
} ExprToken;

/* The global token list, written from its first entry by every
   tokenization; ExprTokEnd always ends it and counts against the size. */
enum { exprTokenBufferSize = 256 };
OKR_API extern ExprToken exprTokenBuffer[exprTokenBufferSize];

/* ---- Tokenizer ------------------------------------------------------------ */

/* Tokenizes the expression at the stream's `pos` into the token buffer from
   *cursor on (which must point into exprTokenBuffer), literals converted
   and variables replaced by their values, and appends ExprTokEnd. One comma
   right at `pos` is skipped. The expression ends at NUL, CR, LF, ';' or
   "//" (end of line; `pos` on that character), the end of the text (end of
   line; `pos` = `end`), after a ',' (`pos` behind it), at '}' or at a double
   quote that follows an operand (`pos` on it), or at a second operand (`pos`
   on its first byte). `token` marks the last character examined, or where
   an error was found.
   Returns 1 for an end of line, 0 for another end; or, with no ExprTokEnd
   appended unless said: 0x4203 when the parentheses do not balance (after
   ExprTokEnd and `pos`); 0x4206 for '=' or '!' without '='; 0x4205, 0x4204,
   0x4201 from the operand scanners; 0x420D "Overflow" when the expression
   needs more tokens than the buffer holds; 0x4101 for a null argument or a
   released stream. */
OKR_API int32_t ExprTokenize(TextStream* stream, ExprToken** cursor);

/* Append one token at *cursor and advance it. Return 0; or 0x420D when the
   entry would leave no room for the closing ExprTokEnd (for ExprEmitOp with
   ExprTokEnd: when the cursor is past the buffer's last entry). */
OKR_API ErrCode ExprEmitOp(ExprToken** cursor, uint32_t code);
OKR_API ErrCode ExprEmitInt(ExprToken** cursor, int32_t value);
OKR_API ErrCode ExprEmitFloat(ExprToken** cursor, float value);

/* Scans the literal at `pos` ('$' hex, '%' binary, an apostrophe for
   characters, a digit for a decimal or "<digit>x" hex), appends its token
   and leaves `pos` just past it. Returns 0, 0x4201 (a character constant
   of more than four characters, or one left open at the end of the text),
   or 0x420D. */
OKR_API ErrCode ExprScanLiteral(TextStream* stream, ExprToken** cursor);

/* Scans the decimal literal at `pos` (digits, an optional '.' and digits, an
   optional exponent "E[+-]digits", an optional 'F'), leaves `pos` just past
   it and returns ExprTypeInt with *outInt set, or ExprTypeFloat with
   *outFloat set. Powers of ten are built by repeated multiplication by 10.0
   or by the single-precision 0.1, in double precision rounding to nearest
   on every build: on 32-bit x86 the x87 control word is set so for the
   scan and the caller's given back. Returns 0, scanning nothing, for a
   null out pointer. */
OKR_API uint32_t ExprScanDecimal(TextStream* stream, float* outFloat, int32_t* outInt);

/* Scan hexadecimal (either case) or binary digits at `pos`, leave `pos` just
   past them and return the value modulo 2^32; 0 when no digit is there
   (also for a null or released stream). */
OKR_API uint32_t ExprScanHex(TextStream* stream);
OKR_API uint32_t ExprScanBinary(TextStream* stream);

/* Whether `c` is one of "0"-"9", "A"-"F" (upper case only), and its value. */
OKR_API int32_t ExprIsHexDigit(int32_t c);
OKR_API int32_t ExprHexDigitValue(int32_t c);

/* Scans the characters of a character constant from `pos` (just past its
   opening apostrophe) through the closing apostrophe and returns their
   value, packed first character highest; a value of at most 255 is
   upper-cased. *outError receives 0, or 0x4201 for more than four characters
   or a constant left open at the end of the text, or 0x4101 for a null
   stream (then 0 is returned); with a null outError nothing is scanned. */
OKR_API int32_t ExprScanChars(TextStream* stream, ErrCode* outError);

/* Reads the variable name at `pos` (as TxtNextToken does, at most 31 bytes),
   looks it up in exprSymbolTable and appends its value. Returns 0; 0x4205
   when the first byte cannot start a name; 0x4204 when no name can be read
   or no table holds it; 0x420D. */
OKR_API ErrCode ExprScanVariable(TextStream* stream, ExprToken** cursor);

/* ---- Evaluator ------------------------------------------------------------ */

/* Evaluates the expression at the stream's `pos` into *outValue (set to the
   integer 0 first). Returns 1 when it ended at the end of its line, 0 when
   it ended at ',', '}', a double quote or a second operand; or an error
   code: 0x4201 to 0x4206, 0x420D (see ExprTokenize), 0x4101 for a null
   argument. `pos` and `token` are where the tokenizer left them. */
OKR_API int32_t ExprEvaluate(TextStream* stream, ExprValue* outValue);

/* Evaluates `text`, `length` bytes that need no NUL, as one whole
   expression, without a stream of the caller's: a closing double quote, a
   comment, spaces, tabs, NULs and line ends may follow it, nothing else.
   The text is copied (with a line end after it) into a handle of the
   current heap, disposed of again before the call returns; so `text` must
   not lie in an unlocked block of that heap, which the allocation may move.
   *outValue receives the value, the integer 0 on failure.
   Returns 0; 0x4101 for a null text or out value; 0x4201 when something
   follows the expression (a second operand, a further line, a ")" that
   closes nothing where a later "(" evens the count, "1) + (2", and what
   comes after it); the evaluator's codes (see ExprEvaluate), among them
   0x4203 when the text holds more ")" than "(" ("1 + 2)") or fewer;
   0x4601 without a current heap, or 0x4603 when the copy cannot be had.
   On an evaluator's code or 0x4201, *outErrorAt (when not null) receives
   the offset in `text` of the token it failed at, `length` for the text's
   end; it is untouched otherwise. */
OKR_API ErrCode ExprEvaluateText(const char* text, uint32_t length, ExprValue* outValue,
                                 uint32_t* outErrorAt);

/* The grammar levels, over the shared token cursor. Each returns 0 or an
   error code (0x4101 for a null cursor, *cursor or result), and leaves its
   result in *result.
   sum     := product [ sum-operator sum ] ( ")" | end )
   product := unary [ product-operator product ]
   unary   := { "+" | "-" } [ "^" ] [ "<" ] [ ">" ] [ "~" ] primary
   primary := literal | "(" sum */
OKR_API ErrCode ExprEvalSum(ExprToken** cursor, ExprValue* result);
OKR_API ErrCode ExprEvalProduct(ExprToken** cursor, ExprValue* result);
OKR_API ErrCode ExprEvalUnary(ExprToken** cursor, ExprValue* result);

/* Applies the unary prefixes to a primary: for an integer
   ((sign * value) ^ mask) >> shift, arithmetically; a float with no mask
   and no shift only takes the sign, any other float is truncated to an
   integer first. A null value is left alone. */
OKR_API void ExprApplyPrefix(ExprValue* value, int32_t sign, uint32_t mask, int32_t shift);

/* The operations behind the operators. Each may convert its operands in
   place; each returns 0, or 0x4202 "Divide by Zero" (ExprDiv, ExprMod), or
   0x4101 for a null argument (nothing is converted then).
   Arithmetic (+ - *) uses floats when either operand is a float; "/" always
   yields a float; | ^ & \ << >> work on integers (floats truncated); the
   comparisons yield the integer 1 or 0 (never true for a NaN operand, but
   for != which then holds). */
OKR_API ErrCode ExprAdd(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprSub(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprMul(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprDiv(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprMod(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprOr(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprXor(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprShl(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprShr(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprLess(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprGreater(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprLessEq(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprGreaterEq(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprEqual(ExprValue* result, ExprValue* left, ExprValue* right);
OKR_API ErrCode ExprNotEqual(ExprValue* result, ExprValue* left, ExprValue* right);

/* Converts a float value to an integer in place: truncation toward zero to
   64 bits, keeping the low 32; 0 for NaN or a magnitude of 2^63 or more. An
   integer, or a null value, is left alone. */
OKR_API void ExprToInt(ExprValue* value);

/* Converts an integer value to the nearest float (ties to even) in place; a
   float, or a null value, is left alone. */
OKR_API void ExprToFloat(ExprValue* value);

/* ---- Numeric fields ------------------------------------------------------- */

/* Evaluates the field at the stream's cursor into *outValue. Returns 0
   whether the field ended its line or not; or the evaluator's code. */
OKR_API ErrCode TxtReadValue(TextStream* stream, ExprValue* outValue);

/* The integer of a value: an integer as is, a float truncated as by
   ExprToInt. Returns 0 (0x4101 for a null argument). */
OKR_API ErrCode TxtValueToInt(const ExprValue* value, int32_t* outInt);

/* Evaluates the field at the cursor and stores it as an integer (a float is
   truncated) in *outInt. Returns 0; or the evaluator's code, leaving
   *outInt untouched. */
OKR_API ErrCode TxtReadInt(TextStream* stream, int32_t* outInt);

OKR_END_DECLS

#endif
