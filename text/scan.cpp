// Scanning a text stream: tokens, line ends, lines, quotes and string
// fields. Every scan is bounded by the stream's `end`.
#include <okr/err.h>
#include <okr/txt.h>

#include <string.h>

#include "text/chars.h"

using okr_text::IsBlank;
using okr_text::IsCommentLineStart;
using okr_text::IsIdentByte;
using okr_text::IsLineEnd;

char* TxtFindLineEnd(const char* pos, const char* end) {
  if (pos >= end) return const_cast<char*>(pos - 1);
  for (const char* p = pos; p < end; ++p) {
    if (IsLineEnd(*p)) return const_cast<char*>(p);
  }
  return const_cast<char*>(end - 1);
}

int32_t TxtNextLine(TextStream* stream) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  const char* end = stream->end;
  char* q = stream->pos;
  for (;;) {
    q = TxtFindLineEnd(q, end) + 1;
    while (q < end && IsLineEnd(*q))
      ++q;
    if (q >= end) return 0;
    if (!IsCommentLineStart(*q)) break;
  }
  stream->line = q;
  stream->pos = q;
  return 1;
}

// Quoted token: from its opening byte through the first closing byte.
static int32_t SkipQuoted(TextStream* stream, char closing) {
  const char* end = stream->end;
  for (char* q = stream->pos + 1; q < end; ++q) {
    if (*q == closing) {
      stream->pos = q + 1;
      return 1;
    }
  }
  return 0;
}

int32_t TxtSkipToken(TextStream* stream) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  char* first = stream->pos;
  const char* end = stream->end;
  if (first >= end) return 0;
  if (*first == '"') return SkipQuoted(stream, '"');
  if (*first == '<') return SkipQuoted(stream, '>');
  // Plain token: the first byte belongs to it, whatever it is.
  if (first + 1 >= end) return 0;
  char* q = first + 1;
  while (q < end && IsIdentByte(*q))
    ++q;
  if (q >= end) return 0;
  // q > first + 1 when the second byte is an identifier byte; '/' is none.
  stream->pos = (first[0] == '/' && first[1] == '/') ? first + 2 : q;
  return 1;
}

int32_t TxtNextToken(TextStream* stream, char* buffer, int32_t bufferSize) {
  if (stream == nullptr || stream->pos == nullptr) return 0;
  // Below 2 bytes no token fits; such buffers are refused untouched.
  if (buffer == nullptr || bufferSize < 2) return 0;
  memset(buffer, 0, static_cast<size_t>(bufferSize));
  const char* end = stream->end;
  char* p = stream->pos;
  while (p < end && IsBlank(*p))
    ++p;
  if (p >= end || IsLineEnd(*p)) return 0;
  if (*p == ';' || (*p == '/' && p + 1 < end && p[1] == '/')) return 0;
  stream->token = p;
  stream->pos = p;
  ptrdiff_t length;
  if (TxtSkipToken(stream)) {
    length = stream->pos - p;
  } else {
    // The token runs to the end of the text; a single byte there is lost.
    length = end - p;
    if (length < 2) return 0;
  }
  if (length >= bufferSize) length = bufferSize - 1;
  memcpy(buffer, p, static_cast<size_t>(length));
  stream->pos = p + length;
  return 1;
}

char* TxtStripQuotes(char* string) {
  if (string == nullptr) return string;
  char closing;
  if (string[0] == '"') {
    closing = '"';
  } else if (string[0] == '<') {
    closing = '>';
  } else {
    return string;
  }
  char* cut = strchr(string + 1, closing);
  if (cut == nullptr) cut = string + strlen(string);
  *cut = '\0';
  memmove(string, string + 1, static_cast<size_t>(cut - string));
  return string;
}

ErrCode TxtReadString(TextStream* stream, char* buffer, int32_t bufferSize) {
  if (!TxtNextToken(stream, buffer, bufferSize)) return errIncompleteToken;
  TxtStripQuotes(buffer);
  return errNone;
}
