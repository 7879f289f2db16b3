// Files of many types and types of many resources, edited through the API
// while the step seam counts the type records and type index slots looked
// at and the entry cells moved: every call must take a few steps whatever
// the file's size, where a walk of the type list per lookup or a shift of
// the type's entries per removal would take hundreds. And the type index's
// allocations, failing, fail the open or the addition and change nothing.
#include <vector>

#include "fault/fault_walk.h"
#include "fault/step_count.h"
#include "res_builder.h"

namespace {

constexpr uint32_t kResources = 1024;
constexpr uint32_t kFirstType = 0x41414141;  // "AAAA"

enum End { kFront, kBack, kBothEnds };

class ResIndex : public ResTest {
 protected:
  // Runs one library call that must succeed and adds its steps to the
  // totals; the layouts are checked after it, uncounted.
  void Call(ErrCode code, const char* what) {
    EXPECT_EQ(code, 0u) << what;
    typeSteps_ += StepsTaken(stepTypeLookup);
    cellMoves_ += StepsTaken(stepCellMove);
    slotLooks_ += StepsTaken(stepSlotLook);
    ++calls_;
    ExpectLayoutsHold();
    StepsClear();
  }
  // Steps of the calls since the last look, per call.
  double TypeStepsPerCall() const { return double(typeSteps_) / calls_; }
  double MovesPerCall() const { return double(cellMoves_) / calls_; }
  double SlotLooksPerCall() const { return double(slotLooks_) / calls_; }
  void Restart() {
    typeSteps_ = cellMoves_ = slotLooks_ = calls_ = 0;
    StepsClear();
  }

