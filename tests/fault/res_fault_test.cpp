// Resource files under failures: every call of the platform and of the
// memory manager that a scenario makes fails in turn (once, short, or from
// then on, as a stopped program would leave it), and after each run the file
// opens again with every resource holding its content from before or the
// content written, never wrong bytes unless a step reported a failure.
#include <map>
#include <string>
#include <vector>

#include "fault/fault_walk.h"
#include "res_builder.h"

namespace {

enum Edit { kKeep, kInPlace, kGrow, kShrink, kRemove, kAdd };

struct Planned {
  const char* type;
  uint32_t oldSize;  // 0: not in the file before
  uint32_t newSize;  // 0: not in the file after
  Edit edit;
};

// Resource i of the edit session. The first grows (so it is appended and
// every later one moves down at the flush, the second by less than its own
// size); one is rewritten in place, one shrinks, one goes, two come.
const Planned kSession[] = {
    {"AAAA", 100, 200, kGrow},   {"AAAA", 10000, 10000, kKeep}, {"AAAA", 300, 300, kInPlace},
    {"BBBB", 500, 200, kShrink}, {"BBBB", 50, 0, kRemove},      {"BBBB", 3000, 3000, kKeep},
    {"BBBB", 0, 700, kAdd},      {"CCCC", 0, 40, kAdd},
};
constexpr uint32_t kPlanned = sizeof kSession / sizeof kSession[0];

// Contents that tell which resource and which version they are: "r", the
// index, 'o' or 'n', then a pattern of both.
std::string Content(uint32_t index, bool fresh, uint32_t size) {
  std::string s(size, ' ');
  for (uint32_t i = 0; i < size; ++i)
    s[i] = char('a' + (i * 7 + index * 3 + (fresh ? 11 : 0)) % 26);
  std::string tag = std::string("r").append(std::to_string(index)).append(fresh ? "n" : "o");
  s.replace(0, tag.size(), tag);
  return s;
}

std::string OldContent(uint32_t i) {
  return Content(i, false, kSession[i].oldSize);
}
std::string NewContent(uint32_t i) {
  return Content(i, true, kSession[i].newSize);
}

uint32_t IndexInType(uint32_t i) {
  uint32_t index = 0;
  for (uint32_t j = 0; j < i; ++j)
    if (kSession[j].oldSize != 0 && strcmp(kSession[j].type, kSession[i].type) == 0) ++index;
  return index;
}

// Every resource of the file at `path` by the index its content names; the
// file must open.
std::map<uint32_t, std::string> ReadAll(const std::string& path) {
  std::map<uint32_t, std::string> found;
  File* f = nullptr;
  ErrCode err = ResOpenNamedFile(path.c_str(), &f);
  EXPECT_EQ(err, 0u) << "the file does not open";
  if (err != 0) return found;
  uint32_t types = 0;
  EXPECT_EQ(ResCountTypes(f, &types), 0u);
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    EXPECT_EQ(ResGetTypeId(f, t, &typeId), 0u);
    EXPECT_EQ(ResCountResources(f, typeId, &count), 0u);
    for (uint32_t i = 0; i < count; ++i) {
      Handle h = nullptr;
      EXPECT_EQ(ResLoadResource(f, typeId, i, &h), 0u);
      if (h == nullptr) continue;
      std::string text = HandleText(h);
      uint32_t index = text.size() >= 2 ? uint32_t(text[1] - '0') : kPlanned;
      EXPECT_LT(index, kPlanned) << "a resource nobody wrote";
      EXPECT_EQ(found.count(index), 0u) << "resource " << index << " twice";
      found[index] = text;
    }
  }
  EXPECT_EQ(ResCloseFile(f), 0u);
  return found;
}

// Bytes that are, each, the old or the new version's at their place: a
// rewrite in place that stopped half way.
bool Torn(const std::string& got, const std::string& before, const std::string& after) {
  if (got.size() != before.size() && got.size() != after.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    bool old = i < before.size() && got[i] == before[i];
    bool fresh = i < after.size() && got[i] == after[i];
    if (!old && !fresh) return false;
  }
  return true;
}

