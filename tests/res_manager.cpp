// Resource manager: write-back placement, compaction, the chain of open
// files, read-only files, real write failures, and a whole life cycle
// through the public operations.
#include "res_builder.h"

namespace {

class ResManager : public ResTest {
 protected:
  ResDirectory* TopDir() { return static_cast<ResDirectory*>(resTopFile->data); }
};

std::string Filler(size_t n, char first) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i)
    s[i] = char(first + i % 23);
  return s;
}

TEST_F(ResManager, WriteBackAppendsGrownDataAndRewritesShrunkInPlace) {
  struct Case {
    uint32_t newSize, offset, dataLength;
    bool changed;
  };
  const Case cases[] = {{25, 100, 125, true}, {6, 40, 100, false}, {10, 40, 100, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.newSize);
    ResFileSpec spec;
    spec.resources = {{"DATA", 40, Filler(10, 'a')}};
    spec.dataLength = 100;
    std::string path = TempPath("place.res");
    WriteBytes(path, BuildResFile(spec));
    File* f = OpenRW(path);
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    ASSERT_EQ(MemSetHandleSize(h, c.newSize), 0u);
    memset(h->data, 'Z', c.newSize);
    EXPECT_EQ(ResReleaseResource(h), 0u);  // unchanged data may go...
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    ASSERT_EQ(MemSetHandleSize(h, c.newSize), 0u);
    memset(h->data, 'Z', c.newSize);
    ASSERT_EQ(ResMarkChanged(h), 0u);
    EXPECT_EQ(ResReleaseResource(h), errResAttributes);  // ...changed data stays
    MemLockHandle(h);
    ASSERT_EQ(ResWriteResource(h), 0u);
    EXPECT_NE(MemGetFlags(h) & memFlagLocked, 0u);  // lock state kept
    MemUnlockHandle(h);
    ResInfo info;
    ASSERT_EQ(ResGetInfo(h, &info), 0u);
    EXPECT_EQ(info.dataOffset, c.offset);
    EXPECT_EQ(info.dataSize, c.newSize);
    EXPECT_EQ(info.attributes & resAttrChanged, 0u);
    EXPECT_EQ(TopDir()->header.dataLength, c.dataLength);
    EXPECT_EQ((TopDir()->fileFlags & resFileFlagChanged) != 0, c.changed);
    fflush(f);
    Bytes b = ReadBytes(path);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[32 + c.offset]), c.newSize),
              std::string(c.newSize, 'Z'));
    ASSERT_EQ(ResCloseFile(f), 0u);
    // Whatever the placement, the size reaches the file.
    ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_EQ(HandleText(h), std::string(c.newSize, 'Z'));
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, CompactionPacksFrontToBackAndVisitsEveryResourceOnce) {
  struct Case {
    const char* name;
    std::vector<BuiltResource> resources;
    std::vector<uint32_t> packed;  // offsets after compaction, directory order
    uint32_t dataLength, lastChunk;
  };
  const Case cases[] = {
      {"three",
       {{"A   ", 0, Filler(10, 'a')},
        {"A   ", 30, Filler(5, 'b')},
        {"B   ", 50, Filler(5000, 'c')}},
       {0, 10, 15},
       5015,
       904},
      {"first at 12", {{"A   ", 12, Filler(7, 'd')}}, {0}, 7, 7},
      {"size 0 inside and beside",
       {{"A   ", 4, ""},
        {"A   ", 4, Filler(9, 'e')},
        {"B   ", 6, ""},
        {"B   ", 20, Filler(3, 'f')}},
       {0, 0, 9, 9},
       12,
       3},
      {"no resources", {}, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResFileSpec spec;
    spec.resources = c.resources;
    spec.dataLength = 40;
    spec.fileFlags = resFileFlagChanged;
    std::string path = TempPath("compact.res");
    WriteBytes(path, BuildResFile(spec));
    File* f = OpenRW(path);
    fileLastReadCount = 0;
    ASSERT_EQ(ResCompactFile(resTopFile), 0u);
    EXPECT_EQ(fileLastReadCount, c.lastChunk);
    EXPECT_EQ(TopDir()->header.dataLength, c.dataLength);
    EXPECT_EQ(TopDir()->header.dirOffset, 32 + c.dataLength);
    for (size_t i = 0; i < c.packed.size(); ++i) {
      ResInfo info;
      const BuiltResource& r = c.resources[i];
      uint32_t index = 0;
      for (size_t j = 0; j < i; ++j)
        index += c.resources[j].type == std::string(r.type);
      ASSERT_EQ(ResGetIndexedInfo(f, TypeWord(r.type), index, &info), 0u);
      EXPECT_EQ(info.dataOffset, c.packed[i]) << i;
      Handle h = nullptr;
      ASSERT_EQ(ResLoadResource(f, TypeWord(r.type), index, &h), 0u);
      EXPECT_EQ(HandleText(h), r.data);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, ChainRunsNewestFirstAndClosesInAnyOrder) {
  File* files[3];
  for (int i = 0; i < 3; ++i) {
    std::string path = TempPath("chain" + std::to_string(i) + ".res");
    WriteBytes(path, BuildResFile(ResFileSpec{}));
    ASSERT_EQ(ResOpenNamedFile(path.c_str(), &files[i]), 0u);
  }
  EXPECT_EQ(ResFindFile(files[2]), resTopFile);
  EXPECT_EQ(resCurrentFile, resTopFile);
  EXPECT_EQ(TopDir()->fileFlags & resFileFlagReadOnly, uint32_t{resFileFlagReadOnly});
  Handle oldest = ResFindFile(files[0]);
  ASSERT_EQ(ResCloseFile(files[1]), 0u);  // from the middle
  EXPECT_EQ(ResFindFile(files[1]), nullptr);
  EXPECT_EQ(resLastError, errResFileNotFound);
  EXPECT_EQ(ResFindFile(files[0]), oldest);
  EXPECT_EQ(ResCloseFile(files[1]), errResFileNotFound);
  EXPECT_EQ(ResFlushFile(files[1]), errResFileNotFound);
  ResCloseAll();
  EXPECT_EQ(resLastError, 0u);
  EXPECT_EQ(resTopFile, nullptr);
  EXPECT_EQ(resCurrentFile, nullptr);
  File* none = reinterpret_cast<File*>(1);
  EXPECT_EQ(ResStart(nullptr, &none), 0u);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(ResOpenFile(nullptr, 0), errNilPointer);
}

TEST_F(ResManager, ReadOnlyFileRefusesWriteBackAndStillCloses) {
  ResFileSpec spec;
  spec.resources = {{"TEXT", 0, "first"}, {"TEXT", 5, "second"}};
  spec.fileFlags = resFileFlagWritten;
  std::string path = TempPath("readonly.res");
  Bytes original = BuildResFile(spec);
  WriteBytes(path, original);
  File* f = nullptr;
  ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
  Handle a = nullptr, b = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 0, &a), 0u);
  ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 1, &b), 0u);
  ASSERT_EQ(ResMarkChanged(b), 0u);
  EXPECT_EQ(ResWriteResource(b), errResReadOnly);
  EXPECT_EQ(ResFlushFile(f), errResReadOnly);
  EXPECT_EQ(ResAddResource(f, TypeWord("TEXT"), a), errResReadOnly);
  ResInfo info;
  ASSERT_EQ(ResGetInfo(b, &info), 0u);
  EXPECT_NE(info.attributes & resAttrChanged, 0u);
  // The flush at close fails on the read-only stream; the file is closed,
  // unlinked and every loaded resource freed all the same.
  EXPECT_EQ(ResCloseFile(f), 0u);
  EXPECT_EQ(resTopFile, nullptr);
  EXPECT_EQ(ReadBytes(path), original);
}

