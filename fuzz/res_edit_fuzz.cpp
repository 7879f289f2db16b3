// Fuzz target for editing resource files: the input drives a sequence of
// edits on one open file (additions to new and existing types, alone or in
// bursts, removals by index that may empty a type, rewrites to another size
// written back at once or later, releases, write-backs, compactions,
// flushes, closing and reopening), and a model of what each (type, index)
// holds follows them. Every call must succeed. After every step the heap
// must be sound and the directory keep its working layout and hold the
// model's types and counts; after a step that writes, the file's bytes as
// they stand must open as a second file, each resource holding whole
// contents the run made; after a flush or a reopen every resource must hold
// what the model says.
//
// Input: byte 0 shapes the starting file: its low four bits give the
// number of types, bit 4 writes it in the other byte order, bit 5 scatters
// its entry arrays (else it is canonical);
// one byte per type follows, its resource count (byte % 32, so a type may
// have none). Then steps, two bytes each, an operation `op` and an
// argument `arg`, with n = op / 8 (0 to 31):
//   op % 8 = 0  add one resource of n bytes to type id arg % 48
//            1  add n + 1 resources of 3 * (arg / 48) bytes to type id
//               arg % 48
//            2  remove resource Pick(n) of the type at record arg
//            3  remove every resource of the type at record arg, first
//               to last (arg < 128) or last to first
//            4  rewrite resource Pick(arg) of the type at record n with
//               3 * (arg % 32) bytes, written back at once when arg >= 128
//            5  arg % 4: write back changed (0) and release all (1),
//               compact (2), flush (3)
//            6  close the file and open it again
//            7  load resource Pick(n) of the type at record arg, compare,
//               and release it when arg >= 128
// Records are picked modulo the model's types, Pick(k) is the first
// resource for k = 0, the last for k = 1, else resource k modulo the count.
#include <okr/res.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "file/res_internal.h"

namespace {

constexpr uint32_t kTypeIds = 48;       // so runs of up to 64 types are laid out
constexpr size_t kMaxEntries = 1000;    // additions stop there
constexpr size_t kMaxFile = 16u << 20;  // the memory file refuses to grow past it

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "res_edit_fuzz: %s (resLastError 0x%x)\n", what, unsigned(resLastError));
  abort();
}

uint32_t TypeIdOf(uint32_t k) {
  return OKR_RES_TYPE('T', 'y', 'p', char('A' + k % kTypeIds));
}

// ---- A growable file in memory, behind a stdio stream ----------------------

struct MemFile {
  std::vector<char> bytes;
  size_t pos = 0;
};

ssize_t MemRead(void* cookie, char* buf, size_t size) {
  auto* m = static_cast<MemFile*>(cookie);
  size_t n = m->pos < m->bytes.size() ? std::min(size, m->bytes.size() - m->pos) : 0;
  memcpy(buf, m->bytes.data() + m->pos, n);
  m->pos += n;
  return ssize_t(n);
}

ssize_t MemWrite(void* cookie, const char* buf, size_t size) {
  auto* m = static_cast<MemFile*>(cookie);
  if (m->pos + size > kMaxFile) return -1;
  if (m->pos + size > m->bytes.size()) m->bytes.resize(m->pos + size);
  memcpy(m->bytes.data() + m->pos, buf, size);
  m->pos += size;
  return ssize_t(size);
}

int MemSeek(void* cookie, off64_t* offset, int whence) {
  auto* m = static_cast<MemFile*>(cookie);
  off64_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? off64_t(m->pos)
                                      : off64_t(m->bytes.size());
  if (base + *offset < 0) return -1;
  m->pos = size_t(base + *offset);
  *offset = off64_t(m->pos);
  return 0;
}

// A stream on `m` from its start; `m` outlives it.
File* OpenStream(MemFile& m) {
  m.pos = 0;
  File* f = fopencookie(&m, "r+b", cookie_io_functions_t{MemRead, MemWrite, MemSeek, nullptr});
  Check(f != nullptr, "fopencookie");
  return f;
}

// ---- The starting file -------------------------------------------------------

