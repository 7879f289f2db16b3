// Fuzz target for the resource manager: arbitrary bytes opened as a resource
// file, then every resource loaded, changed, written back, released, added
// and removed, and the file flushed and closed. The heap must stay sound and
// every block must be given back; the directory must keep its working
// layout after every step; a file the manager rewrote without a failure must
// open again with all its resources readable.
//
// Input: one control byte (which operations run), then the file's bytes.
#include <okr/res.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>

#include <filesystem>
#else
#include <unistd.h>
#endif

#include "file/res_internal.h"

namespace {

enum Control : uint8_t {
  kReadOnly = 0x01,  // open with resFileFlagReadOnly
  kGrow = 0x02,      // shifts which changed resources grow, shrink or keep their size
  kRelease = 0x04,   // release every loaded resource before closing
  kAdd = 0x08,       // add a resource of a new and of an existing type
  kRemove = 0x10,    // remove the first loaded resource
  kFlush = 0x20,     // flush before closing
  kCompact = 0x40,   // compact explicitly
  kByName = 0x80     // open through a temporary file by name (read-only)
};

constexpr uint32_t kMaxLoads = 64;

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "res_open_fuzz: %s\n", what);
  abort();
}

// The open file's directory keeps the invariants of its working layout.
void CheckLayout(File* f) {
  Handle dirHandle = ResFindFile(f);
  Check(dirHandle != nullptr && okr_res::LayoutHolds(okr_res::DirOf(dirHandle)), "working layout");
}

uint32_t BlocksInUse() {
  MemHeapInfo info{};
  Check(MemGetHeapInfo(nullptr, &info) == 0, "heap info");
  return info.blocksInUse;
}

// A file of this process in the temporary folder: `tag` tells its uses
// apart.
std::string ScratchPath(const char* tag) {
#ifdef _WIN32
  const std::string folder = std::filesystem::temp_directory_path().string();
  return folder + "okr_res_fuzz_" + std::to_string(_getpid()) + tag + ".res";
#else
  return "/tmp/okr_res_fuzz_" + std::to_string(getpid()) + tag + ".res";
#endif
}

// Writes `size` bytes to a new file `path`.
bool WriteFile(const std::string& path, const void* bytes, size_t size) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = fwrite(bytes, 1, size, out) == size;
  return fclose(out) == 0 && ok;
}

#ifdef _WIN32
// Windows has no streams in memory: a scratch file stands in for `buffer`,
// which Collect fills with what the file holds once it is closed.
File* StreamOver(std::vector<char>& buffer, const char* mode) {
  const std::string path = ScratchPath("_memory");
  File* f = WriteFile(path, buffer.data(), buffer.size()) ? fopen(path.c_str(), mode) : nullptr;
  Check(f != nullptr, "scratch file");  // else every input would pass untried
  return f;
}

void Collect(std::vector<char>& buffer) {
  FILE* in = fopen(ScratchPath("_memory").c_str(), "rb");
  Check(in != nullptr, "scratch file");
  buffer.clear();
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
    buffer.insert(buffer.end(), chunk, chunk + got);
  fclose(in);
}

// A stream holding `bytes`.
File* OpenMemory(std::vector<char>& buffer, const uint8_t* bytes, size_t size) {
  buffer.assign(bytes, bytes + size);
  return StreamOver(buffer, "r+b");
}
#else
constexpr uint32_t kSlack = 1u << 16;  // room for the file to grow in memory

File* StreamOver(std::vector<char>& buffer, const char* mode) {
  return fmemopen(buffer.data(), buffer.size(), mode);
}

void Collect(std::vector<char>&) {}

// An in-memory stream holding `bytes`, with room to grow.
File* OpenMemory(std::vector<char>& buffer, const uint8_t* bytes, size_t size) {
  buffer.assign(size + kSlack, 0);
  File* f = fmemopen(buffer.data(), buffer.size(), "w+b");
  if (f == nullptr) return nullptr;
  if (size != 0 && fwrite(bytes, 1, size, f) != size) {
    fclose(f);
    return nullptr;
  }
  rewind(f);
  return f;
}
#endif

// Opens the file by name from a temporary copy; the manager's stream.
File* OpenByName(const uint8_t* bytes, size_t size) {
  static const std::string path = ScratchPath("");
  if (!WriteFile(path, bytes, size)) return nullptr;
  File* f = nullptr;
  return ResOpenNamedFile(path.c_str(), &f) == 0 ? f : nullptr;
}

// Loads up to kMaxLoads resources, type by type.
std::vector<Handle> LoadAll(File* f) {
  std::vector<Handle> loaded;
  uint32_t types = 0;
  if (ResCountTypes(f, &types) != 0) return loaded;
  for (uint32_t t = 0; t < types && loaded.size() < kMaxLoads; ++t) {
    uint32_t typeId = 0, count = 0;
    Check(ResGetTypeId(f, t, &typeId) == 0, "type id");
    Check(ResCountResources(f, typeId, &count) == 0, "count");
    for (uint32_t i = 0; i < count && loaded.size() < kMaxLoads; ++i) {
      Handle h = nullptr;
      if (ResLoadResource(f, typeId, i, &h) == 0) loaded.push_back(h);
    }
  }
  return loaded;
}

