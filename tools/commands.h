// The okr tool's commands. Each takes the arguments after its own name and
// returns the exit status (failures end the program through Fail).
#ifndef OKR_TOOLS_COMMANDS_H
#define OKR_TOOLS_COMMANDS_H

#include <string>
#include <vector>

namespace okr_tool {

using Argv = std::vector<std::string>;

int ResCreate(const Argv& argv);
int ResList(const Argv& argv);
int ResAdd(const Argv& argv);
int ResReplace(const Argv& argv);
int ResExtract(const Argv& argv);
int ResRemove(const Argv& argv);
int ResCheck(const Argv& argv);
int ResCompact(const Argv& argv);
int ResNative(const Argv& argv);
int Get(const Argv& argv);
int Eval(const Argv& argv);
int Tokens(const Argv& argv);
int HeapWorkload(const Argv& argv);

}  // namespace okr_tool

#endif
