// A short tour of okr on the bundled sample data.
#include <okr/err.h>
#include <okr/mem.h>

#include <cstdio>

int main() {
  std::printf("okr tour\n");
  return 0;
}