// Changes every other loaded resource; true when every step succeeded.
bool ChangeSome(const std::vector<Handle>& loaded, uint8_t control) {
  bool clean = true;
  for (size_t i = 0; i < loaded.size(); i += 2) {
    Handle h = loaded[i];
    uint32_t size = MemGetHandleSize(h);
    uint32_t mode = (uint32_t(i / 2) + ((control & kGrow) ? 1 : 0)) % 3;
    uint32_t newSize = mode == 0 ? size + 7 + uint32_t(i) : mode == 1 ? size / 2 : size;
    if (MemSetHandleSize(h, newSize) != 0) return false;
    memset(h->data, int('a' + i % 26), newSize);
    Check(ResMarkChanged(h) == 0, "mark changed");
    if (i % 4 == 0) clean &= ResWriteResource(h) == 0;
  }
  return clean;
}

// Adds a resource of a new type and one of the first existing type, and
// removes the first loaded one; true when every step succeeded.
bool Edit(File* f, std::vector<Handle>& loaded, uint8_t control) {
  bool clean = true;
  uint32_t firstType = 0x5A5A5A5Au;
  ResGetTypeId(f, 0, &firstType);
  for (uint32_t typeId : {0x5A5A5A5Au, firstType}) {
    if (!(control & kAdd)) break;
    Handle h = MemNewHandle(5);
    if (h == nullptr) return false;
    memcpy(h->data, "added", 5);
    ErrCode err = ResAddResource(f, typeId, h);
    if (err != 0) MemDisposeHandle(h);
    clean &= err == 0;
  }
  if ((control & kRemove) && !loaded.empty()) {
    clean &= ResRemoveResource(loaded.front()) == 0;
    loaded.erase(loaded.begin());
  }
  return clean;
}

// Reopens what the manager wrote; every resource must load.
void Reopen(const std::vector<char>& buffer) {
  std::vector<char> copy(buffer);
  File* f = StreamOver(copy, "rb");
  Check(f != nullptr, "stream over the written bytes");
  ErrCode err = ResOpenFile(f, 0);
  if (err != 0) fprintf(stderr, "reopen: 0x%x\n", unsigned(err));
  Check(err == 0, "a file the manager wrote does not open again");
  uint32_t types = 0;
  Check(ResCountTypes(f, &types) == 0, "reopen types");
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    Check(ResGetTypeId(f, t, &typeId) == 0 && ResCountResources(f, typeId, &count) == 0, "reopen");
    for (uint32_t i = 0; i < count && i < kMaxLoads; ++i) {
      Handle h = nullptr;
      Check(ResLoadResource(f, typeId, i, &h) == 0, "reopen load");
    }
  }
  Check(ResCloseFile(f) == 0, "reopen close");
}

void Exercise(const uint8_t* data, size_t size) {
  uint8_t control = data[0];
  std::vector<char> buffer;
  bool memory = !(control & kByName);
  File* f = memory ? OpenMemory(buffer, data + 1, size - 1) : OpenByName(data + 1, size - 1);
  if (f == nullptr) return;
  if (memory && ResOpenFile(f, (control & kReadOnly) ? resFileFlagReadOnly : 0) != 0) return;
  CheckLayout(f);
  std::vector<Handle> loaded = LoadAll(f);
  bool clean = ChangeSome(loaded, control);
  CheckLayout(f);
  clean &= Edit(f, loaded, control);
  CheckLayout(f);
  if (control & kCompact) clean &= ResCompactFile(ResFindFile(f)) == 0;
  if (control & kFlush) clean &= ResFlushFile(f) == 0;
  CheckLayout(f);
  if (control & kRelease) {
    for (Handle h : loaded)
      ResReleaseResource(h);
  }
  // A writable file that took every step cleanly must open again after the
  // close has rewritten it.
  bool writable = memory && !(control & kReadOnly);
  Check(ResCloseFile(f) == 0, "close");
  if (writable && clean) {
    Collect(buffer);
    Reopen(buffer);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Heap* heap = nullptr;
  if (heap == nullptr) {
    Check(MemNewHeap(nullptr, 0, nullptr, 8u << 20, &heap) == 0, "heap");
    Check(MemSetHeap(heap) == 0, "select heap");
  }
  if (size == 0) return 0;
  ResInit();
  uint32_t baseline = BlocksInUse();
  Exercise(data, size);
  ResCloseAll();
  Check(resTopFile == nullptr && resCurrentFile == nullptr, "files left open");
  Check(MemCheckHeap(heap) == 0, "heap damaged");
  Check(BlocksInUse() == baseline, "blocks leaked");
  return 0;
}
