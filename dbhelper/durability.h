// How hard a write works to survive the machine, not just the process, going down.
#ifndef DBHELPER_DURABILITY_H_
#define DBHELPER_DURABILITY_H_

#include <cstdint>

namespace dbhelper {

// kOff: a write survives the death of its process at any instant, and nothing is synced.
// kFull: a write returns once its effect is on stable storage, and a power cut at any
// instant leaves a file from which the next call recovers the old or the new table.
enum class SyncMode { kOff, kFull };

// Set in Options::sync.

// The unit a disk writes whole or not at all on power loss. A write within one sector is
// atomic; anything larger may reach the disk in any subset of its sectors.
inline constexpr uint64_t kSector = 512;

}  // namespace dbhelper

#endif  // DBHELPER_DURABILITY_H_
