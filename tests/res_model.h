// Random runs of edits of a resource file (add, remove anywhere, load,
// rewrite larger or smaller, write back, release, compact, flush, reopen)
// compared after every step with a plain model: a list of type records,
// each holding its resources' contents in order, a type id found at its
// first record. With an even seed a second file with the same type ids is
// open beside it and the edits go to either in turns; a run ends with edits
// left unflushed and ResCloseAll. A subclass may make the library's calls
// fail (Arm): a call that fails must leave the file as the model has it.
#ifndef OKR_TESTS_RES_MODEL_H
#define OKR_TESTS_RES_MODEL_H

#include <stdio.h>
#include <stdlib.h>

#include <random>

#include "res_builder.h"

struct ModelRecord {
  uint32_t typeId;
  std::vector<std::string> texts;
};

// One run of the model: its seed, the type ids additions choose from, the
// file it starts from, its length.
struct ModelRun {
  uint32_t seed;
  uint32_t types;
  bool foreign;  // a file in the other byte order, with gaps in its data
                 // area, that holds "AAAA" twice and a type of no resources
                 // (and carries "written" for an odd seed)
  uint32_t steps;
};

// The runs of a test: `runs`, and for a longer hunt by hand
// OKR_RES_MODEL_SEEDS=N more, seeds 100 on (or =S:N, seeds S on).
inline std::vector<ModelRun> ModelRuns(std::vector<ModelRun> runs) {
  const char* more = getenv("OKR_RES_MODEL_SEEDS");
  unsigned first = 100, count = 0;
  if (more != nullptr && sscanf(more, "%u:%u", &first, &count) != 2) {
    first = 100;
    count = unsigned(atoi(more));
  }
  for (uint32_t s = first; s < first + count; ++s)
    runs.push_back(ModelRun{s, s % 5 == 0 ? 500 : 1 + s % 60, s % 3 == 0, 4000});
  return runs;
}

class ResModel : public ResTest {
 protected:
  // Called around each library call that may allocate: the subclass makes
  // one of its calls fail. Disarm tells whether a call failed.
  virtual void Arm() {}
  virtual bool Disarm() { return false; }

  // True for a call's outcome `err` that the model may follow: success, or
  // the failure of an armed call, answered so.
  bool Succeeded(ErrCode err, const char* what) {
    bool failed = Disarm();
    if (err != 0 && !failed) ADD_FAILURE() << what << " answered 0x" << std::hex << err;
    if (err == 0 && failed) ADD_FAILURE() << what << " hid a failure";
    return err == 0;
  }

  // The model's first record of `typeId`, or NULL.
  ModelRecord* Find(uint32_t typeId) {
    for (ModelRecord& r : model_)
      if (r.typeId == typeId) return &r;
    return nullptr;
  }
  std::string Text(size_t size) {
    std::string s(size, 0);
    for (char& c : s)
      c = char('a' + rng_() % 26);
    return s;
  }
  Handle Load(uint32_t typeId, uint32_t index) {
    Handle h = nullptr;
    Arm();
    ErrCode err = ResLoadResource(file_, typeId, index, &h);
    return Succeeded(err, "load") ? h : nullptr;
  }