// Puts word `v` at `pos`, byte-reversed for the other order unless `raw`.
void Put(std::vector<char>& b, size_t pos, uint32_t v, bool other, bool raw = false) {
  if (other && !raw) SwapBytes32(&v);
  memcpy(&b[pos], &v, 4);
}

struct Resource {
  std::string bytes;
  bool changed;  // not written back yet: releasing it is refused
};
struct Type {
  uint32_t typeId;
  std::vector<Resource> resources;
};

struct Run {
  MemFile file;
  File* stream = nullptr;
  std::vector<Type> model;  // in type record order
  size_t entries = 0;
  uint32_t serial = 0;
  std::unordered_set<std::string> made{""};  // every resource's contents so far
};

// New contents for a resource: `size` bytes that tell them from the others.
std::string Make(Run& r, uint32_t size) {
  uint32_t serial = ++r.serial;
  std::string s(size, 0);
  for (uint32_t i = 0; i < size; ++i)
    s[i] = char(serial * 7 + i * 13 + (serial >> 8));
  r.made.insert(s);
  return s;
}

// A file of `counts.size()` types: header, data, directory. Canonical, or
// with `scattered` the entry arrays last type first, a cell apart, which
// opening lays out afresh.
void Build(Run& r, const std::vector<uint32_t>& counts, bool other, bool scattered) {
  std::string data;
  uint32_t types = uint32_t(counts.size()), total = 0;
  for (uint32_t t = 0; t < types; ++t) {
    r.model.push_back(Type{TypeIdOf(t), {}});
    for (uint32_t i = 0; i < counts[t]; ++i, ++total) {
      r.model.back().resources.push_back(Resource{Make(r, 1 + r.serial % 40), false});
      data += r.model.back().resources.back().bytes;
    }
  }
  // Each array's offset from the type count word.
  std::vector<uint32_t> arrayAt(types);
  uint32_t at = 4 + 12 * types;
  for (uint32_t k = 0; k < types; ++k) {
    uint32_t t = scattered ? types - 1 - k : k;
    arrayAt[t] = at;
    at += 24 * (counts[t] + (scattered ? 1 : 0));
  }
  uint32_t dataLength = uint32_t(data.size());
  uint32_t dir = 32 + dataLength, dirLength = 52 + at;
  std::vector<char>& b = r.file.bytes;
  b.assign(dir + dirLength, 0);
  memcpy(&b[32], data.data(), data.size());
  const uint32_t fixed[] = {0x11223344, resVersion, 32, dataLength, dir, dirLength, 0,
                            0,          0,          0,  0,          52,  0,         types};
  for (uint32_t i = 0; i < 14; ++i)
    Put(b, dir + 4 * i, fixed[i], other, i == 0 || (i >= 6 && i <= 9));
  uint32_t offset = 0;
  for (uint32_t t = 0; t < types; ++t) {
    Put(b, dir + 56 + 12 * t, r.model[t].typeId, other, true);
    Put(b, dir + 60 + 12 * t, counts[t], other);
    Put(b, dir + 64 + 12 * t, arrayAt[t], other);
    size_t e = dir + 52 + arrayAt[t];
    for (const Resource& res : r.model[t].resources) {
      Put(b, e + 8, offset, other);
      Put(b, e + 12, uint32_t(res.bytes.size()), other);
      offset += uint32_t(res.bytes.size());
      e += 24;
    }
  }
  memcpy(&b[0], &b[dir], 32);
  r.entries = total;
}

// ---- Checks ------------------------------------------------------------------

std::string Text(Handle h) {
  uint32_t size = MemGetHandleSize(h);
  return size == 0 ? std::string() : std::string(static_cast<const char*>(h->data), size);
}