TEST_F(ResManager, FailedWritesKeepTheEntryAsTheFileHoldsIt) {
  ResFileSpec spec;
  spec.resources = {{"TEXT", 0, "abc"}};
  std::string path = TempPath("failwrite.res");
  WriteBytes(path, BuildResFile(spec));
  File* f = fopen(path.c_str(), "rb");  // writes fail for real
  ASSERT_EQ(ResOpenFile(f, 0), 0u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 0, &h), 0u);
  ASSERT_EQ(MemSetHandleSize(h, 8), 0u);
  ASSERT_EQ(ResMarkChanged(h), 0u);
  EXPECT_EQ(ResWriteResource(h), errFileWrite);
  ResInfo info;
  ASSERT_EQ(ResGetInfo(h, &info), 0u);
  EXPECT_EQ(info.dataOffset, 0u);
  EXPECT_EQ(info.dataSize, 3u);
  EXPECT_NE(info.attributes & resAttrChanged, 0u);
  EXPECT_EQ(TopDir()->header.dataLength, 3u);
  EXPECT_EQ(TopDir()->fileFlags & resFileFlagChanged, 0u);
  EXPECT_EQ(ResCloseFile(f), 0u);
}

TEST_F(ResManager, CreateFillChangeCompactCloseAndReopen) {
  std::string path = TempPath("life.res");
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
  const char* texts[] = {"alpha", "beta-beta", "gamma!"};
  const char* types[] = {"WORD", "NUMB", "WORD"};
  for (int i = 0; i < 3; ++i) {
    Handle h = MemNewHandle(uint32_t(strlen(texts[i])));
    memcpy(h->data, texts[i], strlen(texts[i]));
    ASSERT_EQ(ResAddResource(f, TypeWord(types[i]), h), 0u);
    EXPECT_EQ(ResAddResource(f, TypeWord(types[i]), h), errResAlreadyInFile);
  }
  ASSERT_EQ(ResCloseFile(f), 0u);
  f = OpenRW(path);
  uint32_t count = 0;
  ASSERT_EQ(ResCountTypes(f, &count), 0u);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(ResCountResources(f, TypeWord("WORD"), &count), 0u);
  EXPECT_EQ(count, 2u);
  Handle alpha = nullptr, beta = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("WORD"), 0, &alpha), 0u);
  ASSERT_EQ(ResLoadResource(f, TypeWord("NUMB"), 0, &beta), 0u);
  EXPECT_EQ(HandleText(beta), "beta-beta");
  std::string grown = Filler(3000, 'A');
  ASSERT_EQ(MemSetHandleSize(alpha, uint32_t(grown.size())), 0u);
  memcpy(alpha->data, grown.data(), grown.size());
  ASSERT_EQ(ResMarkChanged(alpha), 0u);
  ASSERT_EQ(ResRemoveResource(beta), 0u);
  ASSERT_EQ(ResCloseFile(f), 0u);

  ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
  ASSERT_EQ(ResCountTypes(f, &count), 0u);
  EXPECT_EQ(count, 1u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("WORD"), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), grown);
  ASSERT_EQ(ResLoadResource(f, TypeWord("WORD"), 1, &h), 0u);
  EXPECT_EQ(HandleText(h), "gamma!");
  EXPECT_EQ(ResLoadResource(f, TypeWord("NUMB"), 0, &h), errResNotFound);
  EXPECT_EQ(TopDir()->header.dataLength, grown.size() + 6);
  EXPECT_EQ(TopDir()->header.dirOffset, 32 + grown.size() + 6);
  ASSERT_EQ(ResCloseFile(f), 0u);
  remove(path.c_str());
}

}  // namespace
