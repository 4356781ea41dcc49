// Forks of this process, counted by atfork handlers. A descriptor open before a fork
// shares its open file, and with it the file's locks, between parent and child.
#ifndef DBHELPER_FORKS_H_
#define DBHELPER_FORKS_H_

#include <cstdint>

namespace dbhelper {

struct ForkCounts {
  uint64_t asChild = 0;  // forks this process is the child of
  uint64_t seen = 0;     // forks it took part in, as parent or child
};

// Returns the forks counted so far. The first call starts the counting (forks before it
// are not counted), so call it before taking what a later fork could share. Always zero
// where there is no fork (Windows).
ForkCounts forkCounts();

}  // namespace dbhelper

#endif  // DBHELPER_FORKS_H_
