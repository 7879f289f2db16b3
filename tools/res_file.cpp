// Opening, describing and finishing resource files for the res commands,
// and the names of resource types.
#include "res_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "cli.h"
#include "output.h"

namespace okr_tool {

namespace {

bool IsHexType(const std::string& text) {
  if (text.size() != 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  return std::all_of(text.begin() + 2, text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// Opens `name` for the manager; 0 or the code, with errno left by the
// failing call. A directory gives 0x4502 with EISDIR.
ErrCode TryOpen(const std::string& name, bool writable, ResFile* out) {
  *out = ResFile{name, nullptr, ByteOrder::kUnknown, FileSizeOf(name)};
  if (IsDirectory(name)) FailDirectory(name);
  File* file = nullptr;
  ClearOsError();
  if (ErrCode err = FileOpen(LibraryPath(name).c_str(), writable ? "r+b" : "rb", &file)) return err;
  // The header as stored tells the byte order, which opening converts away.
  ResFileHeader raw;
  if (FileRead(file, &raw, sizeof raw) == errNone) out->order = OrderOfVersion(raw.version);
  if (ErrCode err = FileSeek(file, fileSeekStart, 0)) {
    FileClose(file);  // the seek's failure is the one to report
    return err;
  }
  // The manager takes the stream over, and closes it when it refuses it.
  ClearOsError();
  if (ErrCode err = ResOpenFile(file, writable ? 0 : resFileFlagReadOnly)) return err;
  out->file = file;
  return errNone;
}

// Whether `text` is well-formed UTF-8: shortest forms, no surrogates.
bool IsUtf8(const std::string& text) {
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    i += length;
  }
  return true;
}

// The heap for the directory of `name` alone (see StartForDirectory), with
// StartLibrary's mebibyte for everything else.
uint64_t HeapForDirectory(const std::string& name) {
  return 0x100000 + 3 * DirectoryHeap(EntriesIn(name));
}

}  // namespace

std::string Json(const std::string& text, bool utf8) {
  const bool keep = utf8 && IsUtf8(text);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && !keep)) {
      out += Format("\\u%04x", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool IsTypeName(const std::string& text) {
  return text.size() == 4 || IsHexType(text);
}

uint32_t ParseType(const std::string& text) {
  uint8_t bytes[4];
  if (text.size() == 4) {
    std::memcpy(bytes, text.data(), 4);
  } else if (IsHexType(text)) {
    const auto value = static_cast<uint32_t>(ParseNumber(text, "type " + text, 0xFFFFFFFFu));
    for (int i = 0; i < 4; ++i)
      bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  } else {
    UsageFail("type " + text, errBadData, "four characters, or 0x and eight hex digits");
  }
  uint32_t typeId;
  std::memcpy(&typeId, bytes, 4);
  return typeId;
}

std::string TypeChars(uint32_t typeId) {
  char chars[5] = {};
  std::memcpy(chars, &typeId, 4);
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<unsigned char>(chars[i]);
    if (byte < 0x20 || byte > 0x7E) chars[i] = '.';
  }
  return chars;
}

std::string TypeHex(uint32_t typeId) {
  uint8_t b[4];
  std::memcpy(b, &typeId, 4);
  return Format("0x%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
}

std::string ResourceName(uint32_t typeId, uint32_t index) {
  return Format("%s #%u", TypeChars(typeId).c_str(), index);
}

ByteOrder NativeOrder() {
  const uint32_t one = 1;
  uint8_t first;
  std::memcpy(&first, &one, 1);
  return first == 1 ? ByteOrder::kLittle : ByteOrder::kBig;
}

const char* OrderName(ByteOrder order) {
  switch (order) {
    case ByteOrder::kLittle:
      return "little-endian";
    case ByteOrder::kBig:
      return "big-endian";
    default:
      return "unknown";
  }
}

ByteOrder OrderOfVersion(uint32_t version) {
  uint32_t swapped = version;
  SwapBytes32(&swapped);
  const ByteOrder other =
      NativeOrder() == ByteOrder::kLittle ? ByteOrder::kBig : ByteOrder::kLittle;
  if (version == resVersion) return NativeOrder();
  return swapped == resVersion ? other : ByteOrder::kUnknown;
}

uint64_t DirectoryHeap(uint64_t resources) {
  // The heap's peak in use, adding to a file of 50,000 resources on a 64-bit
  // build, is about 130 bytes per resource (the directory's block grows by
  // half while its old copy lives); StartLibrary takes this three times.
  constexpr uint64_t kPerResource = 64;
  return resources * kPerResource;
}

uint64_t ResourcesIn(const std::string& name) {
  File* file = nullptr;
  if (IsDirectory(name) || FileOpen(LibraryPath(name).c_str(), "rb", &file) != errNone) return 0;
  ResFileHeader header{};
  const bool read = FileRead(file, &header, sizeof header) == errNone;
  FileClose(file);
  if (!read || (header.version != resVersion && ResConvertHeader(&header) != errNone)) return 0;
  return header.dirLength / sizeof(ResEntry);
}

void StartForDirectory(const std::string& name, uint64_t bytesPerEntry) {
  StartHeap(HeapForDirectory(name) + EntriesIn(name) * bytesPerEntry);
}

void RestartFor(ResFile& res, uint64_t bytes, bool writable) {
  const std::string name = res.name;
  CloseRead(res);
  SysShutdown();
  StartHeap(HeapForDirectory(name) + bytes);
  res = OpenResFile(name, writable);
}

uint64_t EntriesIn(const std::string& name) {
  return std::min(ResourcesIn(name), LibraryInputSizeOf(name) / sizeof(ResEntry));
}

ResFile OpenResFile(const std::string& name, bool writable) {
  ResFile res;
  if (ErrCode err = TryOpen(name, writable, &res)) {
    // A file the library refuses by its contents (cut short, another kind
    // of file, a damaged directory) has no system reason: say where to look.
    const bool refused = err == errFileEof || err == errVersionMismatch || err == errResInvalidFile;
    if (refused && OsReason().empty()) {
      Fail(name, err,
           "not a resource file, or a damaged one ('okr res check " + name + "' says why)");
    }
    FailFile(name, err);
  }
  return res;
}

ResFile CreateResFile(const std::string& name, const std::string& path) {
  ResFile res{name, nullptr, NativeOrder(), 0};
  ClearOsError();
  if (ErrCode err = ResCreateFile(LibraryPath(path).c_str(), &res.file)) {
    FailToMakeBeside(name, path, err);
  }
  return res;
}

ResDirectory* DirectoryOf(const ResFile& res) {
  Handle dir = ResFindFile(res.file);
  if (dir == nullptr) Fail(res.name, resLastError);
  return static_cast<ResDirectory*>(dir->data);
}

void MarkFileChanged(const ResFile& res) {
  DirectoryOf(res)->fileFlags |= resFileFlagChanged;
}

void FinishWrite(ResFile& res, const std::string& path) {
  File* file = res.file;
  res.file = nullptr;
  ClearOsError();
  ErrCode err = ResFlushFile(file);
  // Bytes still in the stream's buffer must reach the file too.
  if (err == errNone && (std::fflush(file) != 0 || std::ferror(file))) err = errFileWrite;
  if (err != errNone) {
    const std::string reason = OsReason();
    ResCloseFile(file);  // the flush's failure is the one to report
    Fail(res.name, err, reason);
  }
  if (ErrCode closed = ResCloseFile(file)) Fail(res.name, closed);
  // Closing writes the directory once more; what it wrote must read back.
  // A failure names the file the user asked for, not the one beside it.
  ResFile again;
  if (ErrCode err = TryOpen(path.empty() ? res.name : path, false, &again)) {
    FailFile(res.name, err);
  }
  again.name = res.name;
  CloseRead(again);
}

void CloseRead(ResFile& res) {
  if (res.file == nullptr) return;
  File* file = res.file;
  res.file = nullptr;
  if (ErrCode err = ResCloseFile(file)) Fail(res.name, err);
}

uint32_t CountResources(const ResFile& res, uint32_t typeId) {
  uint32_t count = 0;
  if (ErrCode err = ResCountResources(res.file, typeId, &count)) Fail(res.name, err);
  return count;
}

uint32_t CountTypes(const ResFile& res) {
  uint32_t types = 0;
  if (ErrCode err = ResCountTypes(res.file, &types)) Fail(res.name, err);
  return types;
}

std::vector<ResInfo> ListResources(const ResFile& res) {
  std::vector<ResInfo> resources;
  std::unordered_set<uint32_t> listed;  // type ids
  const uint32_t types = CountTypes(res);
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0;
    if (ErrCode err = ResGetTypeId(res.file, t, &typeId)) Fail(res.name, err);
    const uint32_t count = CountResources(res, typeId);
    // A foreign file may hold a type twice; its resources are reached
    // through the first record.
    const bool seen = !listed.insert(typeId).second;
    for (uint32_t i = 0; i < count && !seen; ++i) {
      ResInfo info{};
      if (ErrCode err = ResGetIndexedInfo(res.file, typeId, i, &info)) Fail(res.name, err);
      resources.push_back(info);
    }
  }
  return resources;
}

uint64_t DataInUse(const std::vector<ResInfo>& resources) {
  uint64_t sum = 0;
  for (const ResInfo& r : resources)
    sum += r.dataSize;
  return sum;
}

}  // namespace okr_tool
