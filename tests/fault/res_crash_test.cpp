// Resource files under crashes, power loss and a full disk. An edit session
// (rewrites in place of the same size and smaller, written back at once or
// by the flush; a resource grown, one removed, one added; three flushes: a
// compaction, a shrink stored, a return to the directory stored before; the
// close) runs once with everything that reaches the file recorded. The file
// is then rebuilt as the process would leave it dying before each write, and
// as a power loss would leave it: the file as last synced with each later
// write alone, all but one of them, or the front half of one (alone, or
// after the others before it). The session also runs with the disk full
// from each write on, that write moving nothing or its front half. Every
// file must open and hold each resource with its content as of the last
// completed flush or with one set since: nothing torn. Both byte orders: a
// file the library wrote, and one of the other order with gaps.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fault/fault_walk.h"
#include "res_builder.h"

namespace {

constexpr int kAbsent = -1;
constexpr uint32_t kUnlimited = 0xFFFFFFFFu;

// Resource i: its type, its index among its type's resources at the start,
// and its size in each version (a missing version 0: added later).
struct Planned {
  const char* type;
  uint32_t index;
  uint32_t offset;  // in the file of the other order
  std::vector<uint32_t> sizes;
};
const Planned kPlan[] = {
    {"AAAA", 0, 10, {300, 300, 300, 300}},  // the same size, three times
    {"AAAA", 1, 400, {5000, 3000, 2000}},   // shrunk twice
    {"BBBB", 0, 5600, {100, 600}},          // grows, over the staged bytes
    {"BBBB", 1, 5800, {40}},                // removed
    {"CCCC", 0, 5900, {9000, 9000, 9000}},  // the same size, twice; large
    {"CCCC", 1, 0, {0, 700}},               // added
    {"AAAA", 2, 5500, {64}},                // kept
};
constexpr uint32_t kResources = sizeof kPlan / sizeof kPlan[0];

std::string Content(uint32_t r, int version) {
  uint32_t size = kPlan[r].sizes[size_t(version)];
  std::string s(size, ' ');
  for (uint32_t i = 0; i < size; ++i)
    s[i] = char('a' + (i * 7 + r * 5 + uint32_t(version) * 11) % 26);
  std::string tag = std::string("r").append(std::to_string(r)).append("v");
  tag.append(std::to_string(version)).append(".");
  return s.replace(0, tag.size(), tag);
}

// What the session did, in order: a resource set to a version (or removed),
// or a flush completed. `clock` tells when: events recorded so far.
struct Step {
  uint32_t clock;
  int resource;  // -1: a flush completed
  int version;
};

// The versions resource `r` may show in a file that holds everything that
// reached it up to `clock`: its version at the last flush completed by then,
// or one set since.
std::set<int> Allowed(const std::vector<Step>& steps, uint32_t r, uint32_t clock) {
  size_t flushed = 0;  // the steps before this one came before that flush
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].resource == -1 && steps[i].clock <= clock) flushed = i + 1;
  int stored = kPlan[r].sizes[0] == 0 ? kAbsent : 0;
  std::set<int> allowed;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].resource != int(r)) continue;
    if (i < flushed)
      stored = steps[i].version;
    else
      allowed.insert(steps[i].version);
  }
  allowed.insert(stored);
  return allowed;
}

// "" when the file at `path` opens and holds what `steps` allow at `clock`.
std::string Verify(const std::string& path, const std::vector<Step>& steps, uint32_t clock) {
  File* f = nullptr;
  ErrCode err = ResOpenNamedFile(path.c_str(), &f);
  if (err != 0) return "the file does not open: " + std::to_string(err);
  std::string wrong;
  std::vector<int> found(kResources, kAbsent);
  uint32_t types = 0;
  ResCountTypes(f, &types);
  for (uint32_t t = 0; t < types; ++t) {
    uint32_t typeId = 0, count = 0;
    ResGetTypeId(f, t, &typeId);
    ResCountResources(f, typeId, &count);
    for (uint32_t i = 0; i < count; ++i) {
      Handle h = nullptr;
      std::string text = ResLoadResource(f, typeId, i, &h) == 0 ? HandleText(h) : "";
      unsigned r = kResources, v = 0;
      if (sscanf(text.c_str(), "r%uv%u.", &r, &v) != 2 || r >= kResources ||
          v >= kPlan[r].sizes.size() || text != Content(r, int(v)) || found[r] != kAbsent)
        wrong = "torn or unknown bytes: " + text.substr(0, 8);
      else
        found[r] = int(v);
    }
  }
  ResCloseFile(f);
  for (uint32_t r = 0; wrong.empty() && r < kResources; ++r)
    if (Allowed(steps, r, clock).count(found[r]) == 0)
      wrong = std::string("resource ")
                  .append(std::to_string(r))
                  .append(" holds version ")
                  .append(std::to_string(found[r]));
  return wrong;
}