// What one session did: which edits reached memory, what was reported.
struct Outcome {
  bool done[kPlanned] = {};
  bool reported = false;
  bool flushed = false;  // ResFlushFile answered 0
};

// Checks the file against the session: each resource before or after its
// edit (torn only for a rewrite in place, and only when a failure was
// reported); everything after when the flush succeeded.
void CheckFile(const std::string& path, const Outcome& out) {
  std::map<uint32_t, std::string> found = ReadAll(path);
  for (uint32_t i = 0; i < kPlanned; ++i) {
    SCOPED_TRACE(testing::Message() << "resource " << i);
    const Planned& p = kSession[i];
    bool before = found.count(i) ? p.oldSize != 0 && found[i] == OldContent(i) : p.oldSize == 0;
    bool after = found.count(i) ? p.newSize != 0 && found[i] == NewContent(i) : p.newSize == 0;
    if (!out.done[i] || p.edit == kKeep) {
      EXPECT_TRUE(before);
      continue;
    }
    if (out.flushed) {
      EXPECT_TRUE(after);
      continue;
    }
    bool inPlace = (p.edit == kInPlace || p.edit == kShrink) && found.count(i) != 0;
    bool torn = inPlace && out.reported && Torn(found[i], OldContent(i), NewContent(i));
    EXPECT_TRUE(before || after || torn);
  }
}

