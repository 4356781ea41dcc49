// Proves that a table file is unchanged since an earlier moment at which it was read, so
// that an image read then may answer now.
//
// How: inotify on the open file (IN_MODIFY, IN_ATTRIB, IN_MOVE_SELF, IN_DELETE_SELF, and
// IN_IGNORED / IN_Q_OVERFLOW, which come unasked) plus the file's identity, size, ctime
// and mtime by statx. A snapshot records the statx fields and how many events the file's
// watch has had; a later snapshot proves "unchanged" only when the watch is the same one,
// has had no event since, and every field is equal.
//
// Why not stat alone, with the racily-clean rule on ctime: a write moves ctime when it
// starts, before it copies its bytes (bench/ctime_probe: during a 256 MiB overwrite on
// ext4 and tmpfs, a read 20 ms after ctime moved still saw old bytes, the copy ended
// 95-140 ms after, and ctime did not move again). A writer that ignores our lock can so be
// mid-copy while we read, and no margin over the timestamp tick bounds how long the copy
// lasts (page faults on its buffer, preemption, memory pressure). inotify's IN_MODIFY is
// queued after the copy and before write(2) returns, so every change completed before a
// snapshot is pending by then, and a change still in flight during a read raises its event
// later and fails the next check. Facts measured on Linux 6.18 (ext4 and tmpfs), 20,000
// rounds each: two back-to-back same-size overwrites got distinct ctimes in every round
// when ctime was asked for between them, and the same ctime in every round when it was
// not (the tick is then coarse). So ctime alone tells apart only changes that start after
// our query; inotify is what orders against the copy, and statx adds identity (a file
// renamed over the path is another inode) and catches a shared-mmap writer's first store
// after writeback, which raises no event.
//
// Identity: a watch pins its inode, so while the watch lives no other file gets its inode
// number; the watch's serial (never reused) stands for that incarnation of the file. An
// unlinked or replaced file ends its watch (IN_IGNORED) and the next snapshot gets a new
// serial.
//
// Cost: about 3 us of CPU per check here (bench/micro_bench BM_fresh*; docs/cache.md). One
// inotify instance per process; at most kMaxWatchedFiles watches, the least recently used
// dropped beyond that; a forked child opens its own instance, as reading the inherited one
// would steal its parent's events.
//
// Not provable, so the caller reads the file: file systems other than ext2/3/4, xfs,
// btrfs and tmpfs (network and FUSE ones change behind the local kernel, overlayfs behind
// its layers), inotify not available or out of instances or watches, /proc not mounted,
// the path naming another file than the one open, any other OS (Windows has no
// notification ordered after a write's bytes land). Blind spots even where provable:
// stores through a shared writable mmap after the first one on a page (they raise no
// event and move no timestamp until writeback); a native AIO (io_submit) write still
// copying during a read (it raises no event; once complete, its ctime is seen); writes by
// another host.
#ifndef DBHELPER_FRESHNESS_H_
#define DBHELPER_FRESHNESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "dbhelper/file.h"

namespace dbhelper {

inline constexpr size_t kMaxWatchedFiles = 64;

// What a cached image was read from, taken under the table lock just before reading.
struct Snapshot {
  FileId id;
  uint64_t size = 0;
  int64_t ctimeNs = 0;
  int64_t mtimeNs = 0;
  uint64_t watch = 0;   // serial of the file's watch; 0: nothing can be proven
  uint64_t events = 0;  // events the watch had seen when taken
  uint64_t others = 0;  // of them, events other than a modification (attributes, a move, deletion)
};

// Takes a snapshot of `file` (open, locked) at `path`. Returns false when the freshness of
// this file cannot be proven; the caller must then not cache what it reads.
bool takeSnapshot(const std::string& path, const File& file, Snapshot* out);

// Takes a snapshot of the file that `named` (statx of the path, taken just now) describes,
// without opening it: only a file whose watch is already held can be vouched for this
// way, as the watch pins that inode. Returns false otherwise. `sys`: the calls to make.
bool snapshotByPath(const FileInfo& named, const SysCalls& sys, Snapshot* out);

// Takes a snapshot of `file` (open, locked) without looking at its path, for a writer
// that holds the table's lock and whose file is watched already. Returns false otherwise.
bool snapshotOpen(const File& file, Snapshot* out);

// Returns true when the file is proven unchanged since `then`, given a snapshot `now` of
// the same path taken just now.
bool provenUnchanged(const Snapshot& then, const Snapshot& now);

// Returns true when everything the watch saw between `before` and `after` (both of the
// same open file) can be the `writes` system calls that changed the file in between:
// modifications only, no more events than those calls. Cannot tell apart another
// program's modification that lands beside one of them: inotify merges an event into an
// identical one still queued, so both raise one (and several of ours raise one, which
// leaves room for others': callers trust one call only).
bool onlyOwnWrites(const Snapshot& before, const Snapshot& after, uint64_t writes);

// Stops watching the file, if it is watched; the inotify instance is closed with the
// last watch. A later snapshot of it starts a new watch.
void stopWatching(const FileId& id, const SysCalls& sys);

// Returns how many files are watched now (for tests of the cap).
size_t watchedFiles();

}  // namespace dbhelper

#endif  // DBHELPER_FRESHNESS_H_