// Tried, clean and torn files of one class of injections.
struct Tally {
  explicit Tally(const char* what) : name(what) {}
  const char* name;
  uint32_t tried = 0, torn = 0;
  std::string first;
  void Count(const std::string& wrong, uint32_t at) {
    ++tried;
    if (wrong.empty()) return;
    if (torn++ == 0) first = "at event " + std::to_string(at) + ": " + wrong;
  }
  void Report(const char* order) {
    printf("[ sweep    ] %s, %s: tried %u, clean %u, torn %u\n", order, name, tried, tried - torn,
           torn);
    testing::Test::RecordProperty(std::string(order) + ", " + name + ", torn", int(torn));
    EXPECT_EQ(torn, 0u) << name << ", first " << first;
  }
};

void Apply(Bytes* image, const FaultEvent& e, size_t bytes) {
  if (e.kind == FaultEvent::kCut) image->resize(size_t(e.at));
  if (e.kind != FaultEvent::kWrite) return;
  if (image->size() < size_t(e.at) + bytes) image->resize(size_t(e.at) + bytes, 0);
  memcpy(image->data() + e.at, e.bytes.data(), bytes);
}

class ResCrash : public ResTest {
 protected:
  void SetUp() override {
    ResTest::SetUp();
    // Named after the test: ctest runs the tests of this fixture at once.
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = FaultTempPath(name + ".res");
    image_ = FaultTempPath(name + "_image.res");
  }

  std::string Check(const Bytes& image, uint32_t clock) {
    WriteBytes(image_, image);
    return Verify(image_, steps_, clock);
  }

  // The file before the session: written by the library, or built in the
  // other byte order with gaps between the resources.
  Bytes Original(bool otherOrder) {
    ResFilePlan plan;
    plan.otherOrder = otherOrder;
    for (uint32_t r = 0; r < kResources; ++r)
      if (kPlan[r].sizes[0] != 0)
        plan.resources.push_back({kPlan[r].type, kPlan[r].offset, Content(r, 0)});
    if (otherOrder) return BuildResFile(plan);
    File* f = nullptr;
    EXPECT_EQ(ResCreateFile(path_.c_str(), &f), 0u);
    for (const char* type : {"AAAA", "BBBB", "CCCC"}) {
      for (const BuiltResource& b : plan.resources) {
        if (strcmp(b.type, type) != 0) continue;
        Handle h = MemNewHandle(uint32_t(b.data.size()));
        memcpy(h->data, b.data.data(), b.data.size());
        EXPECT_EQ(ResAddResource(f, TypeWord(type), h), 0u);
      }
    }
    EXPECT_EQ(ResCloseFile(f), 0u);
    return ReadBytes(path_);
  }

  // The edit session; `clock` tells the time of each step.
  void Session(const std::function<uint32_t()>& clock, bool closeCompletes) {
    steps_.clear();
    File* f = nullptr;
    if (FileOpen(path_.c_str(), "r+b", &f) != 0 || ResOpenFile(f, 0) != 0) return;
    Handle h[kResources] = {};
    for (uint32_t r = 0; r < 5; ++r)
      ResLoadResource(f, TypeWord(kPlan[r].type), kPlan[r].index, &h[r]);
    auto set = [&](uint32_t r, int version, bool writeBack) {
      std::string text = Content(r, version);
      if (h[r] == nullptr || MemSetHandleSize(h[r], uint32_t(text.size())) != 0) return;
      memcpy(h[r]->data, text.data(), text.size());
      steps_.push_back({clock(), int(r), version});
      ResMarkChanged(h[r]);
      if (writeBack) ResWriteResource(h[r]);
    };
    auto flush = [&] {
      if (ResFlushFile(f) == 0) steps_.push_back({clock(), -1, 0});
    };
    set(0, 1, true);
    set(1, 1, true);
    set(2, 1, true);
    steps_.push_back({clock(), 3, kAbsent});
    if (h[3] != nullptr) ResRemoveResource(h[3]);
    h[5] = MemNewHandle(700);
    memcpy(h[5]->data, Content(5, 1).data(), 700);
    steps_.push_back({clock(), 5, 1});
    ResAddResource(f, TypeWord("CCCC"), h[5]);
    set(4, 1, false);
    flush();  // compacts: a resource grew
    set(0, 2, true);
    set(1, 2, false);
    flush();  // stores the shrunk size
    set(4, 2, true);
    set(0, 3, false);
    flush();  // returns to the directory stored before
    ResCloseFile(f);
    if (closeCompletes) steps_.push_back({clock(), -1, 0});
  }

