// Where a stream's token stands, as a line and column for messages.
#include <okr/err.h>
#include <okr/txt.h>

#include "text/errorspot.h"

TxtErrorSpot txtErrorSpot;

namespace {

// The failing token of the stream's last evaluation, while the stream stands
// where that evaluation left it; else the stream's `token`.
const char* PlaceToReport(const TextStream* stream, const char* text) {
  const TxtErrorSpot& spot = txtErrorSpot;
  const bool unmoved =
      spot.stream == stream && spot.pos == stream->pos && spot.token == stream->token;
  const auto at = reinterpret_cast<uintptr_t>(spot.at);
  const bool inside =
      at >= reinterpret_cast<uintptr_t>(text) && at <= reinterpret_cast<uintptr_t>(stream->end);
  if (unmoved && inside) return spot.at;
  return stream->token;
}

}  // namespace

ErrCode TxtGetLocation(const TextStream* stream, uint32_t* outLine, uint32_t* outColumn) {
  if (stream == nullptr || outLine == nullptr || outColumn == nullptr) return errNilPointer;
  if (stream->pos == nullptr || stream->token == nullptr) return errBadData;
  const char* text = stream->end - stream->size;
  const char* place = PlaceToReport(stream, text);
  const char* token = place < stream->end ? place : stream->end;
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
