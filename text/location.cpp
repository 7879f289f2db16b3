// Where a stream's token stands, as a line and column for messages.
#include <okr/err.h>
#include <okr/txt.h>

ErrCode TxtGetLocation(const TextStream* stream, uint32_t* outLine, uint32_t* outColumn) {
  if (stream == nullptr || outLine == nullptr || outColumn == nullptr) return errNilPointer;
  if (stream->pos == nullptr || stream->token == nullptr) return errBadData;
  const char* text = stream->end - stream->size;
  const char* token = stream->token < stream->end ? stream->token : stream->end;
  uint32_t line = 1;
  const char* lineStart = text;
  for (const char* p = text; p < token; ++p) {
    // CR LF is one line end: the LF ends the line.
    const bool crlf = *p == '\r' && p + 1 < stream->end && p[1] == '\n';
    if ((*p == '\n' || *p == '\r') && !crlf) {
      ++line;
      lineStart = p + 1;
    }
  }
  *outLine = line;
  *outColumn = static_cast<uint32_t>(token - lineStart) + 1;
  return errNone;
}
