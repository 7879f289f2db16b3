// Untrusted resource files: every damaged file is refused with a code, and
// nothing is linked or left allocated; ResCheckFile names what is wrong.
#include "res_builder.h"

namespace {

class ResCorrupt : public ResTest {};

enum Where { kHeader, kDirectory, kCut };  // a word of either, or the file cut short

TEST_F(ResCorrupt, DamagedFilesAreRefusedWithACode) {
  // Two types: "AAAA" with 10 bytes at 0 and 5 at 10, "BBBB" with 3 at 20;
  // 23 data bytes. In the directory (at 55, 152 bytes) the type list is at
  // 52, the records at 56 and 68, the entries at 80, 104 and 128.
  struct Damage {
    Where where;
    uint32_t pos, value;
    ErrCode expected;
    uint32_t kind;  // what ResCheckFile finds first
  } damages[] = {
      // clang-format off
      {kHeader,    4,   0x200,       errVersionMismatch, resCheckVersion     },  // version in neither order
      {kDirectory, 4,   0x300,       errVersionMismatch, resCheckCopyVersion },  // the directory's own version
      {kHeader,    16,  5000,        errFileEof,         resCheckDirPastEnd  },  // directory beyond the end
      {kHeader,    20,  0xFFFFFFF0u, errFileEof,         resCheckDirPastEnd  },  // huge directory length
      {kHeader,    20,  40,          errResInvalidFile,  resCheckDirTooShort },  // shorter than the fixed part
      {kDirectory, 20,  60,          errResInvalidFile,  resCheckCopyLength  },  // the copy disagrees on the length
      {kDirectory, 44,  4000,        errResInvalidFile,  resCheckTypeList    },  // type list beyond
      {kDirectory, 44,  53,          errResInvalidFile,  resCheckTypeList    },  // type list unaligned
      {kDirectory, 44,  8,           errResInvalidFile,  resCheckTypeList    },  // type list over the fixed part
      {kDirectory, 52,  0x40000000u, errResInvalidFile,  resCheckTypeRecords },  // huge type count
      {kDirectory, 64,  0x7FFFFFF0u, errResInvalidFile,  resCheckEntryArray  },  // entry list beyond
      {kDirectory, 64,  0,           errResInvalidFile,  resCheckEntryArray  },  // entries over the type list
      {kDirectory, 60,  0x20000000u, errResInvalidFile,  resCheckEntryArray  },  // huge entry count
      {kDirectory, 60,  0x0AAAAAABu, errResInvalidFile,  resCheckEntryArray  },  // count * 24 wraps to 8
      {kDirectory, 52,  0x15555556u, errResInvalidFile,  resCheckTypeRecords },  // count * 12 wraps to 8
      {kHeader,    16,  0xFFFFFFF0u, errFileEof,         resCheckDirPastEnd  },  // offset + length wraps
      {kDirectory, 76,  28,          errResInvalidFile,  resCheckEntryOverlap},  // two types share entries
      {kDirectory, 88,  20,          errResInvalidFile,  resCheckOutsideData },  // resource beyond the data area
      {kDirectory, 116, 0xFFFFFFFCu, errResInvalidFile,  resCheckOutsideData },  // size wraps around
      {kDirectory, 88,  5,           errResInvalidFile,  resCheckOverlap     },  // overlapping resources
      {kDirectory, 12,  0x10000,     errResInvalidFile,  resCheckDataPastEnd },  // data area beyond the file
      {kDirectory, 8,   4,           errResInvalidFile,  resCheckDataInHeader},  // data area over the header
      {kDirectory, 12,  175,         errResInvalidFile,  resCheckDirInData   },  // data area over the directory
      {kCut,       0,   0,           errFileEof,         resCheckShortFile   },  // empty file
      {kCut,       10,  0,           errFileEof,         resCheckShortFile   },  // header cut short
      {kCut,       32,  0,           errFileEof,         resCheckDirPastEnd  },  // no directory
      {kCut,       206, 0,           errFileEof,         resCheckDirPastEnd  },  // directory one byte short
      // clang-format on
  };
  for (bool otherOrder : {false, true}) {
    for (const Damage& d : damages) {
      SCOPED_TRACE(testing::Message() << d.where << " " << d.pos << " " << otherOrder);
      uint32_t dirOffset = 0;
      ResFilePlan plan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}},
                       otherOrder};
      Bytes bytes = BuildResFile(plan, &dirOffset);
      if (d.where == kCut) bytes.resize(d.pos);
      if (d.where != kCut)
        PutWord(bytes, (d.where == kDirectory ? dirOffset : 0) + d.pos, d.value, otherOrder);
      WriteBytes(TempPath("corrupt.res"), bytes);
      File* f = nullptr;
      EXPECT_EQ(ResOpenNamedFile(TempPath("corrupt.res").c_str(), &f), d.expected);
      EXPECT_EQ(resLastError, d.expected);
      EXPECT_EQ(resTopFile, nullptr);
      EXPECT_EQ(BlocksInUse(), 0u);
      // The check without opening gives the same verdict and names the
      // piece; a directory of the other order that leads outside itself
      // stops its conversion before the walk.
      Handle found = nullptr;
      EXPECT_EQ(ResCheckFile(TempPath("corrupt.res").c_str(), &found), d.expected);
      ASSERT_NE(found, nullptr);
      ASSERT_GE(MemGetHandleSize(found), sizeof(ResFinding));
      const uint32_t first = static_cast<ResFinding*>(found->data)->kind;
      if (!otherOrder || first != resCheckDirWalk) {
        EXPECT_EQ(first, d.kind);
      }
      EXPECT_EQ(MemDisposeHandle(found), 0u);
      EXPECT_EQ(BlocksInUse(), 0u);
    }
  }
}