// The open file on `f` holds the model's types, in order, with their counts;
// with `load` every resource loads and holds the model's bytes.
void CheckFile(File* f, const std::vector<Type>& model, bool load) {
  uint32_t types = 0;
  Check(ResCountTypes(f, &types) == 0 && types == model.size(), "type count");
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    Check(ResGetTypeId(f, t, &typeId) == 0 && typeId == model[t].typeId, "type id");
    Check(ResCountResources(f, typeId, &count) == 0 && count == model[t].resources.size(),
          "resource count");
    for (uint32_t i = 0; i < count && load; ++i) {
      Handle h = nullptr;
      Check(ResLoadResource(f, typeId, i, &h) == 0, "load");
      Check(Text(h) == model[t].resources[i].bytes, "contents");
    }
  }
}

// Every resource of the open file on `f` loads and holds, whole, contents
// the run made (an empty one for a resource added and stored by a
// compaction before its write-back).
void CheckWhole(File* f, const Run& r) {
  uint32_t types = 0;
  Check(ResCountTypes(f, &types) == 0, "type count");
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    Check(ResGetTypeId(f, t, &typeId) == 0 && ResCountResources(f, typeId, &count) == 0, "count");
    for (uint32_t i = 0; i < count; ++i) {
      Handle h = nullptr;
      Check(ResLoadResource(f, typeId, i, &h) == 0, "the file as it stands: load");
      Check(r.made.count(Text(h)) != 0, "the file as it stands: contents");
    }
  }
}

// The file's bytes as they stand open on their own, read-only: after a
// flush (`flushed`) holding the model, else whole.
void CheckStored(Run& r, bool flushed) {
  MemFile copy;
  copy.bytes = r.file.bytes;
  File* f = OpenStream(copy);
  Check(ResOpenFile(f, resFileFlagReadOnly) == 0, "the file as it stands does not open");
  if (flushed)
    CheckFile(f, r.model, true);
  else
    CheckWhole(f, r);
  Check(ResCloseFile(f) == 0, "close the copy");
}

// After step `op`; only rewrites and write-backs change the file's bytes
// before a flush, so only they are read back.
void CheckStep(Run& r, Heap* heap, uint8_t op) {
  Handle dirHandle = ResFindFile(r.stream);
  Check(dirHandle != nullptr && okr_res::LayoutHolds(okr_res::DirOf(dirHandle)), "working layout");
  Check(MemCheckHeap(heap) == 0, "heap damaged");
  CheckFile(r.stream, r.model, false);
  if (op % 8 == 4 || op % 8 == 5) CheckStored(r, false);
}

// ---- Steps -------------------------------------------------------------------

// Resource `k` of `count`: the first for 0, the last for 1, else k modulo.
uint32_t Pick(uint32_t k, size_t count) {
  return k == 0 ? 0 : k == 1 ? uint32_t(count - 1) : uint32_t(k % count);
}

Handle Load(Run& r, uint32_t t, uint32_t index) {
  Handle h = nullptr;
  Check(ResLoadResource(r.stream, r.model[t].typeId, index, &h) == 0, "load");
  Check(Text(h) == r.model[t].resources[index].bytes, "loaded contents");
  return h;
}

void Add(Run& r, uint32_t typeId, uint32_t size) {
  if (r.entries >= kMaxEntries) return;
  std::string bytes = Make(r, size);
  Handle h = MemNewHandle(size);
  Check(h != nullptr, "new handle");
  memcpy(h->data, bytes.data(), size);
  Check(ResAddResource(r.stream, typeId, h) == 0, "add");
  size_t t = 0;
  while (t < r.model.size() && r.model[t].typeId != typeId)
    ++t;
  if (t == r.model.size()) r.model.push_back(Type{typeId, {}});
  r.model[t].resources.push_back(Resource{bytes, true});
  ++r.entries;
}

void Remove(Run& r, uint32_t t, uint32_t index) {
  Check(ResRemoveResource(Load(r, t, index)) == 0, "remove");
  std::vector<Resource>& resources = r.model[t].resources;
  resources.erase(resources.begin() + index);
  if (resources.empty()) r.model.erase(r.model.begin() + t);
  --r.entries;
}

