#include "dbhelper/forks.h"

#include <atomic>
#include <mutex>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace dbhelper {

namespace {
std::atomic<uint64_t> gAsChild{0};
std::atomic<uint64_t> gSeen{0};
}  // namespace

ForkCounts forkCounts() {
#if !defined(_WIN32)
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(nullptr, [] { gSeen.fetch_add(1); },
                   [] {
                     gAsChild.fetch_add(1);
                     gSeen.fetch_add(1);
                   });
  });
#endif
  return ForkCounts{gAsChild.load(), gSeen.load()};
}

}  // namespace dbhelper
