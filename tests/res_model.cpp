// The resource file's model runs (res_model.h) with every call succeeding.
#include "res_model.h"

namespace {

TEST_F(ResModel, RandomEditsKeepEveryResource) {
  for (const ModelRun& run : ModelRuns({{1, 1, false, 3000},
                                        {2, 3, false, 3000},
                                        {3, 8, false, 3000},
                                        {4, 40, false, 3000},
                                        {5, 3, true, 3000},
                                        {6, 12, true, 3000},
                                        {7, 300, false, 3000}})) {
    Run(run);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
