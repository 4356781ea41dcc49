/* The stand-ins of native/glibc_compat.c against glibc's own functions: the unwinder finds
 * its tables through __wrap__dl_find_object, so a wrong answer breaks every C++ exception
 * thrown inside the library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int __wrap__dl_find_object(void* pc, struct dl_find_object* out);
int __wrap_pthread_once(pthread_once_t* once, void (*init)(void));
int __wrap___pthread_key_create(pthread_key_t* key, void (*destroy)(void*));

static int failures, checks;

static void expect(int ok, const char* what) {
  ++checks;
  if (!ok) {
    ++failures;
    printf("FAIL %s\n", what);
  }
}

static int onceRuns;
static void onceBody(void) { ++onceRuns; }
static int localData = 1;

int main(void) {
  int onStack = 0;
  void* heap = malloc(16);
  struct {
    const char* name;
    void* pc;
  } cases[] = {
      {"code in this program", (void*)(uintptr_t)&main},
      {"data in this program", &localData},
      {"code in libc", (void*)(uintptr_t)&strlen},
      {"code in libpthread/libc", (void*)(uintptr_t)&pthread_create},
      {"a stack address", &onStack},
      {"a heap address", heap},
      {"address 1", (void*)1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    struct dl_find_object want, got;
    memset(&want, 0, sizeof want);
    const int rw = _dl_find_object(cases[i].pc, &want);
    const int rg = __wrap__dl_find_object(cases[i].pc, &got);
    char what[200];
    snprintf(what, sizeof what, "%s: found %d, glibc %d", cases[i].name, rg, rw);
    expect(rg == rw, what);
    if (rw == 0 && rg == 0) {
      snprintf(what, sizeof what, "%s: unwind table %p, glibc %p", cases[i].name, got.dlfo_eh_frame,
               want.dlfo_eh_frame);
      expect(got.dlfo_eh_frame == want.dlfo_eh_frame && got.dlfo_eh_frame != NULL, what);
      snprintf(what, sizeof what, "%s: object start %p, glibc %p", cases[i].name, got.dlfo_map_start,
               want.dlfo_map_start);
      expect(got.dlfo_map_start == want.dlfo_map_start, what);
    }
  }
  free(heap);

  pthread_once_t once = PTHREAD_ONCE_INIT;
  expect(__wrap_pthread_once(&once, onceBody) == 0 && __wrap_pthread_once(&once, onceBody) == 0,
         "pthread_once succeeds");
  expect(onceRuns == 1, "pthread_once runs its body once");
  pthread_key_t key;
  expect(__wrap___pthread_key_create(&key, NULL) == 0, "pthread_key_create succeeds");
  expect(pthread_setspecific(key, &onStack) == 0 && pthread_getspecific(key) == &onStack,
         "the created key holds a value");

  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