  uint64_t typeSteps_ = 0, cellMoves_ = 0, slotLooks_ = 0, calls_ = 0;
};

TEST_F(ResIndex, EveryCallTakesFewStepsWhateverTheShape) {
  struct Case {
    const char* shape;
    uint32_t types;       // the resources go to this many types in turn
    End end;              // where each type loses its resources from
    bool firstTypeFirst;  // the types are emptied in turn from the first on
  } cases[] = {
      {"a type per resource", kResources, kBack, false},
      {"a type per resource, the first type emptied first", kResources, kBack, true},
      {"one type, emptied from its front", 1, kFront, false},
      {"one type, emptied from its back", 1, kBack, false},
      {"one type, emptied from both ends in turn", 1, kBothEnds, false},
      {"four types, each emptied from its front", 4, kFront, false},
      {"128 types filling up in turn", 128, kBack, false},
  };
  // A walk of the type list per call takes hundreds of steps; a binary
  // search of it a dozen.
  constexpr double kMaxTypeSteps = 24;
  // A call on a handle just loaded finds its slot among the few looked at
  // first; a scan of the slots looks at hundreds.
  constexpr double kMaxSlotLooks = 4;
  // Making room for one type at a time by moving the arrays after it moves
  // dozens of cells per addition when many types fill up in turn.
  constexpr double kMaxAddMoves = 8;
  std::string path = TempPath("steps.res");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shape);
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
    Restart();
    for (uint32_t i = 0; i < kResources; ++i)
      Call(ResAddResource(f, kFirstType + i % c.types, MemNewHandle(4)), "add");
    EXPECT_LE(TypeStepsPerCall(), kMaxTypeSteps) << "adding";
    EXPECT_LE(MovesPerCall(), kMaxAddMoves) << "adding";
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(FileOpen(path.c_str(), "r+b", &f), 0u);
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    Restart();
    std::vector<uint32_t> left(c.types);
    for (uint32_t t = 0; t < c.types; ++t) {
      ResInfo info;
      Call(ResCountResources(f, kFirstType + t, &left[t]), "count");
      Call(ResGetIndexedInfo(f, kFirstType + t, left[t] - 1, &info), "indexed info");
      Handle h = nullptr;
      Call(ResLoadResource(f, kFirstType + t, 0, &h), "load");
      Call(ResGetInfo(h, &info), "info");
    }
    EXPECT_LE(TypeStepsPerCall(), kMaxTypeSteps) << "looking up";
    EXPECT_LE(SlotLooksPerCall(), kMaxSlotLooks) << "looking up";
    Restart();
    for (uint32_t i = 0; i < kResources; ++i) {
      uint32_t t = c.firstTypeFirst ? i % c.types : c.types - 1 - i % c.types;
      bool front = c.end == kFront || (c.end == kBothEnds && i % 2 == 0);
      Handle h = nullptr;
      --left[t];
      Call(ResLoadResource(f, kFirstType + t, front ? 0 : left[t], &h), "load");
      Call(ResRemoveResource(h), "remove");
    }
    EXPECT_LE(TypeStepsPerCall(), kMaxTypeSteps) << "removing";
    EXPECT_LE(SlotLooksPerCall(), kMaxSlotLooks) << "removing";
    EXPECT_EQ(cellMoves_, 0u) << "removing from an end moves no other entry";
    uint32_t types = 1;
    EXPECT_EQ(ResCountTypes(f, &types), 0u);
    EXPECT_EQ(types, 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResIndex, AdditionsMoveFewCellsWhateverTheOrderOfTypes) {
  // A file of kTypes types of kEach resources, read from disk (no room
  // anywhere), then given more in an order of types: the cells moved stay
  // a few per addition, where moving the arrays after a type out of room
  // each time moves dozens. Types given more than their room one after
  // another take a few dozen (windows of types laid out afresh, more of them
  // the larger the window), where laying every array out for each type took
  // 59 to 88 here, and more the more types.
  constexpr uint32_t kTypes = 128, kEach = 8, kAdded = kTypes * kEach;
  struct Case {
    const char* order;
    uint32_t (*typeOf)(uint32_t addition);  // position of the type added to
    double maxMoves;                        // cells moved per addition
  } cases[] = {
      {"each type in turn", [](uint32_t i) { return i % kTypes; }, 12},
      {"one type in the middle", [](uint32_t) { return kTypes / 2; }, 12},
      {"the first and the last type in turn",
       [](uint32_t i) { return i % 2 == 0 ? 0 : kTypes - 1; }, 12},
      {"types given 12 more, type after type", [](uint32_t i) { return i / 12; }, 24},
      {"types given 12 more, the last type first", [](uint32_t i) { return kTypes - 1 - i / 12; },
       24},
      {"types given 12 more, scattered", [](uint32_t i) { return i / 12 * 37 % kTypes; }, 24},
  };
  std::string path = TempPath("orders.res");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order);
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
    for (uint32_t i = 0; i < kTypes * kEach; ++i)
      ASSERT_EQ(ResAddResource(f, kFirstType + i % kTypes, MemNewHandle(4)), 0u);
    ASSERT_EQ(ResCloseFile(f), 0u);
    ASSERT_EQ(FileOpen(path.c_str(), "r+b", &f), 0u);
    ASSERT_EQ(ResOpenFile(f, 0), 0u);
    Restart();
    for (uint32_t i = 0; i < kAdded; ++i)
      Call(ResAddResource(f, kFirstType + c.typeOf(i), MemNewHandle(4)), "add");
    EXPECT_LE(MovesPerCall(), c.maxMoves);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResIndex, RemovalMovesTheShorterSideAndRoomIsTakenBack) {
  // One type used as a queue: added at its back, removed from its front or
  // from a quarter in, first in its file or behind a type of a few
  // resources. The cells moved stay a few per call, and once the queue has
  // run round the directory's block grows no more.
  struct Case {
    const char* order;
    uint32_t fromFront;       // resources before the one removed
    uint32_t typesBefore;     // types of three resources before the queue's
    double maxMovesPerRound;  // the removal's fromFront, and slides that pay their way
  } cases[] = {{"from the front", 0, 0, 4},
               {"a quarter in", kResources / 16, 0, kResources / 16 + 4},
               {"from the front, behind another type", 0, 1, 4},
               {"a quarter in, behind two types", kResources / 16, 2, kResources / 16 + 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order);
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(TempPath("queue.res").c_str(), &f), 0u);
    uint32_t queue = kFirstType + c.typesBefore;
    for (uint32_t i = 0; i < 3 * c.typesBefore; ++i)
      ASSERT_EQ(ResAddResource(f, kFirstType + i % c.typesBefore, MemNewHandle(4)), 0u);
    for (uint32_t i = 0; i < kResources / 4; ++i)
      ASSERT_EQ(ResAddResource(f, queue, MemNewHandle(4)), 0u);
    uint32_t blockSize = 0;
    Restart();
    for (uint32_t round = 0; round < 4 * kResources; ++round) {
      Handle h = nullptr;
      Call(ResLoadResource(f, queue, c.fromFront, &h), "load");
      Call(ResRemoveResource(h), "remove");
      Call(ResAddResource(f, queue, MemNewHandle(4)), "add");
      if (round == kResources) blockSize = MemGetHandleSize(resTopFile);
    }
    EXPECT_LE(MovesPerCall() * 3, c.maxMovesPerRound);
    EXPECT_EQ(MemGetHandleSize(resTopFile), blockSize);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResIndex, EmptiedTypesGiveTheirCellsBack) {
  // Three types of one resource each used as a queue of types: one emptied,
  // a new one added. The emptied type's cells become room of another type
  // or in front of the first; once the queue has run round, the
  // directory's block grows no more.
  struct Case {
    const char* order;
    uint32_t emptied;  // position of the type emptied in each round
  } cases[] = {{"the first type", 0}, {"the middle type", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order);
    File* f = nullptr;
    ASSERT_EQ(ResCreateFile(TempPath("types.res").c_str(), &f), 0u);
    uint32_t next = kFirstType;
    for (uint32_t i = 0; i < 3; ++i)
      ASSERT_EQ(ResAddResource(f, next++, MemNewHandle(4)), 0u);
    uint32_t blockSize = 0;
    Restart();
    for (uint32_t round = 0; round < 4 * kResources; ++round) {
      uint32_t typeId = 0;
      Handle h = nullptr;
      ASSERT_EQ(ResGetTypeId(f, c.emptied, &typeId), 0u);
      Call(ResLoadResource(f, typeId, 0, &h), "load");
      Call(ResRemoveResource(h), "remove");
      Call(ResAddResource(f, next++, MemNewHandle(4)), "add");
      if (HasFatalFailure()) return;
      if (round == kResources) blockSize = MemGetHandleSize(resTopFile);
    }
    EXPECT_LE(MovesPerCall(), 4);
    EXPECT_EQ(MemGetHandleSize(resTopFile), blockSize);
    ASSERT_EQ(ResCloseFile(f), 0u);
  }
}

