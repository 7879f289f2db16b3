// The test suite's second run: with OKR_TEST_SCRAMBLE set (and not "0"),
// every heap the test program creates starts with scramble mode on. A build
// without heap debugging has no scramble mode and refuses the run.
#include <cstdio>
#include <cstdlib>

#include "mem/debug.h"

namespace {

bool ScrambleFromEnvironment() {
  const char* value = std::getenv("OKR_TEST_SCRAMBLE");
  if (value == nullptr || *value == '\0' || (value[0] == '0' && value[1] == '\0')) return false;
#if OKR_MEM_DEBUG
  memScrambleNewHeaps = true;
  return true;
#else
  std::fprintf(stderr, "OKR_TEST_SCRAMBLE: this build has no scramble mode\n");
  std::exit(2);
#endif
}

[[maybe_unused]] const bool scrambling = ScrambleFromEnvironment();

}  // namespace
