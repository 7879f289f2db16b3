// Start-up with a resource file, and settings files loaded and saved, under
// failures of the platform's calls and of the memory manager: each answers
// with a documented code and leaves no heap, handle or stream behind.
#include <okr/okr.h>

#include "fault/fault_walk.h"
#include "res_builder.h"

namespace {

const std::initializer_list<ErrCode> kOpenCodes = {
    errNoSystemMemory, errFileNotFound, errFileEof, errFileRead, errFileBounds, errMemOutOfMemory};

TEST(StartupFault, StartWithAResourceFileAndShutDown) {
  std::string path = FaultTempPath("startup.res");
  WriteBytes(path, BuildResFile(ResFilePlan{{{"TEXT", 0, "hello"}, {"PICT", 5, "picture"}}}));
  int descriptors = OpenDescriptors();
  WalkAll("start-up with a resource file", [&] {
    FaultRun run;
    ErrCode err = run.Step(SysStart(path.c_str(), 0x100000, 0), kOpenCodes, "SysStart");
    EXPECT_EQ(SysIsStarted(), err == errNoSystemMemory ? 0 : 1);
    if (err == 0) {
      Handle h = nullptr;
      if (run.Step(ResLoadResource(sysResFile, TypeWord("PICT"), 0, &h), kOpenCodes, "load") == 0) {
        EXPECT_EQ(HandleText(h), "picture");
      }
    }
    SysShutdown();
    FaultDisarm();
    EXPECT_EQ(SysIsStarted(), 0);
    EXPECT_EQ(memHeapList, nullptr);
    EXPECT_EQ(resTopFile, nullptr);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  });
}

class SettingsFault : public HeapTest {};

TEST_F(SettingsFault, LoadAndSaveSettings) {
  std::string path = FaultTempPath("settings.txt"), saved = FaultTempPath("saved.txt");
  const std::string text = "; window\nwidth 640\nheight 240*2\ntitle \"Main window\"\n";
  WriteBytes(path, Bytes(text.begin(), text.end()));
  int descriptors = OpenDescriptors();
  WalkAll("settings load and save", [&] {
    FaultRun run;
    Handle h = nullptr;
    if (run.Step(FileLoad(path.c_str(), &h), kOpenCodes, "FileLoad") == 0) {
      TextStream* s = nullptr;
      if (run.Step(TxtNewStream(h, &s), {errNoSystemMemory}, "TxtNewStream") != 0) {
        MemDisposeHandle(h);
      } else {
        uint32_t count = 0;
        int32_t height = 0;
        EXPECT_EQ(TxtFindKeyword(s, "height", &count), 1);
        EXPECT_EQ(TxtReadInt(s, &height), 0u);
        EXPECT_EQ(height, 480);
        EXPECT_EQ(TxtDisposeStream(&s), 0u);
      }
    } else {
      EXPECT_EQ(h, nullptr);
    }
    Handle out = MemNewHandle(uint32_t(text.size()));
    run.Unreported();
    ErrCode err = errNoSystemMemory;
    if (out != nullptr) {
      memcpy(out->data, text.data(), text.size());
      err = run.Step(FileSave(saved.c_str(), out), {errFileNotFound, errFileWrite}, "FileSave");
      MemDisposeHandle(out);
    }
    FaultDisarm();
    if (err == 0) {
      EXPECT_EQ(ReadBytes(saved), Bytes(text.begin(), text.end()));
    }
    EXPECT_EQ(BlocksInUse(), 0u);
    EXPECT_EQ(MemCheckHeap(heap_), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  });
}

// A failed allocation compacts the heap before it gives up, so a table that
// cannot grow may still move: a gap left below it makes sure it does.
TEST_F(SettingsFault, VariablesOutgrowTheirTable) {
  auto name = [](int i) {
    std::string s = "v";
    s += std::to_string(i);
    return s;
  };
  WalkAll("variables added to a table", [&] {
    FaultRun run;
    Handle below = MemNewHandle(256);
    run.Unreported();
    SymbolTable* table = nullptr;
    ErrCode err = run.Step(SymNewTable(&table), {errMemOutOfMemory}, "SymNewTable");
    if (below != nullptr) MemDisposeHandle(below);
    if (err == 0) {
      exprSymbolTable = table;
      std::vector<int> added;
      for (int i = 0; i < 40; ++i) {
        if (run.Step(SymAddInt(&table, name(i).c_str(), i), {errMemOutOfMemory}, "SymAddInt") == 0)
          added.push_back(i);
      }
      EXPECT_EQ(exprSymbolTable, table);
      EXPECT_EQ(table->count, int32_t(added.size()));
      for (int i : added) {
        ExprValue value{};
        EXPECT_EQ(SymLookup(table, name(i).c_str(), &value), 1) << name(i);
        EXPECT_EQ(value.value.i, i);
      }
      EXPECT_EQ(SymDisposeTable(&table), 0u);
    }
    FaultDisarm();
    EXPECT_EQ(BlocksInUse(), 0u);
    EXPECT_EQ(MemCheckHeap(heap_), 0u);
  });
}

}  // namespace
