/* The library runs on glibc 2.28 and later although it is built against a newer one with
 * libstdc++ and libgcc linked in. Those archives reach four symbols that newer glibc gave
 * new versions (2.32 to 2.35); the linker sends them here (--wrap, see CMakeLists.txt) and
 * these bind to the versions every supported glibc has. tests/packaging/symbols.sh fails
 * the build's tests when anything newer than 2.28 is imported. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
#define DBIFACE_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__) || (defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#define DBIFACE_GLIBC_BASE "GLIBC_2.17"
#elif defined(__arm__)
#define DBIFACE_GLIBC_BASE "GLIBC_2.4"
#elif defined(__s390x__)
#define DBIFACE_GLIBC_BASE "GLIBC_2.2"
#elif defined(__riscv) && __riscv_xlen == 64
#define DBIFACE_GLIBC_BASE "GLIBC_2.27"
#else
#error "add the first glibc symbol version of this architecture"
#endif

#define HIDDEN __attribute__((visibility("hidden")))

/* GCC's headers read __libc_single_threaded (2.32) to skip atomic reference counts while a
 * process has one thread; "threads may exist" keeps every count atomic. */
HIDDEN char __libc_single_threaded = 0;

/* pthread_once and pthread_key_create moved into libc with new versions in 2.34; the old
 * versions stay, in libpthread before 2.34 and in libc after. */
int dbiface_pthread_once(pthread_once_t* once, void (*init)(void));
int dbiface_pthread_key_create(pthread_key_t* key, void (*destroy)(void*));
__asm__(".symver dbiface_pthread_once, pthread_once@" DBIFACE_GLIBC_BASE);
__asm__(".symver dbiface_pthread_key_create, pthread_key_create@" DBIFACE_GLIBC_BASE);

HIDDEN int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
  return dbiface_pthread_once(once, init);
}

/* libstdc++ only tests whether this exists, to know threads are available. */
HIDDEN int __wrap___pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
  return dbiface_pthread_key_create(key, destroy);
}

/* The unwinder asks _dl_find_object (2.35) for the unwind table of a code address and has
 * no fallback when built against a glibc that has it; dl_iterate_phdr answers the same. */
struct dbiface_find {
  uintptr_t pc;
  struct dl_find_object* out;
};

static int dbiface_find_in(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  struct dbiface_find* f = data;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  const ElfW(Phdr)* eh = NULL;
  int hit = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* p = &info->dlpi_phdr[i];
    if (p->p_type == PT_LOAD) {
      const uintptr_t start = info->dlpi_addr + p->p_vaddr, end = start + p->p_memsz;
      if (f->pc >= start && f->pc < end) hit = 1;
      if (start < lo) lo = start;
      if (end > hi) hi = end;
    } else if (p->p_type == PT_GNU_EH_FRAME) {
      eh = p;
    }
  }
  if (!hit) return 0;
  memset(f->out, 0, sizeof *f->out);
  f->out->dlfo_map_start = (void*)lo;
  f->out->dlfo_map_end = (void*)hi;
  f->out->dlfo_eh_frame = eh != NULL ? (void*)(info->dlpi_addr + eh->p_vaddr) : NULL;
  return 1;
}

HIDDEN int __wrap__dl_find_object(void* pc, struct dl_find_object* out) {
  struct dbiface_find f = {(uintptr_t)pc, out};
  return dl_iterate_phdr(dbiface_find_in, &f) ? 0 : -1;
}