// Rewrites resource 0 of type "AAAA" of `f` in place, cut to 4 bytes.
void ShrinkFirstResource(File* f) {
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("AAAA"), 0, &h), 0u);
  ASSERT_EQ(MemSetHandleSize(h, 4), 0u);
  ASSERT_EQ(ResMarkChanged(h), 0u);
  ASSERT_EQ(ResWriteResource(h), 0u);
}

// The directory's copy of the header names the directory's place too, and
// may disagree with the header at offset 0 (only a note for the check). The
// copy counts once the file is open, but a place on the data area, on the
// header or past all the file holds is not taken: a resource rewritten
// smaller and flushed stores the directory without landing on anything.
TEST_F(ResCorrupt, CopyNamingAnotherDirectoryPlaceLosesNothing) {
  const uint32_t places[] = {32, 0, 0x7FFFFFF0u};  // in the data area, on the header, past 2 GiB
  for (uint32_t place : places) {
    SCOPED_TRACE(place);
    uint32_t dirOffset = 0;
    ResFilePlan plan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}}};
    Bytes bytes = BuildResFile(plan, &dirOffset);
    PutWord(bytes, dirOffset + 16, place, false);
    WriteBytes(TempPath("dirplace.res"), bytes);
    File* f = fopen(TempPath("dirplace.res").c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    EXPECT_EQ(TopDir()->header.dirOffset, place);  // the copy counts
    ASSERT_NO_FATAL_FAILURE(ShrinkFirstResource(f));
    Handle h = nullptr;
    EXPECT_EQ(ResFlushFile(f), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(ResOpenNamedFile(TempPath("dirplace.res").c_str(), &f), 0u);
    const struct {
      const char* type;
      uint32_t index;
      const char* text;
    } expected[] = {{"AAAA", 0, "0123"}, {"AAAA", 1, "abcde"}, {"BBBB", 0, "xyz"}};
    for (const auto& e : expected) {
      ASSERT_EQ(ResLoadResource(f, TypeWord(e.type), e.index, &h), 0u);
      EXPECT_EQ(HandleText(h), e.text) << e.type << e.index;
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

// An empty resource holds no bytes, so its place does not matter: one past
// the data area, even past what a seek reaches, opens, loads as an empty
// handle, and survives a change and a flush of its neighbour.
TEST_F(ResCorrupt, EmptyResourceMayLieAnywhere) {
  for (uint32_t place : {40u, 0x7FFFFFF0u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(place);
    uint32_t dirOffset = 0;
    ResFilePlan plan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}}};
    Bytes bytes = BuildResFile(plan, &dirOffset);
    PutWord(bytes, dirOffset + 136, place, false);  // BBBB #0: its offset and size
    PutWord(bytes, dirOffset + 140, 0, false);
    WriteBytes(TempPath("empty.res"), bytes);
    File* f = fopen(TempPath("empty.res").c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("BBBB"), 0, &h), 0u);
    EXPECT_EQ(MemGetHandleSize(h), 0u);
    ASSERT_NO_FATAL_FAILURE(ShrinkFirstResource(f));
    EXPECT_EQ(ResFlushFile(f), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(ResOpenNamedFile(TempPath("empty.res").c_str(), &f), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("AAAA"), 1, &h), 0u);
    EXPECT_EQ(HandleText(h), "abcde");
    ASSERT_EQ(ResLoadResource(f, TypeWord("BBBB"), 0, &h), 0u);
    EXPECT_EQ(MemGetHandleSize(h), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

// A directory may begin inside the header (its first words then double as
// the header's last ones): a flush that stores it in place after a resource
// shrank leaves a file that still opens, with every resource.
TEST_F(ResCorrupt, DirectoryBeginningInsideTheHeaderStaysReadable) {
  for (uint32_t place : {16u, 20u, 24u}) {
    SCOPED_TRACE(place);
    const uint32_t dataStart = place + 256;
    Bytes bytes(dataStart + 16, 0);
    const uint32_t
        words[][2] = {{4, resVersion}, {8, dataStart}, {12, 16}, {16, place}, {20, 256},
                      {44, 52},        {52, 1},        {60, 2},  {64, 16},    {80, 8},
                      {100, 8},        {104, 8}};  // copy, type list, one type, two entries
    for (const auto& [pos, value] : words)
      PutWord(bytes, place + pos, value, false);
    memcpy(&bytes[place + 56], "AAAA", 4);
    const uint32_t header[][2] = {{4, resVersion}, {16, place}, {20, 256}};
    for (const auto& [pos, value] : header)
      PutWord(bytes, pos, value, false);  // the header at 0, over the copy's front
    memcpy(&bytes[dataStart], "01234567abcdefgh", 16);
    WriteBytes(TempPath("inheader.res"), bytes);
    File* f = fopen(TempPath("inheader.res").c_str(), "r+b");
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    ASSERT_NO_FATAL_FAILURE(ShrinkFirstResource(f));
    Handle h = nullptr;
    ASSERT_EQ(ResFlushFile(f), 0u);
    File* reader = nullptr;
    ASSERT_EQ(ResOpenNamedFile(TempPath("inheader.res").c_str(), &reader), 0u);
    for (const auto& [index, text] : {std::pair{0u, "0123"}, {1u, "abcdefgh"}}) {
      ASSERT_EQ(ResLoadResource(reader, TypeWord("AAAA"), index, &h), 0u);
      EXPECT_EQ(HandleText(h), text);
    }
    ASSERT_EQ(ResCloseFile(reader), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

// ResCheckFile goes on past the first problem: every resource outside the
// data area, every overlap with the one it overlaps; a sound file gets its
// notes. The data area holds 30 bytes, 18 of them in resources, and the
// directory follows it at 62; damages are words of the directory, the
// header's first word (which nothing reads), or bytes appended to the file.
TEST_F(ResCorrupt, CheckListsEveryFinding) {
  struct Expected {
    uint32_t kind;
    const char* type;
    uint32_t index, value;
    const char* otherType;
    uint32_t otherIndex;
  };
  const struct {
    std::vector<std::pair<uint32_t, uint32_t>> words;  // directory position, value
    uint32_t headerWord0;
    size_t appended;
    ErrCode code;
    std::vector<Expected> findings;
  } cases[] = {
      // clang-format off
      {{{12, 5}}, 0x11223344, 0, errResInvalidFile,
       {{resCheckOutsideData, "AAAA", 0, 5, nullptr, 0},
        {resCheckOutsideData, "AAAA", 1, 5, nullptr, 0},
        {resCheckOutsideData, "BBBB", 0, 5, nullptr, 0}}},
      {{{112, 5}, {136, 8}}, 0x11223344, 0, errResInvalidFile,
       {{resCheckOverlap, "AAAA", 1, 0, "AAAA", 0}, {resCheckOverlap, "BBBB", 0, 0, "AAAA", 0}}},
      {{}, 0, 7, errNone,
       {{resCheckHeaderCopy, nullptr, 0, 0, nullptr, 0},
        {resCheckGaps, nullptr, 0, 12, nullptr, 0},
        {resCheckTrailing, nullptr, 0, 0, nullptr, 0}}},
      // an empty resource holds no bytes, so its place past the data area
      // (where a compaction may leave it) is no problem
      {{{136, 40}, {140, 0}}, 0x11223344, 0, errNone,
       {{resCheckGaps, nullptr, 0, 15, nullptr, 0}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.findings.size());
    uint32_t dirOffset = 0;
    ResFilePlan plan{{{"AAAA", 0, "0123456789"}, {"AAAA", 10, "abcde"}, {"BBBB", 20, "xyz"}}};
    plan.dataLength = 30;
    Bytes bytes = BuildResFile(plan, &dirOffset);
    for (const auto& [pos, value] : c.words)
      PutWord(bytes, dirOffset + pos, value, false);
    PutWord(bytes, 0, c.headerWord0, false);
    bytes.resize(bytes.size() + c.appended, 0);
    WriteBytes(TempPath("check.res"), bytes);
    Handle list = nullptr;
    EXPECT_EQ(ResCheckFile(TempPath("check.res").c_str(), &list), c.code);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(MemGetHandleSize(list), c.findings.size() * sizeof(ResFinding));
    const auto* found = static_cast<const ResFinding*>(list->data);
    for (size_t i = 0; i < c.findings.size(); ++i) {
      const Expected& e = c.findings[i];
      EXPECT_EQ(found[i].kind, e.kind) << i;
      EXPECT_EQ(found[i].typeId, e.type ? TypeWord(e.type) : 0u) << i;
      EXPECT_EQ(found[i].index, e.index) << i;
      EXPECT_EQ(found[i].value, e.value) << i;
      EXPECT_EQ(found[i].otherTypeId, e.otherType ? TypeWord(e.otherType) : 0u) << i;
      EXPECT_EQ(found[i].otherIndex, e.otherIndex) << i;
    }
    MemDisposeHandle(list);
  }
  Handle list = reinterpret_cast<Handle>(1);
  EXPECT_EQ(ResCheckFile(TempPath("missing.res").c_str(), &list), ErrCode{errFileNotFound});
  EXPECT_EQ(list, nullptr);
  // A directory: Windows does not open one; a POSIX system does, and then
  // its size cannot be taken (64-bit glibc) or its first read fails (32-bit).
  list = reinterpret_cast<Handle>(1);
  const ErrCode forDirectory = ResCheckFile(::testing::TempDir().c_str(), &list);
#ifdef _WIN32
  EXPECT_EQ(forDirectory, errFileNotFound);
#else
  EXPECT_TRUE(forDirectory == errFileBounds || forDirectory == errFileRead) << forDirectory;
#endif
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(ResCheckFile(nullptr, &list), ErrCode{errNilPointer});
  EXPECT_EQ(ResCheckFile(TempPath("check.res").c_str(), nullptr), ErrCode{errNilPointer});
}

}  // namespace
