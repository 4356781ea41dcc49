// Tables on file systems that other hosts may mount too. Where the file system is not one
// this kernel alone changes (localFileSystem), a table operation follows the shared-storage
// discipline: under the lock it refreshes what the client believes (File::Refresh), writes
// at offsets found under the lock, and pushes its bytes to the server before it unlocks.
// What was tested, and what is promised, is in docs/design.md ("Shared storage").
#ifndef DBHELPER_SHARED_STORAGE_H_
#define DBHELPER_SHARED_STORAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbhelper/file.h"
#include "dbhelper/status.h"

namespace dbhelper {

// Whether every change to files of this type (statfs f_type) passes through this kernel:
// ext2/3/4, xfs, btrfs, tmpfs. Anything else, FUSE and network file systems included, may
// be changed by another host behind the local caches.
bool localFileSystem(uint64_t fsType);

// Whether the open file `fd` on device `dev` is on a file system not known to be local;
// where the OS cannot tell the type (ENOSYS), nothing is known to be shared either. The
// answer is kept for a second per device and system-call table, so that opens on a local
// file system add one statfs a second, not one each.
bool onSharedStorage(const SysCalls& sys, int fd, uint64_t dev);

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string point;    // where it is mounted
  std::string type;     // "fuse.glusterfs", "nfs4", ...
  std::string source;   // "host:/volume"
  std::string options;  // the super block's options
};

// Finds in `mountinfo` (the text of /proc/self/mountinfo) the mount whose device is `dev`
// (FileId::dev: major << 32 | minor). Returns false when none is.
bool findMount(std::string_view mountinfo, uint64_t dev, MountEntry* out);

// Returns the translators of a GlusterFS client graph (the text of the mount's
// .meta/graphs/active/volfile) that keep file contents in the client, where no call of
// another client's can reach them: their bytes stay stale for up to their timeout.
std::vector<std::string> staleContentCaches(std::string_view volfile);

// Names the file system a file is on, for error messages: its type and mount point from
// mountinfo, or the statfs magic number when mountinfo does not tell.
std::string describeFileSystem(const File& file);

// For a table on shared storage: refuses (IOError naming the mount and the volume options
// to change) when the file system keeps contents in the client that the discipline cannot
// refresh; `singleProcess` says no other process uses the table, and allows it. What a
// mount shows is looked at again after a few seconds.
Status checkSharedStorage(const File& file, bool singleProcess);

}  // namespace dbhelper

#endif  // DBHELPER_SHARED_STORAGE_H_