void Rewrite(Run& r, uint32_t t, uint32_t index, uint32_t size, bool writeNow) {
  Handle h = Load(r, t, index);
  std::string bytes = Make(r, size);
  Check(MemSetHandleSize(h, size) == 0, "resize");
  memcpy(h->data, bytes.data(), size);
  Check(ResMarkChanged(h) == 0, "mark changed");
  if (writeNow) Check(ResWriteResource(h) == 0, "write back");
  r.model[t].resources[index] = Resource{bytes, !writeNow};
}

void AllWritten(Run& r) {
  for (Type& type : r.model)
    for (Resource& res : type.resources)
      res.changed = false;
}

void Reopen(Run& r) {
  Check(ResCloseFile(r.stream) == 0, "close");
  r.stream = OpenStream(r.file);
  Check(ResOpenFile(r.stream, 0) == 0, "a file the manager wrote does not open again");
  AllWritten(r);
  CheckFile(r.stream, r.model, true);
}

void Step(Run& r, uint8_t op, uint8_t arg) {
  uint32_t n = op / 8;
  size_t types = r.model.size();
  bool pickable = types != 0;
  uint32_t t = pickable ? uint32_t(arg % types) : 0;
  bool empty = !pickable || r.model[t].resources.empty();
  switch (op % 8) {
    case 0:
      return Add(r, TypeIdOf(arg), n);
    case 1:
      for (uint32_t i = 0; i <= n; ++i)
        Add(r, TypeIdOf(arg), 3 * (arg / kTypeIds));
      return;
    case 2:
      if (!empty) Remove(r, t, Pick(n, r.model[t].resources.size()));
      return;
    case 3:
      for (size_t left = empty ? 0 : r.model[t].resources.size(); left != 0; --left)
        Remove(r, t, arg < 128 ? 0 : uint32_t(left - 1));
      return;
    case 4:
      t = pickable ? uint32_t(n % types) : 0;
      if (pickable && !r.model[t].resources.empty())
        Rewrite(r, t, Pick(arg, r.model[t].resources.size()), 3 * (arg % 32u), arg >= 128);
      return;
    case 5:
      if (arg % 4 < 2) {
        ResWriteChanged(ResFindFile(r.stream), arg % 4);
        Check(resLastError == 0, "write back changed");
        AllWritten(r);
      } else if (arg % 4 == 2) {
        Check(ResCompactFile(ResFindFile(r.stream)) == 0, "compact");
      } else {
        Check(ResFlushFile(r.stream) == 0, "flush");
        AllWritten(r);
        CheckStored(r, true);
      }
      return;
    case 6:
      return Reopen(r);
    default:
      if (empty) return;
      uint32_t index = Pick(n, r.model[t].resources.size());
      Handle h = Load(r, t, index);
      if (arg < 128) return;
      ErrCode expected = r.model[t].resources[index].changed ? errResAttributes : errNone;
      Check(ResReleaseResource(h) == expected, "release");
  }
}

void Exercise(const uint8_t* data, size_t size, Heap* heap) {
  uint32_t types = data[0] & 15;
  if (size < 1 + types) return;
  std::vector<uint32_t> counts;
  for (uint32_t t = 0; t < types; ++t)
    counts.push_back(data[1 + t] % 32u);
  Run r;
  Build(r, counts, data[0] & 16, data[0] & 32);
  r.stream = OpenStream(r.file);
  Check(ResOpenFile(r.stream, 0) == 0, "the starting file does not open");
  CheckFile(r.stream, r.model, true);
  for (size_t at = 1 + types; at + 1 < size; at += 2) {
    Step(r, data[at], data[at + 1]);
    CheckStep(r, heap, data[at]);
  }
  Reopen(r);
  Check(ResCloseFile(r.stream) == 0, "close");
}

uint32_t BlocksInUse() {
  MemHeapInfo info{};
  Check(MemGetHeapInfo(nullptr, &info) == 0, "heap info");
  return info.blocksInUse;
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
  Exercise(data, size, heap);
  Check(resTopFile == nullptr && resCurrentFile == nullptr, "files left open");
  Check(MemCheckHeap(heap) == 0, "heap damaged");
  Check(BlocksInUse() == baseline, "blocks leaked");
  return 0;
}
