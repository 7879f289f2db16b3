/* A qemu-user plugin that counts how often each guest instruction runs, for
 * scripts/profile.sh: at exit it writes one line per instruction that ran,
 * its address in hex and its count ("401a2c 1000000"), to the
 * file named by its out= argument.
 *
 * Emulated, a 32-bit program runs where the kernel runs no 32-bit programs,
 * and unlike valgrind's tools (32-bit programs themselves) it can be counted
 * there. Counts, not times: what an instruction costs is the emulator's.
 *
 * Debian ships no header for qemu's plugin interface, so the few calls made
 * are declared here, as version 1 of that interface has them (qemu 7.2,
 * Debian 12's); qemu refuses a plugin built for another version. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
struct qemu_plugin_insn* qemu_plugin_tb_get_insn(const struct qemu_plugin_tb* tb, size_t i);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn* insn);
void qemu_plugin_register_vcpu_insn_exec_inline(struct qemu_plugin_insn* insn,
                                                enum qemu_plugin_op op, void* ptr, uint64_t imm);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* One counter per translated instruction. Blocks translated again get new
 * counters; the report adds those of one address together. Counters live in
 * chunks that never move, as the translated code holds their addresses. */
struct counter {
  uint64_t address;
  uint64_t count;
};
enum { kChunk = 4096, kChunks = 1 << 16 };
static struct counter* chunks[kChunks];
static size_t counters;
static char outPath[4096];

static struct counter* NewCounter(void) {
  const size_t chunk = counters / kChunk;
  if (chunk >= kChunks) return NULL;
  if (chunks[chunk] == NULL && (chunks[chunk] = calloc(kChunk, sizeof(struct counter))) == NULL)
    return NULL;
  return &chunks[chunk][counters++ % kChunk];
}

static void OnTranslate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  const size_t n = qemu_plugin_tb_n_insns(tb);
  for (size_t i = 0; i < n; ++i) {
    struct qemu_plugin_insn* insn = qemu_plugin_tb_get_insn(tb, i);
    struct counter* c = NewCounter();
    if (c == NULL) {
      fprintf(stderr, "insn_count: out of counters\n");
      exit(3);
    }
    c->address = qemu_plugin_insn_vaddr(insn);
    qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64, &c->count, 1);
  }
}

static void OnExit(qemu_plugin_id_t id, void* userdata) {
  (void)id;
  (void)userdata;
  FILE* out = fopen(outPath, "w");
  if (out == NULL) {
    perror(outPath);
    return;
  }
  for (size_t k = 0; k < counters; ++k) {
    const struct counter* c = &chunks[k / kChunk][k % kChunk];
    if (c->count != 0)
      fprintf(out, "%llx %llu\n", (unsigned long long)c->address, (unsigned long long)c->count);
  }
  if (fclose(out) != 0) perror(outPath);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const struct qemu_info_t* info,
                                                               int argc, char** argv) {
  (void)info;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) == 0) snprintf(outPath, sizeof outPath, "%s", argv[i] + 4);
  }
  if (outPath[0] == '\0') {
    fprintf(stderr, "insn_count: give out=FILE\n");
    return -1;
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, OnTranslate);
  qemu_plugin_register_atexit_cb(id, OnExit, NULL);
  return 0;
}
