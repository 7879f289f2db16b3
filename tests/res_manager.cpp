// Resource manager: write-back placement, compaction, the chain of open
// files, read-only and failing writes, and a whole life cycle.
#include <map>

#include "res_builder.h"

namespace {

class ResManager : public ResTest {};

std::string Filler(size_t n, char first) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i)
    s[i] = char(first + i % 23);
  return s;
}

// `prefix` followed by `n` in decimal. (Built by appending: g++ 12 at -O3
// warns falsely about overlapping copies in "literal" + std::string.)
std::string Numbered(const char* prefix, int n) {
  std::string s = prefix;
  s += std::to_string(n);
  return s;
}

// Loads resource 0 of `type`, gives it `text`, marks it changed.
Handle Change(File* f, const char* type, const std::string& text) {
  Handle h = nullptr;
  EXPECT_EQ(ResLoadResource(f, TypeWord(type), 0, &h), 0u);
  EXPECT_EQ(MemSetHandleSize(h, uint32_t(text.size())), 0u);
  memcpy(h->data, text.data(), text.size());
  EXPECT_EQ(ResMarkChanged(h), 0u);
  return h;
}

TEST_F(ResManager, WriteBackAppendsGrownDataAndRewritesShrunkInPlace) {
  // 10 bytes at 40 in a data area of 100: grown to 25, shrunk to 6.
  for (uint32_t newSize : {25u, 6u}) {
    bool grown = newSize > 10;
    uint32_t offset = grown ? 100 : 40;
    File* f = OpenBuilt(ResFilePlan{{{"DATA", 40, Filler(10, 'a')}}, false, 100}, "place.res");
    Handle h = Change(f, "DATA", std::string(newSize, 'Z'));
    EXPECT_EQ(ResReleaseResource(h), errResAttributes);
    MemLockHandle(h);
    ASSERT_EQ(ResWriteResource(h), 0u);
    EXPECT_NE(MemGetFlags(h) & memFlagLocked, 0u);  // lock state kept
    ResInfo info;
    ASSERT_EQ(ResGetInfo(h, &info), 0u);
    EXPECT_EQ(info.dataOffset, offset);
    EXPECT_EQ(info.dataSize, newSize);
    EXPECT_EQ(TopDir()->header.dataLength, grown ? 125u : 100u);
    EXPECT_EQ((TopDir()->fileFlags & resFileFlagChanged) != 0, grown);
    EXPECT_EQ(ResReleaseResource(h), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(ResOpenNamedFile(TempPath("place.res").c_str(), &f), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_EQ(HandleText(h), std::string(newSize, 'Z'));  // the size reached the file
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, RewritesInPlaceReachTheFileAtTheFlush) {
  // A resource that keeps its place (rewritten at its size or smaller) reads
  // back its new bytes at once, also released and loaded again, and reaches
  // the file at the flush, which stores a shrunk size too and leaves a file
  // rewritten at the same size as it was but for the resource's bytes. One
  // grown and rewritten over and over leaves records of its old places
  // behind, which its later rewrites outlive.
  struct Case {
    uint32_t size;
    int rounds;  // grown, then rewritten at its new size, so many times
  } cases[] = {{10, 0}, {6, 0}, {0, 0}, {0, 60}};
  std::string path = TempPath("staged.res");
  Bytes original = BuildResFile(ResFilePlan{{{"DATA", 40, Filler(10, 'a')}}, false, 100});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.rounds);
    WriteBytes(path, original);
    File* f = fopen(path.c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    for (int round = 1; round <= c.rounds; ++round) {
      ASSERT_EQ(ResWriteResource(Change(f, "DATA", Filler(10 + round, 'g'))), 0u);
      ASSERT_EQ(ResWriteResource(Change(f, "DATA", Filler(10 + round, char('A' + round % 9)))), 0u);
    }
    if (c.rounds == 0) {
      ASSERT_EQ(ResWriteResource(Change(f, "DATA", Filler(c.size, 'Z'))), 0u);
    }
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    std::string expected = HandleText(h);
    ASSERT_EQ(ResReleaseResource(h), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_EQ(HandleText(h), expected);
    for (bool flushed : {false, true}) {
      File* reader = nullptr;
      ASSERT_EQ(ResOpenNamedFile(path.c_str(), &reader), 0u);
      ASSERT_EQ(ResLoadResource(reader, TypeWord("DATA"), 0, &h), 0u);
      EXPECT_EQ(HandleText(h) == expected, flushed);
      ASSERT_EQ(ResCloseFile(reader), 0u);
      if (!flushed) {
        ASSERT_EQ(ResFlushFile(f), 0u);
      }
    }
    if (c.size == 10) {
      Bytes rewritten = original;
      memcpy(&rewritten[72], expected.data(), 10);
      EXPECT_EQ(ReadBytes(path), rewritten);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, StagedBytesNeverLandOnTheStoredDirectory) {
  // A large rewrite in place fills the staging region past the room that a
  // directory moved out of the way of appended data keeps in front of it,
  // so appending an added resource moves the stored directory right behind
  // the staged bytes. A later rewrite in place (same size, smaller) must
  // not be staged over it: the file as it stands keeps opening with what
  // it stored, and the flush stores every change.
  struct Case {
    uint32_t size;  // "BBBB" rewritten at this size after the append
  } cases[] = {{30}, {12}, {60}};
  std::string path = TempPath("behind.res");
  Bytes original =
      BuildResFile(ResFilePlan{{{"AAAA", 0, Filler(8000, 'a')}, {"BBBB", 8000, Filler(30, 'b')}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    WriteBytes(path, original);
    File* f = fopen(path.c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    ASSERT_EQ(ResWriteResource(Change(f, "AAAA", Filler(8000, 'A'))), 0u);
    Handle added = MemNewHandle(10);
    ASSERT_NE(added, nullptr);
    memcpy(added->data, "added data", 10);
    ASSERT_EQ(ResAddResource(f, TypeWord("CCCC"), added), 0u);
    ASSERT_EQ(ResWriteResource(added), 0u);
    ASSERT_EQ(ResWriteResource(Change(f, "BBBB", Filler(c.size, 'B'))), 0u);
    const std::map<std::string, std::string> stored = {{"AAAA", Filler(8000, 'a')},
                                                       {"BBBB", Filler(30, 'b')}};
    const std::map<std::string, std::string> changed = {
        {"AAAA", Filler(8000, 'A')}, {"BBBB", Filler(c.size, 'B')}, {"CCCC", "added data"}};
    for (const auto* expected : {&stored, &changed}) {
      if (expected == &changed) {
        ASSERT_EQ(ResFlushFile(f), 0u);
      }
      File* reader = nullptr;
      ASSERT_EQ(ResOpenNamedFile(path.c_str(), &reader), 0u);
      uint32_t types = 0;
      ASSERT_EQ(ResCountTypes(reader, &types), 0u);
      EXPECT_EQ(types, expected->size());
      for (const auto& [type, text] : *expected) {
        Handle h = nullptr;
        ASSERT_EQ(ResLoadResource(reader, TypeWord(type.c_str()), 0, &h), 0u) << type;
        EXPECT_EQ(HandleText(h), text) << type;
      }
      ASSERT_EQ(ResCloseFile(reader), 0u);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, CompactionPacksFrontToBackVisitingEachResourceOnce) {
  struct Case {
    std::vector<BuiltResource> resources;  // all of type "A   "
    std::vector<uint32_t> packed;          // offsets afterwards
    uint32_t dataLength, lastChunk;
  } cases[] = {
      {{{"A   ", 0, Filler(10, 'a')},
        {"A   ", 30, Filler(5, 'b')},
        {"A   ", 50, Filler(5000, 'c')}},
       {0, 10, 15},
       5015,
       904},  // chunks of 2048, 2048, 904
      {{{"A   ", 12, Filler(7, 'd')}}, {0}, 7, 7},
      {{{"A   ", 4, ""}, {"A   ", 4, Filler(9, 'e')}, {"A   ", 6, ""}, {"A   ", 20, "fgh"}},
       {0, 0, 9, 9},
       12,
       3},  // size 0, also inside another resource
      {{}, {}, 0, 0},
  };
  for (const Case& c : cases) {
    File* f = OpenBuilt(ResFilePlan{c.resources, false, 40, resFileFlagChanged}, "compact.res");
    fileLastReadCount = 0;
    ASSERT_EQ(ResCompactFile(resTopFile), 0u);
    EXPECT_EQ(fileLastReadCount, c.lastChunk);
    EXPECT_EQ(TopDir()->header.dataLength, c.dataLength);
    EXPECT_EQ(TopDir()->header.dirOffset, 32 + c.dataLength);
    for (uint32_t i = 0; i < c.packed.size(); ++i) {
      ResInfo info;
      Handle h = nullptr;
      ASSERT_EQ(ResGetIndexedInfo(f, TypeWord("A   "), i, &info), 0u);
      EXPECT_EQ(info.dataOffset, c.packed[i]) << i;
      ASSERT_EQ(ResLoadResource(f, TypeWord("A   "), i, &h), 0u);
      EXPECT_EQ(HandleText(h), c.resources[i].data);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, StoredOffsetsAndLoadedDataLeadToTheirEntries) {
  File* f = OpenBuilt(ResFilePlan{{{"A   ", 4, ""},
                                   {"A   ", 4, Filler(9, 'a')},
                                   {"A   ", 20, "b"},
                                   {"B   ", 13, "cd"},
                                   {"B   ", 15, ""}}},
                      "stored.res");
  ResDirectory* dir = TopDir();
  ResEntry* const a = okr_res::EntryAt(dir, okr_res::TypeAt(dir, 0), 0);
  ResEntry* const b = okr_res::EntryAt(dir, okr_res::TypeAt(dir, 1), 0);
  // The entry at the offset, else the nearest after it; the first in
  // directory order among equals.
  const struct {
    uint32_t from;
    ResEntry* expected;
  } stored[] = {{0, a}, {4, a}, {5, b}, {13, b}, {14, b + 1}, {16, a + 2}, {21, nullptr}};
  for (const auto& s : stored)
    EXPECT_EQ(ResNextStored(dir, s.from), s.expected) << s.from;
  EXPECT_EQ(ResNextStored(nullptr, 0), nullptr);
  Handle cd = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("B   "), 0, &cd), 0u);
  Handle other = MemNewHandle(1);  // (allocations may move the directory)
  ResDirectory* outDir = nullptr;
  ResTypeRecord* outType = nullptr;
  Handle outHandle = nullptr;
  resLastError = errResNotFound;
  EXPECT_EQ(ResFindEntry(cd, &outDir, &outType, &outHandle),
            okr_res::EntryAt(TopDir(), okr_res::TypeAt(TopDir(), 1), 0));
  EXPECT_EQ(resLastError, 0u);
  EXPECT_EQ(outDir, TopDir());
  EXPECT_EQ(outType, okr_res::TypeAt(TopDir(), 1));
  EXPECT_EQ(outHandle, resTopFile);
  // A handle no entry holds: 0x4583, the outs untouched; NULL: nothing set.
  EXPECT_EQ(ResFindEntry(other, &outDir, nullptr, nullptr), nullptr);
  EXPECT_EQ(resLastError, errResNotFound);
  EXPECT_EQ(outDir, TopDir());
  resLastError = 0;
  EXPECT_EQ(ResFindEntry(nullptr, &outDir, nullptr, nullptr), nullptr);
  EXPECT_EQ(resLastError, 0u);
  MemDisposeHandle(other);
  ASSERT_EQ(ResCloseFile(f), 0u);
}

TEST_F(ResManager, ChainRunsNewestFirst) {
  // Three streams on one file, each growing its one resource: each close
  // rewrites the whole file, so the oldest, closed last, has the last word.
  File *files[3], *extra = OpenBuilt(ResFilePlan{}, "extra.res");
  WriteBytes(TempPath("chain.res"), BuildResFile(ResFilePlan{{{"TEXT", 0, "old"}}}));
  for (int i = 0; i < 3; ++i) {
    files[i] = fopen(TempPath("chain.res").c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(files[i], 0), 0u);
    Change(files[i], "TEXT", "stream " + std::to_string(i));
  }
  EXPECT_EQ(ResFindFile(files[2]), resTopFile);
  EXPECT_EQ(resCurrentFile, resTopFile);
  EXPECT_EQ(ResOpenFile(files[1], 0), errResAlreadyInFile);  // stays open once
  EXPECT_EQ(ResFindFile(files[2]), resTopFile);
  ASSERT_EQ(ResCloseFile(extra), 0u);  // the oldest: unlinked behind the others
  EXPECT_EQ(ResFindFile(extra), nullptr);
  EXPECT_EQ(ResCloseFile(nullptr), errResFileNotFound);
  EXPECT_EQ(ResFlushFile(nullptr), errResFileNotFound);
  ResCloseAll();
  EXPECT_EQ(resLastError, 0u);
  EXPECT_EQ(resCurrentFile, nullptr);
  File* f = reinterpret_cast<File*>(1);
  EXPECT_EQ(ResStart(nullptr, &f), 0u);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(ResOpenFile(nullptr, 0), errNilPointer);
  EXPECT_EQ(ResOpenNamedFile(TempPath("missing.res").c_str(), &f), errFileNotFound);
  ASSERT_EQ(ResOpenNamedFile(TempPath("chain.res").c_str(), &f), 0u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), "stream 0");
}

TEST_F(ResManager, ClosingAFileUnlinksItWhicheverFileIsCurrent) {
  // Files 0, 1, 2 opened in turn (2 at the head); the program makes `current`
  // the current file, where searches start, and closes `closed`, which the
  // search finds. The files still open stay chained from the head, newest
  // first, and the chain carries no trace of the one closed.
  struct Case {
    int current, closed;
    std::vector<int> left;  // the chain from resTopFile afterwards
  } cases[] = {{2, 1, {2, 0}}, {1, 1, {2, 0}}, {1, 0, {2, 1}}, {0, 0, {2, 1}}, {2, 2, {1, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.current << " " << c.closed);
    File* files[3];
    Handle dirs[3];
    for (int i = 0; i < 3; ++i) {
      files[i] = OpenBuilt(ResFilePlan{{{"TEXT", 0, "x"}}}, "current" + std::to_string(i) + ".res");
      dirs[i] = resTopFile;
    }
    resCurrentFile = dirs[c.current];
    ASSERT_EQ(ResCloseFile(files[c.closed]), 0u);
    std::vector<int> left;
    for (Handle h = resTopFile; h != nullptr && left.size() < 4;
         h = okr_res::LinksOf(okr_res::DirOf(h))->nextFile)
      left.push_back(int(std::find(dirs, dirs + 3, h) - dirs));
    EXPECT_EQ(left, c.left);
    resCurrentFile = resTopFile;  // every file reachable again, for closing
    ResCloseAll();
  }
}

TEST_F(ResManager, DirectoriesOutsideTheChainAreNotUsed) {
  File* f = OpenBuilt(ResFilePlan{{{"TEXT", 0, "hello"}}}, "outside.res");
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 0, &h), 0u);
  ResInfo info;
  ASSERT_EQ(ResGetInfo(h, &info), 0u);
  // A handle that is no open file's directory is refused, never walked.
  Handle stray = MemNewHandle(8);
  memset(stray->data, 0xFF, 8);
  EXPECT_EQ(ResCompactFile(stray), errResFileNotFound);
  ResWriteChanged(stray, 1);
  EXPECT_EQ(resLastError, errResFileNotFound);
  MemDisposeHandle(stray);
  // ResInit forgets the open files: their resources are found no more.
  Handle top = resTopFile;
  ResInit();
  EXPECT_EQ(ResFindEntry(h, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(resLastError, errResNotFound);
  EXPECT_EQ(ResGetInfo(h, &info), errResNotFound);
  resTopFile = resCurrentFile = top;  // linked again, for the fixture to close
}

TEST_F(ResManager, RefusedAndFailedWritesLeaveTheFileAlone) {
  struct Case {
    bool byName;  // read-only by name, or a plain "rb" stream
    bool change;  // a grown resource, else one only loaded
    ErrCode write, flush;
    ErrCode release;  // write back changed and release all: a changed
                      // resource that could not be written stays loaded
  } cases[] = {{true, true, errResReadOnly, errResReadOnly, errResAttributes},
               {false, true, errFileWrite, errFileWrite, errResAttributes},
               {true, false, errResReadOnly, 0, 0}};
  ResFilePlan plan{{{"TEXT", 0, "first"}, {"TEXT", 5, "second"}}, false, 0, resFileFlagWritten};
  Bytes original = BuildResFile(plan);
  std::string path = TempPath("readonly.res");
  for (const Case& c : cases) {
    WriteBytes(path, original);
    File* f = c.byName ? nullptr : fopen(path.c_str(), "rb");
    ASSERT_EQ(c.byName ? ResOpenNamedFile(path.c_str(), &f) : ResOpenFile(f, 0), 0u);
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("TEXT"), 1, &h), 0u);
    if (c.change) h = Change(f, "TEXT", "grown text");
    EXPECT_EQ(ResWriteResource(h), c.write);
    EXPECT_EQ(ResFlushFile(f), c.flush);
    EXPECT_EQ(ResAddResource(f, TypeWord("TEXT"), h),
              c.byName ? errResReadOnly : errResAlreadyInFile);
    ResInfo info;
    ASSERT_EQ(ResGetInfo(h, &info), 0u);
    EXPECT_EQ(info.dataSize, c.change ? 5u : 6u);
    EXPECT_EQ((info.attributes & resAttrChanged) != 0, c.change);
    EXPECT_EQ(TopDir()->header.dataLength, 11u);
    ResWriteChanged(ResFindFile(f), 1);
    EXPECT_EQ(resLastError, c.release);
    // The close's flush fails (a write-back, else the first compaction move);
    // the file is closed, unlinked and its loaded data freed all the same.
    EXPECT_EQ(ResCloseFile(f), 0u);
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(ReadBytes(path), original);
  }
}

TEST_F(ResManager, CreateFillChangeCompactCloseAndReopen) {
  std::string path = TempPath("life.res"), grown = Filler(3000, 'A');
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
  const char* texts[][2] = {{"WORD", "alpha"}, {"NUMB", "beta-beta"}, {"WORD", "gamma!"}};
  for (const auto& t : texts) {
    Handle h = MemNewHandle(uint32_t(strlen(t[1])));
    memcpy(h->data, t[1], strlen(t[1]));
    ASSERT_EQ(ResAddResource(f, TypeWord(t[0]), h), 0u);
    EXPECT_EQ(ResAddResource(f, TypeWord(t[0]), h), errResAlreadyInFile);
  }
  ASSERT_EQ(ResCloseFile(f), 0u);
  f = fopen(path.c_str(), "r+b");
  ASSERT_EQ(ResOpenFile(f, 0), 0u);
  uint32_t count = 0;
  ASSERT_EQ(ResCountResources(f, TypeWord("WORD"), &count), 0u);
  EXPECT_EQ(count, 2u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("NUMB"), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), "beta-beta");
  ASSERT_EQ(ResRemoveResource(h), 0u);
  Change(f, "WORD", grown);
  ASSERT_EQ(ResCloseFile(f), 0u);
  ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
  ASSERT_EQ(ResCountTypes(f, &count), 0u);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(ResLoadResource(f, TypeWord("WORD"), 0, &h), 0u);
  EXPECT_EQ(HandleText(h), grown);
  ASSERT_EQ(ResLoadResource(f, TypeWord("WORD"), 1, &h), 0u);
  EXPECT_EQ(HandleText(h), "gamma!");
  EXPECT_EQ(TopDir()->header.dirOffset, 32 + grown.size() + 6);
}

// The entries of the directory in memory, walked as a user would through
// its public offsets: each type's text and the data sizes of its entries.
std::map<std::string, std::vector<uint32_t>> WalkDirectory(const ResDirectory* dir) {
  const char* base = reinterpret_cast<const char*>(dir);
  std::map<std::string, std::vector<uint32_t>> found;
  uint32_t typeCount = 0;
  memcpy(&typeCount, base + dir->typeListOffset, 4);
  for (uint32_t t = 0; t < typeCount; ++t) {
    ResTypeRecord type;
    memcpy(&type, base + dir->typeListOffset + 4 + 12 * t, sizeof type);
    auto& sizes = found[std::string(reinterpret_cast<const char*>(&type.typeId), 4)];
    for (uint32_t i = 0; i < type.entryCount; ++i) {
      ResEntry entry;
      memcpy(&entry, base + dir->typeListOffset + type.entryListOffset + 24 * i, sizeof entry);
      sizes.push_back(entry.dataSize);
    }
  }
  return found;
}

TEST_F(ResManager, AddingAndRemovingAgainReusesTheDirectorysRoom) {
  // One resource of "AAAA" removed and added again over and over: alone in
  // its file, first of two types, last of two. After the first round the
  // directory's block grows no more.
  struct Case {
    std::vector<const char*> types;  // the types added before, in order
  } cases[] = {{{"AAAA"}}, {{"AAAA", "BBBB"}}, {{"BBBB", "AAAA"}}};
  for (const Case& c : cases) {
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(TempPath("again.res").c_str(), &f), 0u);
    Handle churned = nullptr;
    for (const char* type : c.types) {
      Handle h = MemNewHandle(4);
      ASSERT_EQ(ResAddResource(f, TypeWord(type), h), 0u);
      if (strcmp(type, "AAAA") == 0) churned = h;
    }
    uint32_t blockSize = 0;
    for (int round = 0; round < 50; ++round) {
      ASSERT_EQ(ResRemoveResource(churned), 0u);
      ExpectLayoutsHold();
      churned = MemNewHandle(4);
      ASSERT_EQ(ResAddResource(f, TypeWord("AAAA"), churned), 0u);
      ExpectLayoutsHold();
      if (round == 1) blockSize = MemGetHandleSize(resTopFile);
    }
    EXPECT_EQ(MemGetHandleSize(resTopFile), blockSize) << c.types.size() << c.types[0];
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResManager, InterleavedAdditionsAndRemovalsKeepTypeOrder) {
  // Resources of five types added in turn, enough to outgrow the type list's
  // and each type's room several times, some removed again (the first type
  // and a middle one wholly); the directory in memory, walked through the
  // API and through its offsets, and the one stored must list the same.
  std::string path = TempPath("interleave.res");
  const char* types[] = {"AAAA", "BBBB", "CCCC", "DDDD", "EEEE"};
  std::map<std::string, std::vector<std::string>> model;
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
  std::vector<std::pair<std::string, Handle>> added;
  for (int i = 0; i < 90; ++i) {
    std::string type = types[i * 7 % 5], text = type + std::to_string(i);
    Handle h = MemNewHandle(uint32_t(text.size()));
    memcpy(h->data, text.data(), text.size());
    ASSERT_EQ(ResAddResource(f, TypeWord(type.c_str()), h), 0u);
    ExpectLayoutsHold();
    added.push_back({type, h});
    model[type].push_back(text);
  }
  for (int i = 0; i < 90; ++i) {  // every eighth, every "CCCC" and "AAAA"
    if (added[i].first != "CCCC" && added[i].first != "AAAA" && i % 8 != 0) continue;
    ASSERT_EQ(ResRemoveResource(added[i].second), 0u);
    ExpectLayoutsHold();
    auto& list = model[added[i].first];
    list.erase(std::find(list.begin(), list.end(), added[i].first + std::to_string(i)));
  }
  for (int pass = 0; pass < 2; ++pass) {
    uint32_t typeCount = 0;
    ASSERT_EQ(ResCountTypes(f, &typeCount), 0u);
    uint32_t expectedTypes = 0;
    for (const char* type : types) {
      uint32_t count = 0;
      ASSERT_EQ(ResCountResources(f, TypeWord(type), &count), 0u);
      ASSERT_EQ(count, model[type].size()) << type;
      expectedTypes += count != 0;
      for (uint32_t i = 0; i < count; ++i) {
        Handle h = nullptr;
        ASSERT_EQ(ResLoadResource(f, TypeWord(type), i, &h), 0u);
        EXPECT_EQ(HandleText(h), model[type][i]);
      }
    }
    EXPECT_EQ(typeCount, expectedTypes);
    auto walked = WalkDirectory(TopDir());
    EXPECT_EQ(walked.size(), expectedTypes);
    for (const auto& [type, sizes] : walked) {
      ASSERT_EQ(sizes.size(), model[type].size()) << type;
      for (size_t i = 0; i < sizes.size(); ++i)  // written back at the close
        EXPECT_EQ(sizes[i], pass == 0 ? 0 : model[type][i].size());
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
    // Stored canonically: the type list after the fixed part, each type's
    // entries right after the last one's, nothing between.
    Bytes b = ReadBytes(path);
    uint32_t dir = GetWord(b, 16), length = GetWord(b, 20), offset = 56 + 12 * typeCount;
    ASSERT_EQ(dir + length, b.size());
    EXPECT_EQ(GetWord(b, dir + 44), 52u);
    for (uint32_t t = 0; t < typeCount; offset += 24 * GetWord(b, dir + 60 + 12 * t), ++t)
      EXPECT_EQ(GetWord(b, dir + 64 + 12 * t) + 52, offset);
    EXPECT_EQ(offset, length);
    ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
  }
}

}  // namespace

namespace {

class ResRemoval : public ResTest {
 protected:
  // Adds `text` as the last resource of `type`, in the file and the model.
  void Add(File* f, const std::string& type, const std::string& text) {
    Handle h = MemNewHandle(uint32_t(text.size()));
    memcpy(h->data, text.data(), text.size());
    ASSERT_EQ(ResAddResource(f, TypeWord(type.c_str()), h), 0u);
    model_[type].push_back(text);
    ExpectLayoutsHold();
  }
  // Removes resource `index` of `type`.
  void Remove(File* f, const std::string& type, uint32_t index) {
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord(type.c_str()), index, &h), 0u);
    ASSERT_EQ(ResRemoveResource(h), 0u);
    model_[type].erase(model_[type].begin() + index);
    ExpectLayoutsHold();
  }
  // Every type of the model holds its texts, in order, in the file.
  void ExpectModel(File* f) {
    for (const auto& [type, texts] : model_) {
      uint32_t count = 0;
      ASSERT_EQ(ResCountResources(f, TypeWord(type.c_str()), &count), 0u);
      ASSERT_EQ(count, texts.size()) << type;
      for (uint32_t i = 0; i < count; ++i) {
        Handle h = nullptr;
        ASSERT_EQ(ResLoadResource(f, TypeWord(type.c_str()), i, &h), 0u);
        EXPECT_EQ(HandleText(h), texts[i]);
      }
    }
  }

  std::map<std::string, std::vector<std::string>> model_;
};

TEST_F(ResRemoval, AnyPlaceOfAnyTypeThenAdditionsKeepEveryResource) {
  // Three types of twelve; one of them loses resources at the places the
  // case names (-1 the last), then gains twenty and the others one each,
  // which takes back the room the removals left before its entries.
  struct Case {
    std::vector<int> places;
  } cases[] = {{{0, 0, 0, 0, 0, 0, 0, 0}},
               {{-1, -1, -1, -1, -1, -1}},
               {{5, 5, 5, 5, 2, 2}},
               {{0, -1, 0, -1, 0, -1, 0}},
               {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}};  // the type goes
  const std::string types[] = {"AAAA", "BBBB", "CCCC"};
  std::string path = TempPath("places.res");
  for (const Case& c : cases) {
    for (const std::string& edited : types) {
      SCOPED_TRACE(edited + " loses " + std::to_string(c.places.size()));
      model_.clear();
      File* f = nullptr;
      ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
      for (int i = 0; i < 12; ++i)
        for (const std::string& type : types)
          Add(f, type, type + std::to_string(i));
      for (int place : c.places)
        Remove(f, edited, place < 0 ? uint32_t(model_[edited].size() - 1) : uint32_t(place));
      if (model_[edited].empty()) model_.erase(edited);
      for (int i = 0; i < 20; ++i)
        Add(f, edited, edited + Numbered("+", i));
      for (const std::string& type : types)
        Add(f, type, type + "!");
      ExpectModel(f);
      ASSERT_EQ(ResCloseFile(f), 0u);
      ASSERT_EQ(ResOpenNamedFile(path.c_str(), &f), 0u);
      ExpectModel(f);
      ASSERT_EQ(ResCloseFile(f), 0u);
    }
  }
}

TEST_F(ResRemoval, ATypeHeldTwiceIsFoundByItsFirstRecordUntilThatGoes) {
  // A foreign file whose third type record repeats the first one's id:
  // "AAAA" names the first record's resources, and the other record's once
  // the first has lost them all; "BBBB" keeps its own.
  ResFilePlan plan{{{"AAAA", 0, "a0"}, {"AAAA", 2, "a1"}, {"BBBB", 4, "b0"}, {"ZZZZ", 6, "z0"}}};
  uint32_t dir = 0;
  Bytes b = BuildResFile(plan, &dir);
  PutWord(b, dir + 56 + 2 * 12, TypeWord("AAAA"), false, true);
  WriteBytes(TempPath("twice.res"), b);
  File* f = fopen(TempPath("twice.res").c_str(), "r+b");
  ASSERT_EQ(ResOpenFile(f, 0), 0u);
  ExpectLayoutsHold();
  model_ = {{"AAAA", {"a0", "a1"}}, {"BBBB", {"b0"}}};
  ExpectModel(f);
  Remove(f, "AAAA", 1);
  Remove(f, "AAAA", 0);
  model_["AAAA"] = {"z0"};
  ExpectModel(f);
  Add(f, "AAAA", "z1");
  Remove(f, "BBBB", 0);
  model_.erase("BBBB");
  ExpectModel(f);
  uint32_t types = 0;
  ASSERT_EQ(ResCountTypes(f, &types), 0u);
  EXPECT_EQ(types, 1u);
}

TEST_F(ResRemoval, EmptyTypeRecordsStayOutOfTheWayOfAdditions) {
  // A foreign file whose type list holds 40 type records of no resources,
  // before, between or after a type of one resource and one of twenty:
  // more records than cells. Additions to the first type lay every array
  // out afresh; removals and more additions follow.
  struct Case {
    const char* where;
    uint32_t before;  // types of resources before the empty records
  } cases[] = {{"before both", 0}, {"between", 1}, {"after both", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    model_ = {{"AAAA", {"a"}}, {"BBBB", std::vector<std::string>(20, "b")}};
    std::vector<std::string> order = {"AAAA", "BBBB"};
    for (int i = 0; i < 40; ++i)
      order.insert(order.begin() + c.before + i, Numbered("E", 100 + i));
    ResFilePlan plan;
    uint32_t offset = 0;
    for (const std::string& type : order) {
      size_t n = model_.count(type) ? model_[type].size() : 1;
      for (size_t i = 0; i < n; ++i)
        plan.resources.push_back({type.c_str(), offset++, type == "AAAA" ? "a" : "b"});
    }
    uint32_t dir = 0;
    Bytes b = BuildResFile(plan, &dir);
    for (uint32_t t = 0; t < 40; ++t)  // the empty records' counts
      PutWord(b, dir + 56 + 12 * (c.before + t) + 4, 0, false);
    WriteBytes(TempPath("empty.res"), b);
    File* f = fopen(TempPath("empty.res").c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    ExpectLayoutsHold();
    for (int i = 0; i < 30; ++i)
      Add(f, "AAAA", Numbered("a", i));
    for (int i = 0; i < 10; ++i)
      Remove(f, "BBBB", 5);
    for (int i = 0; i < 20; ++i)
      Add(f, i % 2 ? "AAAA" : "BBBB", Numbered("+", i));
    ExpectModel(f);
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(ResOpenNamedFile(TempPath("empty.res").c_str(), &f), 0u);
    ExpectModel(f);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

// A path may lie in an unlocked block of the current heap (a settings file's
// text, say): every call that takes one reads it before it allocates. In
// scramble mode each allocation moves every unlocked block, so a path read
// afterwards would be read from a place given up.
TEST_F(ResManager, PathsInUnlockedBlocksAreReadBeforeAllocating) {
  if (MemSetScramble(nullptr, 1) != errNone) GTEST_SKIP() << "this build has no scramble mode";
  const std::string path = TempPath("paths.res");
  Handle name = MemNewHandle(uint32_t(path.size() + 1));
  ASSERT_NE(name, nullptr);
  memcpy(name->data, path.c_str(), path.size() + 1);
  auto text = [&] { return static_cast<const char*>(name->data); };
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(text(), &f), 0u);
  ASSERT_EQ(ResCloseFile(f), 0u);
  ASSERT_EQ(ResOpenNamedFile(text(), &f), 0u);
  ASSERT_EQ(ResCloseFile(f), 0u);
  Handle findings = nullptr;
  EXPECT_EQ(ResCheckFile(text(), &findings), 0u);
  EXPECT_NE(findings, nullptr);
  MemDisposeHandle(findings);
  Handle bytes = nullptr;
  EXPECT_EQ(FileLoad(text(), &bytes), 0u);
  EXPECT_EQ(FileSave(text(), bytes), 0u);
  MemDisposeHandle(bytes);
  MemDisposeHandle(name);
  EXPECT_EQ(MemSetScramble(nullptr, 0), 0u);
}

}  // namespace
