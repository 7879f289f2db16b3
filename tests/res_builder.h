// Test helper: writes resource files in either byte order, plus the file
// utilities and the fixture the file and resource tests share.
#ifndef OKR_TESTS_RES_BUILDER_H
#define OKR_TESTS_RES_BUILDER_H

#include <okr/res.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "file/res_internal.h"
#include "test_support.h"

using Bytes = std::vector<unsigned char>;

// One resource: its type's four bytes, its data offset and its contents.
struct BuiltResource {
  const char* type;
  uint32_t offset;
  std::string data;
};

// Header at 0, data area at 32, then the directory: types in order of first
// appearance, each type's entries in one array after the type list.
struct ResFilePlan {
  std::vector<BuiltResource> resources;
  bool otherOrder = false;  // write the words byte-reversed
  uint32_t dataLength = 0;  // at least up to the end of the last resource
  uint32_t fileFlags = 0;
};

inline uint32_t TypeWord(const char* type) {
  uint32_t w;
  memcpy(&w, type, 4);
  return w;
}

// Stores `v` at `pos`, byte-reversed for the other order unless `raw`.
inline void PutWord(Bytes& b, size_t pos, uint32_t v, bool otherOrder, bool raw = false) {
  if (otherOrder && !raw) SwapBytes32(&v);
  memcpy(&b[pos], &v, 4);
}

inline uint32_t GetWord(const Bytes& b, size_t pos) {
  uint32_t w = 0;
  memcpy(&w, &b[pos], 4);
  return w;
}

// Builds the file; *outDirOffset receives the directory's offset.
inline Bytes BuildResFile(const ResFilePlan& plan, uint32_t* outDirOffset = nullptr) {
  uint32_t dataLength = plan.dataLength;
  std::vector<std::string> types;
  for (const auto& r : plan.resources) {
    dataLength = std::max<uint32_t>(dataLength, r.offset + uint32_t(r.data.size()));
    if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
  }
  uint32_t d = 32 + dataLength, entry = 4 + 12 * uint32_t(types.size());
  uint32_t dirLength = 52 + entry + 24 * uint32_t(plan.resources.size());
  Bytes b(d + dirLength, 0);
  const uint32_t fixed[] = {
      0x11223344, resVersion, 32, dataLength,     d,  dirLength, 0x55667788,
      0x99AABBCC, 0,          0,  plan.fileFlags, 52, 0,         uint32_t(types.size())};
  for (uint32_t i = 0; i < 14; ++i)
    PutWord(b, d + 4 * i, fixed[i], plan.otherOrder, i == 0 || (i >= 6 && i <= 9));
  for (size_t t = 0; t < types.size(); ++t) {
    uint32_t count = 0;
    for (const auto& r : plan.resources) {
      if (types[t] != r.type) continue;
      size_t e = d + 52 + entry + 24 * count++;
      memcpy(&b[32 + r.offset], r.data.data(), r.data.size());
      PutWord(b, e, 0xE0E0E000u + count, plan.otherOrder);
      PutWord(b, e + 8, r.offset, plan.otherOrder);
      PutWord(b, e + 12, uint32_t(r.data.size()), plan.otherOrder);
    }
    size_t rec = d + 56 + 12 * t;
    PutWord(b, rec, TypeWord(types[t].c_str()), plan.otherOrder, true);
    PutWord(b, rec + 4, count, plan.otherOrder);
    PutWord(b, rec + 8, entry, plan.otherOrder);
    entry += 24 * count;
  }
  memcpy(&b[0], &b[d], 32);
  if (outDirOffset != nullptr) *outDirOffset = d;
  return b;
}

// The build tree's tag keeps apart the files of the test programs of other
// trees (other checkouts' test runs on the same machine).
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "okr_" OKR_TEST_TREE_TAG "_" + name;
}

inline void WriteBytes(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
  fclose(f);
}

inline Bytes ReadBytes(const std::string& path) {
  Bytes b(1 << 16);
  FILE* f = fopen(path.c_str(), "rb");
  b.resize(f == nullptr ? 0 : fread(b.data(), 1, b.size(), f));
  if (f != nullptr) fclose(f);
  return b;
}

inline std::string HandleText(Handle h) {
  return std::string(static_cast<const char*>(h->data), MemGetHandleSize(h));
}

// A heap and a started resource manager per test; at the end every file is
// closed and no block may be left in use.
class ResTest : public HeapTest {
 protected:
  void SetUp() override {
    HeapTest::SetUp();
    ResInit();
  }
  void TearDown() override {
    ExpectLayoutsHold();
    ResCloseAll();
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(BlocksInUse(), 0u);
    HeapTest::TearDown();
  }
  // Writes `plan` to `name` and opens it with `mode` (read-write by default).
  File* OpenBuilt(const ResFilePlan& plan, const std::string& name, const char* mode = "r+b") {
    WriteBytes(TempPath(name), BuildResFile(plan));
    File* f = fopen(TempPath(name).c_str(), mode);
    EXPECT_EQ(ResOpenFile(f, 0), 0u);
    return f;
  }
  ResDirectory* TopDir() { return static_cast<ResDirectory*>(resTopFile->data); }
  // Every open file's directory keeps the invariants of its working layout.
  static void ExpectLayoutsHold() {
    for (Handle h = resCurrentFile; h != nullptr; h = okr_res::LinksOf(okr_res::DirOf(h))->nextFile)
      EXPECT_TRUE(okr_res::LayoutHolds(okr_res::DirOf(h)));
  }
};

#endif
