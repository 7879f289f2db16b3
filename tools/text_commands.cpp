// okr get, eval and tokens: settings files and expressions through the text
// stream and the evaluator.
#include <climits>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "commands.h"

namespace okr_tool {

namespace {

// A stream over a copy of the argument `text` as a line of a settings file,
// line end included: at the very end of a text the stream drops a token of
// one character (the w of "2 * w").
TextStream* StreamOver(const std::string& text, const std::string& what) {
  const std::string line = text + "\n";
  TextStream* stream = nullptr;
  if (ErrCode err = TxtNewEmptyStream(static_cast<uint32_t>(line.size()), &stream)) {
    Fail(what, err);
  }
  std::memcpy(stream->pos, line.data(), line.size());
  return stream;
}

// A stream over the whole file `name`.
TextStream* StreamOverFile(const std::string& name) {
  Handle text = LoadWholeFile(name);
  TextStream* stream = nullptr;
  if (ErrCode err = TxtNewStream(text, &stream)) Fail(name, err);
  return stream;
}

// "NAME:LINE:COLUMN" of the stream's token (or of the token an evaluation
// failed at).
std::string Where(const std::string& name, const TextStream* stream) {
  uint32_t line = 0, column = 0;
  TxtGetLocation(stream, &line, &column);
  return Format("%s:%u:%u", name.c_str(), line, column);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Where the argument in `stream` goes on after the one expression that
// ExprEvaluate read, or null. A closing double quote (a quoted number) and a
// comment belong to the expression; a second operand, or anything on a
// further line, does not.
const char* Leftover(const TextStream* stream) {
  const char* p = stream->pos;
  const char* end = stream->end;
  if (p < end && *p == '"') ++p;
  while (p < end && IsBlank(*p))
    ++p;
  const bool comment = p < end && (*p == ';' || (*p == '/' && p + 1 < end && p[1] == '/'));
  while (comment && p < end && *p != '\n' && *p != '\r')
    ++p;
  while (p < end && (IsBlank(*p) || *p == '\n' || *p == '\r'))
    ++p;
  return p < end ? p : nullptr;
}

// The value of the argument `text`, which must be one expression; a failure
// ends the program, named `what`, and with the argument's line and column
// when `located`.
ExprValue EvaluateArgument(const std::string& text, const std::string& what, bool located) {
  TextStream* stream = StreamOver(text, what);
  ExprValue value;
  const int32_t ended = ExprEvaluate(stream, &value);
  ErrCode err = ended == 0 || ended == 1 ? ErrCode{errNone} : static_cast<ErrCode>(ended);
  if (const char* rest = err == errNone ? Leftover(stream) : nullptr) {
    stream->token = const_cast<char*>(rest);
    err = errSyntax;
  }
  if (err != errNone) Fail(located ? Where(what, stream) : what, err);
  TxtDisposeStream(&stream);
  return value;
}

// Defines the -D variables in a new table, installed for the evaluator. Each
// value is an expression (earlier variables included); its result's type is
// the variable's.
void DefineVariables(const std::vector<std::string>& definitions) {
  SymbolTable* table = nullptr;
  if (ErrCode err = SymNewTable(&table)) Fail("variables", err);
  exprSymbolTable = table;
  for (const std::string& definition : definitions) {
    const std::string what = "-D " + definition;
    const size_t equals = definition.find('=');
    if (equals == std::string::npos) UsageFail(what, errMissingParameter);
    const std::string name = definition.substr(0, equals);
    const ExprValue value = EvaluateArgument(definition.substr(equals + 1), what, false);
    const ErrCode err = value.type == ExprTypeFloat
                            ? SymAddFloat(&table, name.c_str(), value.value.f)
                            : SymAddInt(&table, name.c_str(), value.value.i);
    if (err != errNone) Fail(what, err);
  }
}

// The value as the commands print it: "640", "3.5".
std::string ValueText(const ExprValue& value) {
  return value.type == ExprTypeFloat ? FormatFloat(value.value.f) : std::to_string(value.value.i);
}

// Whether the field at the cursor is a quoted string: a double quote, or a
// '<' closed by a '>' on the same line (else '<' is an operator).
bool IsQuotedField(const TextStream* stream) {
  const char* p = stream->pos;
  while (p < stream->end && (*p == ' ' || *p == '\t'))
    ++p;
  if (p == stream->end) return false;
  if (*p == '"') return true;
  if (*p != '<') return false;
  for (++p; p < stream->end && *p != '\n' && *p != '\r'; ++p) {
    if (*p == '>') return true;
  }
  return false;
}

// Bytes outside printable ASCII as \xNN.
std::string Printable(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    out += byte < 0x20 || byte > 0x7E ? Format("\\x%02X", byte) : std::string(1, *p);
  }
  return out;
}

}  // namespace

int Get(const Argv& argv) {
  const Args args = ParseArgs(
      argv, "get", {{"--int", false}, {"--float", false}, {"--string", false}, {"-D", true}}, 2, 2);
  const std::string& name = args.positionals[0];
  const std::string& key = args.positionals[1];
  if (args.Has("--int") + args.Has("--float") + args.Has("--string") > 1) {
    UsageFail("get: --int, --float and --string", errUnsupported);
  }
  StartLibrary(FileSizeOf(name));
  DefineVariables(args.Values("-D"));
  TextStream* stream = StreamOverFile(name);
  uint32_t passed = 0;
  if (!TxtFindKeyword(stream, key.c_str(), &passed)) Fail(name + ": " + key, errNoSuchVariable);
  const bool asString =
      args.Has("--string") || (!args.Has("--int") && !args.Has("--float") && IsQuotedField(stream));
  if (asString) {
    // Room for the longest token the text can hold.
    std::string buffer(static_cast<size_t>(stream->size) + 2, '\0');
    const auto size = static_cast<int32_t>(buffer.size() < INT32_MAX ? buffer.size() : INT32_MAX);
    if (ErrCode err = TxtReadString(stream, buffer.data(), size)) {
      Fail(Where(name, stream), err);
    }
    std::printf("%s\n", buffer.c_str());
    return 0;
  }
  ExprValue value;
  if (ErrCode err = TxtReadValue(stream, &value)) Fail(Where(name, stream), err);
  if (args.Has("--int")) {
    int32_t n = 0;
    TxtValueToInt(&value, &n);
    value = ExprValue{ExprTypeInt, {n}};
  }
  if (args.Has("--float")) ExprToFloat(&value);
  std::printf("%s\n", ValueText(value).c_str());
  return 0;
}

int Eval(const Argv& argv) {
  const Args args = ParseArgs(argv, "eval", {{"-D", true}}, 1, 1);
  const std::string& expression = args.positionals[0];
  StartLibrary(expression.size());
  DefineVariables(args.Values("-D"));
  const ExprValue value = EvaluateArgument(expression, "eval", true);
  uint32_t bits;
  std::memcpy(&bits, &value.value, sizeof bits);
  std::printf("%s %s 0x%08X\n", ValueText(value).c_str(),
              value.type == ExprTypeFloat ? "float" : "int", bits);
  return 0;
}

int Tokens(const Argv& argv) {
  const Args args = ParseArgs(argv, "tokens", {}, 1, 1);
  const std::string& name = args.positionals[0];
  StartLibrary(FileSizeOf(name));
  TextStream* stream = StreamOverFile(name);
  std::string buffer(static_cast<size_t>(stream->size) + 2, '\0');
  const auto size = static_cast<int32_t>(buffer.size() < INT32_MAX ? buffer.size() : INT32_MAX);
  do {
    std::string line;
    uint32_t number = 0, column = 0;
    while (TxtNextToken(stream, buffer.data(), size)) {
      if (line.empty()) TxtGetLocation(stream, &number, &column);
      line += " [" + Printable(buffer.c_str()) + "]";
    }
    if (!line.empty()) std::printf("%u:%s\n", number, line.c_str());
  } while (TxtNextLine(stream));
  return 0;
}

}  // namespace okr_tool