class ResFault : public ResTest {
 protected:
  void SetUp() override {
    ResTest::SetUp();
    path_ = FaultTempPath(testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  // The session's file as it stands before the session: the old resources,
  // written by the library (so the directory follows the data).
  void WriteOriginal() {
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(path_.c_str(), &f), 0u);
    for (uint32_t i = 0; i < kPlanned; ++i) {
      if (kSession[i].oldSize == 0) continue;
      std::string text = OldContent(i);
      Handle h = MemNewHandle(uint32_t(text.size()));
      memcpy(h->data, text.data(), text.size());
      ASSERT_EQ(ResAddResource(f, TypeWord(kSession[i].type), h), 0u);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
  }

  // Gives a loaded resource its new content and marks it changed.
  bool Change(FaultRun& run, Handle h, uint32_t i) {
    std::string text = NewContent(i);
    bool resized = MemSetHandleSize(h, uint32_t(text.size())) == 0;
    run.Unreported();
    if (!resized) return false;
    memcpy(h->data, text.data(), text.size());
    return run.Step(ResMarkChanged(h), {}, "mark") == 0;
  }

  // The edit session, under whatever the armed plan makes fail.
  Outcome Session() {
    Outcome out;
    FaultRun run;
    File* f = nullptr;
    const std::initializer_list<ErrCode> io = {errFileEof, errFileRead, errFileWrite,
                                               errFileBounds};
    const std::initializer_list<ErrCode> load = {errFileEof, errFileRead, errFileBounds,
                                                 errMemOutOfMemory};
    if (run.Step(FileOpen(path_.c_str(), "r+b", &f), {errFileNotFound}, "open") != 0 ||
        run.Step(ResOpenFile(f, 0), load, "ResOpenFile") != 0)
      return out;
    Handle loaded[kPlanned] = {};
    for (uint32_t i = 0; i < kPlanned; ++i) {
      if (kSession[i].edit == kKeep || kSession[i].edit == kAdd) continue;
      run.Step(ResLoadResource(f, TypeWord(kSession[i].type), IndexInType(i), &loaded[i]), load,
               "load");
    }
    for (uint32_t i = 0; i < kPlanned; ++i) {
      Handle h = loaded[i];
      switch (kSession[i].edit) {
        case kInPlace:
        case kGrow:
          // Written back at once: in place, and appended where the directory
          // stood.
          out.done[i] = h != nullptr && Change(run, h, i);
          if (out.done[i]) run.Step(ResWriteResource(h), io, "write back");
          break;
        case kShrink:
          out.done[i] = h != nullptr && Change(run, h, i);
          break;
        case kRemove:
          out.done[i] =
              h != nullptr && run.Step(ResRemoveResource(h), {errMemOutOfMemory}, "remove") == 0;
          break;
        case kAdd: {
          Handle fresh = MemNewHandle(kSession[i].newSize);
          run.Unreported();
          if (fresh == nullptr) break;
          memcpy(fresh->data, NewContent(i).data(), kSession[i].newSize);
          out.done[i] = run.Step(ResAddResource(f, TypeWord(kSession[i].type), fresh),
                                 {errMemOutOfMemory}, "add") == 0;
          if (!out.done[i]) MemDisposeHandle(fresh);
          break;
        }
        case kKeep:
          break;
      }
    }
    out.flushed = run.Step(ResFlushFile(f), io, "flush") == 0;
    // A failure that is over leaves nothing a second flush cannot mend: it
    // stores every edit, however far the first one got.
    if (!out.flushed && FaultOver()) {
      out.flushed = ResFlushFile(f) == 0;
      EXPECT_TRUE(out.flushed) << "the second flush failed";
    }
    ExpectLayoutsHold();
    // The close does not report what its own flush met.
    EXPECT_EQ(ResCloseFile(f), 0u);
    out.reported = run.Reported();
    return out;
  }

  std::string path_;
};

TEST_F(ResFault, EditSessionKeepsEveryResourceBeforeOrAfter) {
  WriteOriginal();
  Bytes original = ReadBytes(path_);
  int descriptors = OpenDescriptors();
  WalkAll("edit session", [&] {
    WriteBytes(path_, original);
    Outcome out = Session();
    FaultDisarm();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(BlocksInUse(), 0u);
    EXPECT_EQ(MemCheckHeap(heap_), 0u);
    CheckFile(path_, out);
    EXPECT_EQ(BlocksInUse(), 0u);
  });
}

TEST_F(ResFault, CreateAddFlushCloseReopen) {
  int descriptors = OpenDescriptors();
  WalkAll("create, add, flush, close, reopen", [&] {
    remove(path_.c_str());
    FaultRun run;
    Outcome out;
    File* f = nullptr;
    const std::initializer_list<ErrCode> create = {
        errFileNotFound, errFileEof, errFileRead, errFileWrite, errFileBounds, errMemOutOfMemory};
    bool created = run.Step(ResCreateFile(path_.c_str(), &f), create, "create") == 0;
    for (uint32_t i = 0; created && i < kPlanned; ++i) {
      if (kSession[i].oldSize == 0) continue;
      Handle h = MemNewHandle(kSession[i].oldSize);
      run.Unreported();
      if (h == nullptr) continue;
      memcpy(h->data, OldContent(i).data(), kSession[i].oldSize);
      out.done[i] = run.Step(ResAddResource(f, TypeWord(kSession[i].type), h), {errMemOutOfMemory},
                             "add") == 0;
      if (!out.done[i]) MemDisposeHandle(h);
    }
    out.flushed = created && run.Step(ResFlushFile(f), create, "flush") == 0;
    if (created) {
      EXPECT_EQ(ResCloseFile(f), 0u);
    }
    run.Unreported();
    // Reopened and read under the same plan.
    if (created && run.Step(ResOpenNamedFile(path_.c_str(), &f), create, "reopen") == 0) {
      for (const char* type : {"AAAA", "BBBB"}) {
        uint32_t count = 0;
        EXPECT_EQ(ResCountResources(f, TypeWord(type), &count), 0u);
        for (uint32_t i = 0; i < count; ++i) {
          Handle h = nullptr;
          if (run.Step(ResLoadResource(f, TypeWord(type), i, &h), create, "load") != 0) continue;
          std::string text = HandleText(h);
          EXPECT_TRUE(text == OldContent(uint32_t(text[1] - '0'))) << "resource " << text[1];
        }
      }
      EXPECT_EQ(ResCloseFile(f), 0u);
    }
    FaultDisarm();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(BlocksInUse(), 0u);
    EXPECT_EQ(MemCheckHeap(heap_), 0u);
    if (!created) return;  // a creation that failed promises no file
    // The file holds no resource, or every one added, whole.
    std::map<uint32_t, std::string> found = ReadAll(path_);
    bool all = true;
    for (uint32_t i = 0; i < kPlanned; ++i) {
      if (found.count(i)) {
        EXPECT_TRUE(found[i] == OldContent(i)) << "resource " << i;
      }
      all &= found.count(i) == size_t(out.done[i]);
    }
    EXPECT_TRUE(found.empty() || all);
    if (out.flushed) {
      EXPECT_TRUE(all);
    }
    EXPECT_EQ(BlocksInUse(), 0u);
  });
}

// Resources loaded in file order are read from where the last load left the
// stream (a seek is a system call, even to a place in the stream's buffer);
// a stream the program moved or read in between is put back in place.
TEST_F(ResFault, LoadsSeekOnlyWhereTheStreamStandsElsewhere) {
  const std::string texts[] = {"zero", "one", "two", "three", "four", "five", "six"};
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(path_.c_str(), &f), 0u);
  for (const std::string& text : texts) {
    Handle h = MemNewHandle(uint32_t(text.size()));
    memcpy(h->data, text.data(), text.size());
    ASSERT_EQ(ResAddResource(f, TypeWord("DATA"), h), 0u);
  }
  ASSERT_EQ(ResCloseFile(f), 0u);
  ASSERT_EQ(ResOpenNamedFile(path_.c_str(), &f), 0u);
  char byte = 0;
  const struct {
    uint32_t index;
    int moved;  // 0: nothing between; 1: the program seeks to 0; 2: it reads a byte
    uint32_t seeks;
  } steps[] = {{0, 0, 1}, {1, 0, 0}, {2, 0, 0}, {4, 0, 1}, {5, 1, 1}, {6, 2, 1}, {3, 0, 1}};
  for (const auto& step : steps) {
    if (step.moved == 1) {
      ASSERT_EQ(FileSeek(f, fileSeekStart, 0), 0u);
    } else if (step.moved == 2) {
      ASSERT_EQ(FileRead(f, &byte, 1), 0u);
    }
    FaultArm(FaultPlan{FaultBit(faultSeek), UINT32_MAX, faultOnce});
    Handle h = nullptr;
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), step.index, &h), 0u);
    EXPECT_EQ(FaultCalls(), step.seeks) << "resource " << step.index;
    FaultDisarm();
    EXPECT_EQ(HandleText(h), texts[step.index]);
  }
  ASSERT_EQ(ResCloseFile(f), 0u);
}

}  // namespace