TEST_F(ResIndex, SerialNumbersRunningOutAreCountedAfresh) {
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(TempPath("serials.res").c_str(), &f), 0u);
  for (uint32_t t = 0; t < 3; ++t)
    ASSERT_EQ(ResAddResource(f, kFirstType + t, MemNewHandle(4)), 0u);
  okr_res::LinksOf(TopDir())->typeSerial = 0xFFFFFFFEu;  // as after 4 G additions
  for (uint32_t t = 3; t < 6; ++t) {
    Call(ResAddResource(f, kFirstType + t, MemNewHandle(4)), "add");
    Handle h = nullptr;
    Call(ResLoadResource(f, kFirstType + t - 3, 0, &h), "load");
    Call(ResRemoveResource(h), "remove");
  }
  for (uint32_t t = 0; t < 6; ++t) {
    uint32_t count = 9;
    EXPECT_EQ(ResCountResources(f, kFirstType + t, &count), 0u);
    EXPECT_EQ(count, t < 3 ? 0u : 1u);
  }
  ASSERT_EQ(ResCloseFile(f), 0u);
}

TEST_F(ResIndex, IndexAllocationsThatFailChangeNothing) {
  // Eight types, so that a ninth needs a larger index: the open's and the
  // addition's allocations fail in turn.
  std::string path = TempPath("index.res");
  File* f = nullptr;
  ASSERT_EQ(ResCreateFile(path.c_str(), &f), 0u);
  for (uint32_t t = 0; t < 8; ++t)
    ASSERT_EQ(ResAddResource(f, kFirstType + t, MemNewHandle(4)), 0u);
  ASSERT_EQ(ResCloseFile(f), 0u);
  uint32_t points = WalkFaults(kFaultMemory, faultOnce, [&] {
    File* stream = nullptr;
    ASSERT_EQ(FileOpen(path.c_str(), "r+b", &stream), 0u);
    ErrCode err = ResOpenFile(stream, 0);
    if (err != 0) {
      EXPECT_EQ(err, errMemOutOfMemory);
      EXPECT_EQ(resTopFile, nullptr);
      EXPECT_EQ(BlocksInUse(), 0u);
      return;
    }
    Handle h = MemNewHandle(4);
    if (h == nullptr) return ResCloseAll();
    err = ResAddResource(stream, kFirstType + 8, h);
    uint32_t types = 0, count = 0;
    EXPECT_EQ(ResCountTypes(stream, &types), 0u);
    EXPECT_EQ(ResCountResources(stream, kFirstType + 8, &count), 0u);
    EXPECT_EQ(types, err == 0 ? 9u : 8u);
    EXPECT_EQ(count, err == 0 ? 1u : 0u);
    if (err != 0) {
      EXPECT_EQ(err, errMemOutOfMemory);
      EXPECT_EQ(MemGetFlags(h) & memFlagResource, 0u);  // still the caller's
      MemDisposeHandle(h);
    }
    ExpectLayoutsHold();
    ResCloseAll();
  });
  EXPECT_GE(points, 2u);
}

}  // namespace
