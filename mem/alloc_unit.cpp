// One translation unit for the block operations' hot path: the descriptor
// stack (pool.cpp), allocation and freeing (alloc.cpp) and the free-block
// index (index.cpp). MemNewHandle and MemDisposeHandle take in every step
// they make (flatten, see alloc.cpp), which needs the steps' bodies in the
// same unit: every call saves registers, and stores are what a block
// operation waits on, its other writes landing all over the heap and its
// descriptors. The three files keep the interfaces of separate files
// (internal.h, index.h): to split the unit, list them in CMakeLists.txt
// instead of this one, and drop the flatten marks in alloc.cpp.
#include "mem/alloc.cpp"
#include "mem/index.cpp"
#include "mem/pool.cpp"