namespace {

// The two ways the file was lost before: a compaction that failed half way
// through a resource moving over its own bytes, retried by the close from
// the damaged bytes; and a grown resource appended over the directory, the
// program stopping right after.
class ResFaultRegression : public ResFault {
 protected:
  // A file with 100 bytes of 'a' and 10,000 bytes after them, reopened
  // read-write, its first resource grown to 200 bytes of 'A' and marked.
  Handle Prepare(File** f) {
    Handle h = nullptr;
    EXPECT_EQ(ResCreateFile(path_.c_str(), f), 0u);
    for (const std::string& text : {a_, b_}) {
      h = MemNewHandle(uint32_t(text.size()));
      memcpy(h->data, text.data(), text.size());
      EXPECT_EQ(ResAddResource(*f, TypeWord("DATA"), h), 0u);
    }
    EXPECT_EQ(ResCloseFile(*f), 0u);
    EXPECT_EQ(FileOpen(path_.c_str(), "r+b", f), 0u);
    EXPECT_EQ(ResOpenFile(*f, 0), 0u);
    EXPECT_EQ(ResLoadResource(*f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_EQ(MemSetHandleSize(h, 200), 0u);
    memset(h->data, 'A', 200);
    EXPECT_EQ(ResMarkChanged(h), 0u);
    return h;
  }

  void Expect(const std::string& first) { Expect(first, b_); }
  void Expect(const std::string& first, const std::string& second) {
    File* f = nullptr;
    Handle h = nullptr;
    ASSERT_EQ(ResOpenNamedFile(path_.c_str(), &f), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 1, &h), 0u);
    EXPECT_TRUE(HandleText(h) == second);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_EQ(HandleText(h), first);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }

  const std::string a_ = std::string(100, 'a'), b_ = Content(1, false, 10000);
};

TEST_F(ResFaultRegression, CompactionFailsHalfWayThenTheCloseSucceeds) {
  File* f = nullptr;
  Handle h = Prepare(&f);
  ASSERT_EQ(ResWriteResource(h), 0u);
  FaultArm(FaultPlan{FaultBit(faultWrite), 2, faultOnce});
  EXPECT_EQ(ResFlushFile(f), errFileWrite);
  FaultDisarm();
  EXPECT_EQ(ResCloseFile(f), 0u);
  Expect(std::string(200, 'A'));
}

TEST_F(ResFaultRegression, ProgramStopsRightAfterTheAppendedData) {
  File* f = nullptr;
  Handle h = Prepare(&f);
  FaultArm(FaultPlan{kFaultStdio, 0xFFFFFFFFu, faultOnce});
  ASSERT_EQ(ResWriteResource(h), 0u);
  uint32_t calls = FaultCalls();
  FaultDisarm();
  ResCloseAll();
  h = Prepare(&f);
  FaultArm(FaultPlan{kFaultStdio, calls + 1, faultFromThenOn});
  EXPECT_EQ(ResWriteResource(h), 0u);
  EXPECT_NE(ResFlushFile(f), 0u);
  EXPECT_EQ(ResCloseFile(f), 0u);
  FaultDisarm();
  Expect(a_);
}

TEST_F(ResFaultRegression, RewriteStagedAfterAFailedFlushSparesAppendedData) {
  // A flush fails after it stored the directory that names a rewrite waiting
  // in the staging region, which therefore stays; a resource that grows is
  // then appended right behind the staged bytes, and the next rewrite in
  // place must be staged elsewhere than over it.
  auto rewrite = [](File* f, uint32_t index, const std::string& text) {
    Handle h = nullptr;
    EXPECT_EQ(ResLoadResource(f, TypeWord("DATA"), index, &h), 0u);
    EXPECT_EQ(MemSetHandleSize(h, uint32_t(text.size())), 0u);
    memcpy(h->data, text.data(), text.size());
    EXPECT_EQ(ResMarkChanged(h), 0u);
    return h;
  };
  const std::string grown = b_ + std::string(300, 'C'), again(100, 'y');
  for (uint32_t failAt = 1;; ++failAt) {
    SCOPED_TRACE(failAt);
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(path_.c_str(), &f), 0u);
    for (const std::string& text : {a_, b_}) {
      Handle h = MemNewHandle(uint32_t(text.size()));
      memcpy(h->data, text.data(), text.size());
      ASSERT_EQ(ResAddResource(f, TypeWord("DATA"), h), 0u);
    }
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &f), 0u);
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    ASSERT_EQ(ResWriteResource(rewrite(f, 0, std::string(100, 'x'))), 0u);
    FaultArm(FaultPlan{FaultBit(faultWrite), failAt, faultOnce});
    ResFlushFile(f);
    bool fired = FaultFired();
    FaultDisarm();
    EXPECT_EQ(ResWriteResource(rewrite(f, 1, grown)), 0u);
    EXPECT_EQ(ResWriteResource(rewrite(f, 0, again)), 0u);
    EXPECT_EQ(ResFlushFile(f), 0u);
    EXPECT_EQ(ResCloseFile(f), 0u);
    Expect(again, grown);
    if (!fired) break;
  }
}

TEST_F(ResFaultRegression, AppendCutShortOverTheDirectoryThenRewrittenInPlace) {
  // The grown resource's append goes half through, over the place the
  // directory was moved away from; brought back to its old size, it is
  // rewritten in place. The flush must not point the file back there.
  File* f = nullptr;
  Handle h = Prepare(&f);
  FaultArm(FaultPlan{FaultBit(faultWrite), 0xFFFFFFFFu, faultOnce});
  ASSERT_EQ(ResWriteResource(h), 0u);
  uint32_t appendWrite = FaultCalls();
  FaultDisarm();
  ResCloseAll();
  h = Prepare(&f);
  FaultArm(FaultPlan{FaultBit(faultWrite), appendWrite, faultShort});
  EXPECT_EQ(ResWriteResource(h), errFileWrite);
  FaultDisarm();
  ASSERT_EQ(MemSetHandleSize(h, 100), 0u);
  EXPECT_EQ(ResFlushFile(f), 0u);
  Expect(std::string(100, 'A'));  // as a crash right after the flush finds it
  EXPECT_EQ(ResCloseFile(f), 0u);
}

}  // namespace
