// Traces shaped like programs rather than dice, each a fixed-seed Workload
// of one million steps (resizes count as steps). Sizes are requests.
#ifndef OKR_BENCH_MEM_TRACES_H
#define OKR_BENCH_MEM_TRACES_H

#include <string>

#include "workload.h"

// A parser's: bursts of small blocks of a few sizes (tokens, nodes) pushed
// on a stack and popped last in first out; one popped node in ten is kept in
// a tree, which is disposed of in the order it was built once it holds a few
// thousand nodes (the end of a file).
Workload MakeParserTrace();

// An editor's and a loader's: a few hundred text buffers (64 B to 64 KiB)
// resized by a few bytes at a time (typing and deleting, mostly in the
// buffer being worked on, now and then a paste or a cut of kilobytes), each
// edit leaving a small undo record, the oldest disposed of past a few
// thousand; now and then a buffer is closed and a file loaded in its place,
// grown 4 KiB at a time and then cut to its size.
Workload MakeEditorTrace();

// A game's frames: a long-lived set of a few thousand blocks (8 B to 4 KiB),
// a few hundred blocks per frame (16 to 512 bytes) all disposed of in order
// at the frame's end, and a few long-lived blocks replaced during each frame.
Workload MakeFrameTrace();

// The sequence a command line names: "workload" (the bench workload),
// "parser", "editor" or "frame". False for any other name.
inline bool MakeTraceNamed(const std::string& name, Workload* out) {
  if (name == "workload") {
    *out = MakeWorkload(WorkloadShape{});
  } else if (name == "parser") {
    *out = MakeParserTrace();
  } else if (name == "editor") {
    *out = MakeEditorTrace();
  } else if (name == "frame") {
    *out = MakeFrameTrace();
  } else {
    return false;
  }
  return true;
}

#endif
