// Test helper: writes resource files in either byte order, and small file
// utilities shared by the file and resource tests.
#ifndef OKR_TESTS_RES_BUILDER_H
#define OKR_TESTS_RES_BUILDER_H

#include <okr/res.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

using Bytes = std::vector<unsigned char>;

// One resource of a built file: its type's four bytes, its place in the data
// area and its contents.
struct BuiltResource {
  const char* type;
  uint32_t offset;
  std::string data;
};

// A file laid out as the library lays it out: header, data area, then the
// directory (types in order of first appearance, each type's entries in one
// array after the type list).
struct ResFileSpec {
  std::vector<BuiltResource> resources;
  bool otherOrder = false;  // write the words byte-reversed
  uint32_t dataLength = 0;  // 0: just past the last resource
  uint32_t fileFlags = 0;
  uint32_t headerWords[3] = {0x11223344, 0x55667788, 0x99AABBCC};  // words 0, 6, 7
};

inline uint32_t TypeWord(const char* type) {
  uint32_t w;
  memcpy(&w, type, 4);
  return w;
}

inline uint32_t Swapped(uint32_t w) {
  return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

// Stores `value` at `pos`, byte-reversed when `otherOrder`; raw words
// (typeId, the carried header words) are never reversed.
inline void PutWord(Bytes& b, size_t pos, uint32_t value, bool otherOrder, bool raw = false) {
  if (otherOrder && !raw) value = Swapped(value);
  if (b.size() < pos + 4) b.resize(pos + 4);
  memcpy(&b[pos], &value, 4);
}

inline uint32_t GetWord(const Bytes& b, size_t pos) {
  uint32_t w = 0;
  memcpy(&w, &b[pos], 4);
  return w;
}

// Directory positions of a built file.
struct BuiltLayout {
  uint32_t dirOffset;
  uint32_t dirLength;
  uint32_t typeCount;
};

inline Bytes BuildResFile(const ResFileSpec& spec, BuiltLayout* layout = nullptr) {
  uint32_t dataLength = spec.dataLength;
  for (const auto& r : spec.resources)
    dataLength = std::max<uint32_t>(dataLength, r.offset + uint32_t(r.data.size()));
  std::vector<std::string> types;
  for (const auto& r : spec.resources)
    if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
  uint32_t dirOffset = 32 + dataLength;
  uint32_t listEnd = 4 + 12 * uint32_t(types.size());
  uint32_t dirLength = 52 + listEnd + 24 * uint32_t(spec.resources.size());
  Bytes b(dirOffset + dirLength, 0);
  for (const auto& r : spec.resources)
    memcpy(&b[32 + r.offset], r.data.data(), r.data.size());
  size_t d = dirOffset;
  bool o = spec.otherOrder;
  PutWord(b, d + 0, spec.headerWords[0], o, true);
  PutWord(b, d + 4, resVersion, o);
  PutWord(b, d + 8, 32, o);
  PutWord(b, d + 12, dataLength, o);
  PutWord(b, d + 16, dirOffset, o);
  PutWord(b, d + 20, dirLength, o);
  PutWord(b, d + 24, spec.headerWords[1], o, true);
  PutWord(b, d + 28, spec.headerWords[2], o, true);
  PutWord(b, d + 40, spec.fileFlags, o);
  PutWord(b, d + 44, 52, o);
  PutWord(b, d + 52, uint32_t(types.size()), o);
  uint32_t entry = listEnd;
  for (size_t t = 0; t < types.size(); ++t) {
    uint32_t count = 0;
    for (const auto& r : spec.resources) {
      if (types[t] != r.type) continue;
      size_t e = d + 52 + entry + 24 * count++;
      PutWord(b, e + 0, 0xE0E0E000u + count, o);
      PutWord(b, e + 8, r.offset, o);
      PutWord(b, e + 12, uint32_t(r.data.size()), o);
    }
    size_t rec = d + 52 + 4 + 12 * t;
    PutWord(b, rec, TypeWord(types[t].c_str()), o, true);
    PutWord(b, rec + 4, count, o);
    PutWord(b, rec + 8, entry, o);
    entry += 24 * count;
  }
  memcpy(&b[0], &b[d], 32);
  if (layout != nullptr) *layout = BuiltLayout{dirOffset, dirLength, uint32_t(types.size())};
  return b;
}

// A path in the test's temporary directory.
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "okr_" + name;
}

inline void WriteBytes(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!b.empty()) {
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
  }
  fclose(f);
}

inline Bytes ReadBytes(const std::string& path) {
  Bytes b;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return b;
  int c;
  while ((c = fgetc(f)) != EOF)
    b.push_back(static_cast<unsigned char>(c));
  fclose(f);
  return b;
}

inline std::string HandleText(Handle h) {
  return std::string(static_cast<const char*>(h->data), MemGetHandleSize(h));
}

// A heap per test and a started resource manager; every file is closed and
// no block may be left in use at the end.
class ResTest : public HeapTest {
 protected:
  void SetUp() override {
    HeapTest::SetUp();
    ResInit();
  }
  void TearDown() override {
    ResCloseAll();
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(BlocksInUse(), 0u);
    HeapTest::TearDown();
  }
  // Opens `path` read-write through the resource manager.
  File* OpenRW(const std::string& path) {
    File* f = fopen(path.c_str(), "r+b");
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(ResOpenFile(f, 0), 0u);
    return f;
  }
};

#endif
