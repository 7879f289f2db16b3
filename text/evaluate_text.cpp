// Evaluating a caller's text as one whole expression, without a stream of
// the caller's own. The text is copied into a handle with a line end after
// it: at the very end of a text the scanner drops a token of one character
// (the w of "2 * w"), so the expression must not end the text.
#include <okr/err.h>
#include <okr/expr.h>
#include <string.h>

#include "text/errorspot.h"

namespace {

// NUL too: a caller may pass a buffer's size rather than its text's
// length, and the padding after a C string is no second operand.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\0';
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// Where the text goes on after the one expression ExprEvaluate read, or
// null. A closing double quote (a quoted number), blanks, line ends and
// comments may follow the expression, on its line or on further lines; a
// second operand, or anything else on a further line, may not.
const char* Leftover(const TextStream& stream) {
  const char* p = stream.pos;
  const char* end = stream.end;
  if (p < end && *p == '"') ++p;
  for (;;) {  // a comment runs to its line's end
    while (p < end && (IsBlank(*p) || IsLineEnd(*p)))
      ++p;
    if (p == end || !(*p == ';' || (*p == '/' && p + 1 < end && p[1] == '/'))) break;
    while (p < end && !IsLineEnd(*p))
      ++p;
  }
  return p < end ? p : nullptr;
}

// The place of a failure in the copy: the token the evaluator failed at,
// while the stream stands where the evaluation left it, else the stream's
// `token`.
const char* FailurePlace(const TextStream& stream) {
  const TxtErrorSpot& spot = txtErrorSpot;
  if (spot.stream == &stream && spot.pos == stream.pos && spot.token == stream.token &&
      spot.at != nullptr)
    return spot.at;
  return stream.token;
}

// Evaluates the copy in `stream`; *outPlace receives where a failure lies.
ErrCode EvaluateWhole(TextStream* stream, ExprValue* outValue, const char** outPlace) {
  const int32_t ended = ExprEvaluate(stream, outValue);
  if (ended != 0 && ended != 1) {
    *outPlace = FailurePlace(*stream);
    return static_cast<ErrCode>(ended);
  }
  // A ")" that closes nothing ends the evaluation, and what follows it in
  // the text was never evaluated: "1) + (2" is not the whole text's value 1.
  if (exprUnusedToken != nullptr) {
    *outPlace = ExprPlaceOfToken(stream, stream->end - stream->size, exprUnusedToken);
    return errSyntax;
  }
  *outPlace = Leftover(*stream);
  return *outPlace == nullptr ? errNone : errSyntax;
}

}  // namespace

ErrCode ExprEvaluateText(const char* text, uint32_t length, ExprValue* outValue,
                         uint32_t* outErrorAt) {
  if (outValue == nullptr) return errNilPointer;
  outValue->type = ExprTypeInt;
  outValue->value.i = 0;
  if (text == nullptr) return errNilPointer;
  if (length == UINT32_MAX) return errMemOutOfMemory;  // no room for the line end
  // A failure of the caller's own stream stays where TxtGetLocation finds it.
  const TxtErrorSpot callersSpot = txtErrorSpot;
  Handle copy = MemNewHandle(length + 1);
  if (copy == nullptr) return MemGetError();
  memcpy(copy->data, text, length);
  static_cast<char*>(copy->data)[length] = '\n';
  TextStream stream = {};
  ErrCode err = TxtInitStream(&stream, copy);
  const char* place = nullptr;
  if (err == errNone) err = EvaluateWhole(&stream, outValue, &place);
  if (err != errNone) *outValue = ExprValue{ExprTypeInt, {0}};
  if (err != errNone && place != nullptr && outErrorAt != nullptr) {
    // A failure at the added line end is one at the end of the caller's text.
    const auto at = static_cast<uint32_t>(place - (stream.end - stream.size));
    *outErrorAt = at < length ? at : length;
  }
  // The copy is disposed of even when the stream could not be set over it,
  // and its failure's place gives way to the caller's again.
  TxtReleaseStream(&stream);
  MemDisposeHandle(copy);
  txtErrorSpot = callersSpot;
  return err;
}
