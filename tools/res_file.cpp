// Opening, describing and finishing resource files for the res commands.
#include "res_file.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "cli.h"

namespace okr_tool {

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

ErrCode TryOpenResFile(const std::string& name, bool writable, ResFile* out) {
  *out = ResFile{name, nullptr, ByteOrder::kUnknown, FileSizeOf(name)};
  if (IsDirectory(name)) return errFileNotFound;
  File* file = nullptr;
  if (ErrCode err = FileOpen(LibraryPath(name).c_str(), writable ? "r+b" : "rb", &file)) return err;
  // The header as stored tells the byte order, which opening converts away.
  ResFileHeader raw;
  if (FileRead(file, &raw, sizeof raw) == errNone) out->order = OrderOfVersion(raw.version);
  if (ErrCode err = FileSeek(file, fileSeekStart, 0)) {
    FileClose(file);
    return err;
  }
  // The manager takes the stream over, and closes it when it refuses it.
  if (ErrCode err = ResOpenFile(file, writable ? 0 : resFileFlagReadOnly)) return err;
  out->file = file;
  return errNone;
}

ResFile OpenResFile(const std::string& name, bool writable) {
  ResFile res;
  if (ErrCode err = TryOpenResFile(name, writable, &res)) Fail(name, err);
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

void FinishWrite(ResFile& res) {
  File* file = res.file;
  res.file = nullptr;
  ErrCode err = ResFlushFile(file);
  // Bytes still in the stream's buffer must reach the file too.
  if (err == errNone && (std::fflush(file) != 0 || std::ferror(file))) err = errFileWrite;
  if (err != errNone) {
    ResCloseFile(file);
    Fail(res.name, err);
  }
  if (ErrCode closed = ResCloseFile(file)) Fail(res.name, closed);
  // Closing writes the directory once more; what it wrote must read back.
  ResFile again = OpenResFile(res.name, false);
  CloseRead(again);
}

void CloseRead(ResFile& res) {
  if (res.file == nullptr) return;
  ResCloseFile(res.file);
  res.file = nullptr;
}

std::vector<ResInfo> ListResources(const ResFile& res) {
  std::vector<ResInfo> resources;
  std::unordered_set<uint32_t> listed;  // type ids
  uint32_t types = 0;
  if (ErrCode err = ResCountTypes(res.file, &types)) Fail(res.name, err);
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    if (ErrCode err = ResGetTypeId(res.file, t, &typeId)) Fail(res.name, err);
    if (ErrCode err = ResCountResources(res.file, typeId, &count)) Fail(res.name, err);
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