  void Add(uint32_t typeId) {
    std::string text = Text(rng_() % 40);
    Handle h = MemNewHandle(uint32_t(text.size()));
    ASSERT_NE(h, nullptr);
    memcpy(h->data, text.data(), text.size());
    Arm();
    if (!Succeeded(ResAddResource(file_, typeId, h), "add")) {
      EXPECT_EQ(MemGetFlags(h) & memFlagResource, 0u);
      MemDisposeHandle(h);
      return;
    }
    if (ModelRecord* r = Find(typeId))
      r->texts.push_back(text);
    else
      model_.push_back(ModelRecord{typeId, {text}});
  }
  void Remove(ModelRecord* r, uint32_t index) {
    Handle h = Load(r->typeId, index);
    if (h == nullptr) return;
    ASSERT_EQ(ResRemoveResource(h), 0u);
    r->texts.erase(r->texts.begin() + index);
    if (r->texts.empty()) model_.erase(model_.begin() + (r - model_.data()));
  }
  // Gives the resource new contents of another size, written back now or
  // left for a later write-back.
  void Rewrite(ModelRecord* r, uint32_t index) {
    Handle h = Load(r->typeId, index);
    if (h == nullptr) return;
    std::string text = Text(rng_() % 60);
    ASSERT_EQ(MemSetHandleSize(h, uint32_t(text.size())), 0u);
    memcpy(h->data, text.data(), text.size());
    ASSERT_EQ(ResMarkChanged(h), 0u);
    if (rng_() % 2) {
      ASSERT_EQ(ResWriteResource(h), 0u);
    }
    r->texts[index] = text;
  }
  void Reopen() {
    ASSERT_EQ(ResCloseFile(file_), 0u);
    Handle top = resTopFile;  // the other file, when one is open
    ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &file_), 0u);
    Arm();
    if (Succeeded(ResOpenFile(file_, 0), "open")) return;
    EXPECT_EQ(resTopFile, top);
    ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &file_), 0u);
    ASSERT_EQ(ResOpenFile(file_, 0), 0u);
  }

  // One random step on one of `types` type ids.
  void Step(uint32_t types) {
    if (other_ != nullptr && rng_() % 8 == 0) SwapFiles();
    uint32_t op = rng_() % 100;
    ModelRecord* r = model_.empty() ? nullptr : &model_[rng_() % model_.size()];
    if (r != nullptr) r = Find(r->typeId);  // only a first record is reached
    if (r != nullptr && r->texts.empty()) return Add(r->typeId);
    uint32_t index = r == nullptr ? 0 : uint32_t(rng_() % r->texts.size());
    uint32_t bias = rng_() % 10;
    if (r != nullptr && bias < 4) index = 0;
    if (r != nullptr && bias >= 4 && bias < 8) index = uint32_t(r->texts.size() - 1);
    if (r == nullptr || op < 40) return Add(0x41414141 + uint32_t(rng_() % types));
    if (op < 70) return Remove(r, index);
    if (op < 80) return Rewrite(r, index);
    if (op < 88) {
      Handle h = Load(r->typeId, index);
      if (h != nullptr) {
        EXPECT_EQ(HandleText(h), r->texts[index]);
      }
      return;
    }
    if (op < 92) return ResWriteChanged(ResFindFile(file_), 1);
    if (op < 95) {
      ASSERT_EQ(ResCompactFile(ResFindFile(file_)), 0u);
      return;
    }
    if (op < 98) {
      ASSERT_EQ(ResFlushFile(file_), 0u);
      return;
    }
    Reopen();
  }

  // The file holds the model's records in order, and each type id reaches
  // its first record's resources.
  void ExpectModel() {
    ExpectLayoutsHold();
    uint32_t types = 0;
    ASSERT_EQ(ResCountTypes(file_, &types), 0u);
    ASSERT_EQ(types, model_.size());
    for (uint32_t i = 0; i < types; ++i) {
      uint32_t typeId = 0, count = 0;
      ASSERT_EQ(ResGetTypeId(file_, i, &typeId), 0u);
      ASSERT_EQ(typeId, model_[i].typeId) << "type record " << i;
      ASSERT_EQ(ResCountResources(file_, typeId, &count), 0u);
      ASSERT_EQ(count, Find(typeId)->texts.size()) << "type record " << i;
    }
  }
  void ExpectContents() {
    for (const ModelRecord& r : model_) {
      if (Find(r.typeId) != &r) continue;
      for (uint32_t i = 0; i < r.texts.size(); ++i) {
        Handle h = nullptr;
        ASSERT_EQ(ResLoadResource(file_, r.typeId, i, &h), 0u);
        ASSERT_EQ(HandleText(h), r.texts[i]);
      }
    }
  }

  // Edits go to the other open file from now on.
  void SwapFiles() {
    std::swap(file_, other_);
    std::swap(model_, otherModel_);
    std::swap(path_, otherPath_);
  }

  void Run(const ModelRun& c) {
    SCOPED_TRACE("seed " + std::to_string(c.seed));
    rng_.seed(c.seed);
    model_.clear();
    if (c.foreign) {
      ResFilePlan plan{{{"AAAA", 3, "a0"},
                        {"AAAA", 9, "a1"},
                        {"BBBB", 11, "b0"},
                        {"ZZZZ", 20, "z0"},
                        {"YYYY", 24, "y0"}},
                       true,
                       40,
                       c.seed % 2 ? uint32_t(resFileFlagWritten) : 0u};
      uint32_t dir = 0;
      Bytes b = BuildResFile(plan, &dir);
      PutWord(b, dir + 56 + 2 * 12, TypeWord("AAAA"), true, true);
      PutWord(b, dir + 56 + 3 * 12 + 4, 0, true);  // YYYY's count
      WriteBytes(path_, b);
      ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &file_), 0u);
      ASSERT_EQ(ResOpenFile(file_, 0), 0u);
      model_ = {{TypeWord("AAAA"), {"a0", "a1"}},
                {TypeWord("BBBB"), {"b0"}},
                {TypeWord("AAAA"), {"z0"}},
                {TypeWord("YYYY"), {}}};
    } else {
      ASSERT_EQ(ResCreateFile(path_.c_str(), &file_), 0u);
    }
    other_ = nullptr;
    otherModel_.clear();
    if (c.seed % 2 == 0) {  // a second file with the same type ids, open throughout
      otherPath_ = path_ + ".2";
      SwapFiles();
      ASSERT_EQ(ResCreateFile(path_.c_str(), &file_), 0u);
      SwapFiles();
    }
    for (uint32_t step = 0; step < c.steps && !HasFatalFailure(); ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      Step(c.types);
      ExpectModel();
      if (step % 200 == 0) ExpectContents();
    }
    for (int i = 0; i < 20 && !HasFatalFailure(); ++i)
      Step(c.types);
    ResCloseAll();  // with the edits since the last flush of every file
    ASSERT_EQ(resLastError, 0u);
    for (int side = 0; side < 2; ++side) {
      ASSERT_EQ(FileOpen(path_.c_str(), "r+b", &file_), 0u);
      ASSERT_EQ(ResOpenFile(file_, 0), 0u);
      ExpectModel();
      ExpectContents();
      ASSERT_EQ(ResCloseFile(file_), 0u);
      if (other_ == nullptr) break;
      SwapFiles();
    }
  }

  std::mt19937 rng_;
  std::vector<ModelRecord> model_;
  File* file_ = nullptr;
  std::string path_ = TempPath("model.res");
  File* other_ = nullptr;
  std::vector<ModelRecord> otherModel_;
  std::string otherPath_;
};

#endif