  // Rebuilds the file before each write and at the end, and as each power
  // loss would leave it.
  void Rebuild(const Bytes& original, const std::vector<FaultEvent>& events, Tally* kill,
               Tally* power) {
    Bytes image = original, durable = original;
    uint32_t synced = 0;  // the clock at the last sync
    std::vector<uint32_t> pending;
    auto loseAt = [&](uint32_t at) {
      for (size_t i = 0; i < pending.size(); ++i) {
        const FaultEvent& e = events[pending[i]];
        Bytes alone = durable, allBut = durable, half = durable, torn = durable;
        Apply(&alone, e, e.bytes.size());
        for (size_t j = 0; j < pending.size(); ++j) {
          const FaultEvent& other = events[pending[j]];
          if (j != i) Apply(&allBut, other, other.bytes.size());
          if (j < i) Apply(&torn, other, other.bytes.size());
        }
        power->Count(Check(alone, synced), at);
        power->Count(Check(allBut, synced), at);
        if (e.kind != FaultEvent::kWrite) continue;
        Apply(&half, e, e.bytes.size() / 2);
        Apply(&torn, e, e.bytes.size() / 2);
        power->Count(Check(half, synced), at);
        power->Count(Check(torn, synced), at);
      }
    };
    for (uint32_t i = 0; i < events.size(); ++i) {
      const FaultEvent& e = events[i];
      if (e.kind == FaultEvent::kWrite) kill->Count(Check(image, i), i);
      Apply(&image, e, e.bytes.size());
      if (e.kind != FaultEvent::kSync) {
        pending.push_back(i);
        continue;
      }
      loseAt(i);
      durable = image;
      synced = i + 1;
      pending.clear();
    }
    loseAt(uint32_t(events.size()));
    kill->Count(Check(image, kUnlimited), uint32_t(events.size()));
    EXPECT_EQ(image, ReadBytes(path_)) << "the recording misses something";
  }

  // The session with the disk full from each write on.
  void FillDisk(const Bytes& original, FaultMode mode, Tally* tally) {
    uint32_t steps = 0;
    for (uint32_t n = 1;; ++n) {
      WriteBytes(path_, original);
      FaultArm(FaultPlan{FaultBit(faultWrite), n, mode});
      Session([&] { return ++steps; }, false);
      FaultDisarm();
      if (!FaultFired()) return;
      tally->Count(Verify(path_, steps_, kUnlimited), n);
      EXPECT_EQ(BlocksInUse(), 0u);
    }
  }

  std::string path_, image_;
  std::vector<Step> steps_;
};

TEST_F(ResCrash, NothingTornAtAnyInstant) {
  for (bool otherOrder : {false, true}) {
    const char* order = otherOrder ? "other byte order, gaps" : "written by the library";
    Bytes original = Original(otherOrder);
    WriteBytes(path_, original);
    FaultRecord();
    Session([] { return FaultEvents(); }, true);
    std::vector<FaultEvent> events = FaultRecorded();
    Tally kill("killed before a write"), power("power lost");
    Tally full("disk full from a write"), half("disk full, that write half done");
    Rebuild(original, events, &kill, &power);
    FillDisk(original, faultFromThenOn, &full);
    FillDisk(original, faultShortThenOn, &half);
    for (Tally* t : {&kill, &power, &full, &half})
      t->Report(order);
  }
}

TEST_F(ResCrash, ADirectoryWhoseCopyNamesOffsetZeroIsNotStoredOverTheHeader) {
  // The header places the directory behind the data; the directory's own
  // copy names offset 0, where it would fit before a data area that starts
  // at 200. A shrink has the flush store the directory: written at 0 its
  // front would point the header at it before the rest of it is there.
  ResFilePlan plan{{{"DATA", 0, "0123456789"}}, false, 0, 0};
  uint32_t d = 0;
  Bytes original = BuildResFile(plan, &d);
  const size_t dirLength = original.size() - d;
  original.resize(200 + dirLength);
  memmove(&original[200], &original[d], dirLength);
  d = 200;
  for (uint32_t at : {0u, d}) {
    PutWord(original, at + 8, 190, false);  // dataStart
    PutWord(original, at + 12, 10, false);  // dataLength
    PutWord(original, at + 16, at == 0 ? d : 0, false);
  }
  memcpy(&original[190], "0123456789", 10);
  WriteBytes(path_, original);
  File* f = nullptr;
  ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &f), 0u);
  ASSERT_EQ(ResOpenFile(f, 0), 0u);
  Handle h = nullptr;
  ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
  ASSERT_EQ(HandleText(h), "0123456789");
  ASSERT_EQ(MemSetHandleSize(h, 4), 0u);
  memcpy(h->data, "abcd", 4);
  ASSERT_EQ(ResMarkChanged(h), 0u);
  ASSERT_EQ(ResWriteResource(h), 0u);
  Bytes before = ReadBytes(path_);
  FaultRecord();
  ASSERT_EQ(ResFlushFile(f), 0u);
  std::vector<FaultEvent> events = FaultRecorded();
  ASSERT_EQ(ResCloseFile(f), 0u);
  Bytes image = before;
  for (size_t i = 0; i <= events.size(); ++i) {
    SCOPED_TRACE(i);
    WriteBytes(image_, image);
    ASSERT_EQ(ResOpenNamedFile(image_.c_str(), &f), 0u);
    ASSERT_EQ(ResLoadResource(f, TypeWord("DATA"), 0, &h), 0u);
    EXPECT_TRUE(HandleText(h) == "0123456789" || HandleText(h) == "abcd") << HandleText(h);
    ASSERT_EQ(ResCloseFile(f), 0u);
    if (i < events.size()) Apply(&image, events[i], events[i].bytes.size());
  }
}

}  // namespace
