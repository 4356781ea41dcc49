// The only place that talks to the OS about table files: opening, positioned reads and
// writes, truncation and locking. Everything above it sees Status values.
#ifndef DBHELPER_FILE_H_
#define DBHELPER_FILE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "dbhelper/status.h"

#if !defined(_WIN32)
struct iovec;  // <sys/uio.h>
#endif

namespace dbhelper {

// Appends that stay within one page reach the file whole or not at all, even when the
// process is killed in the middle; reads take the first page of a table at once.
inline constexpr uint64_t kPage = 4096;

// Identity of an open file, the same for every path and descriptor that reaches it.
struct FileId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator<(const FileId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// What fstat tells of an open file.
struct FileInfo {
  enum class Type { kRegular, kDirectory, kFifo, kCharDevice, kBlockDevice, kSocket, kOther };
  uint64_t size = 0;
  FileId id;
  Type type = Type::kRegular;
  int64_t ctimeNs = 0;  // last status change, ns since the epoch; 0 where the OS has none
  int64_t mtimeNs = 0;  // last data change
  uint32_t mode = 0;    // permission bits
  uint32_t uid = 0;
  uint32_t gid = 0;
};

// Returns a name for what the file is, for error messages ("a FIFO", "a directory").
const char* describe(FileInfo::Type type);

// What a watch instance reports of a watched file: it changed in any way (content, size,
// metadata, links, name), its watch is gone (the file was deleted, or the watch removed),
// or events were lost and every watch must be taken as changed.
struct WatchEvent {
  // kModify: the content changed (IN_MODIFY alone); kChange: anything else about the file.
  enum class Kind { kModify, kChange, kGone, kOverflow };
  int watch = -1;
  Kind kind = Kind::kChange;
};

// One piece of a gathered write.
struct Slice {
  const char* data;
  size_t size;
};

struct SysCalls;
// Returns the real system calls (the table is defined below).
const SysCalls& realSysCalls();

class File {
 public:
  enum class Mode { kRead, kReadWrite };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing regular file without blocking (a FIFO would wait for a writer
  // in open(2)). Returns OK with *missing set (and the file closed) when the path does
  // not exist; the file is never created. Anything but a regular file is an IOError
  // that names what it is.
  static Status Open(const std::string& path, Mode mode, File* out, bool* missing,
                     const SysCalls& sys = realSysCalls());
  // Creates `path` empty when it does not exist; leaves an existing file alone. With
  // `durable`, a file it creates is on stable storage, directory entry included.
  static Status CreateIfMissing(const std::string& path, bool durable = false, const SysCalls& sys = realSysCalls());
  // Renames `from` over `to` in one step: `to` names the old file or the new one, never
  // neither. Not through SysCalls: only the operator's tools replace a table.
  static Status Rename(const std::string& from, const std::string& to);
  // Gives the file at `path` the permission bits, and where allowed the owner and group,
  // of `like`; a file that replaces a table must stay writable by its server.
  static Status Adopt(const std::string& path, const FileInfo& like);
  // Removes `path`; a missing one is no error.
  static Status Remove(const std::string& path);
  // Sets *real to `path` with every symbolic link resolved (Windows: `path` as given).
  static Status RealPath(const std::string& path, std::string* real);

  bool isOpen() const { return fd_ >= 0; }
  // Returns what fstat said when Open opened the file.
  const FileInfo& openInfo() const { return opened_; }
  // Returns the size and identity of the open file.
  Status Stat(uint64_t* size, FileId* id) const;
  // Returns what fstat says of the open file; ctimeNs and mtimeNs only with `times`.
  Status Stat(FileInfo* info, bool times = false) const;
  // Returns what a path names now (symbolic links followed), without opening it; ctimeNs
  // and mtimeNs only with `times`.
  static Status StatPath(const std::string& path, FileInfo* info, bool times = false,
                         const SysCalls& sys = realSysCalls());
  // Returns the magic number of the file system the file is on (statfs f_type).
  Status FsType(uint64_t* type) const;
  // Adds this file (the one open, whatever its path names now) to the watch instance
  // `watchFd`. Returns the watch id, or -1 with errno set.
  int AddWatch(int watchFd) const;
  // Reads up to `n` bytes at `offset`; *got < n only at the end of the file. Reads
  // until the kernel returns 0: one read(2) stops short of 2 GiB on Linux.
  Status ReadAt(uint64_t offset, char* buf, size_t n, size_t* got) const;
  // Writes all slices, back to back, at `offset`, or at the file's end at the moment of
  // the write for kAtEnd (as O_APPEND does, so a concurrent appender that takes no lock
  // is not overwritten; never on shared storage, where a client takes that end from the
  // size it has cached). A short write is an error, and *written tells how many bytes
  // did reach the file.
  static constexpr uint64_t kAtEnd = UINT64_MAX;
  Status WriteAt(uint64_t offset, const Slice* slices, size_t count, size_t* written) const;
  Status Truncate(uint64_t size) const;
  // Returns once every write and truncation so far is on stable storage.
  Status Sync() const;
  // Whether the file is on a file system not known to be local (shared_storage.h): set
  // by Open where the OS tells the file system's type.
  bool shared() const { return shared_; }
  // Whether a write or truncation was made since the last Sync.
  bool unsynced() const { return unsynced_; }
  // Under the lock, on shared storage: makes what this client believes of the file match
  // the server, and returns its size. The sync makes the client ask the server for the
  // attributes (a caching client answers a plain stat, even a forced one, from memory);
  // then the forced stat, then the cached pages dropped.
  Status Refresh(uint64_t* size) const;
  // Takes an advisory lock on every byte a table can have that excludes other
  // descriptors, in this process or another: shared for readers, exclusive for writers.
  // A waiting writer holds the intent byte meanwhile, and readers pass through it first,
  // so writers go first across processes. Never blocks longer than until `deadline`;
  // returns Busy then.
  Status Lock(bool exclusive, std::chrono::steady_clock::time_point deadline) const;
  // Whether `s`, from Lock, says the file system refuses byte-range locks on this file
  // (or the kernel has none): only the in-process lock can then be had.
  static bool LockRefused(const Status& s);
  Status Unlock() const;
  void Close();

  // Returns in *same whether `path` still names this open file (false when another
  // program renamed a new file over it or removed it), and then what the stat said in
  // *named when asked. One stat of the path, without times.
  Status StillAt(bool* same, FileInfo* named = nullptr) const;

  const std::string& path() const { return path_; }
  // Returns how many system calls that can change the file (writes, truncations) were
  // made through this object: each raises at most one change event.
  uint64_t changesMade() const { return changes_; }
  // The system calls this file goes through: those it was opened with, or given since.
  const SysCalls& sys() const { return *sys_; }
  // Makes later calls go through `sys` (an operation that takes a kept descriptor uses
  // its own). REQUIRES: `sys` outlives the file.
  void Rebind(const SysCalls& sys) { sys_ = &sys; }

 private:
  int fd_ = -1;
  const SysCalls* sys_ = &realSysCalls();
  mutable uint64_t changes_ = 0;
  bool shared_ = false;
  mutable bool unsynced_ = false;
  std::string path_;
  FileInfo opened_;
};

// How SysCalls::open opens a file: for reading, for reading and writing (both only when
// it exists), or for writing, created when missing.
inline constexpr int kOpenRead = 0;
inline constexpr int kOpenReadWrite = 1;
inline constexpr int kOpenCreate = 2;

// The system calls File uses, one table per platform (file_posix.cc, file_windows.cc).
// Options hands a table to the core, so tests can inject failures at any one. They report
// errors as -1 with errno set.
struct SysCalls {
  int (*open)(const char* path, int how, int unused);
  int (*close)(int fd);
  long (*pread)(int fd, void* buf, size_t n, int64_t off);
  long (*pwritev)(int fd, const Slice* slices, int count, int64_t off);  // off -1: at the end
  int (*ftruncate)(int fd, int64_t size);
  // times: fill ctimeNs and mtimeNs. Asking for them makes the next write to the file
  // take a fine-grained timestamp where the OS has those, which costs that write an
  // inode update; only a freshness proof needs them.
  int (*fstat)(int fd, FileInfo* info, bool times);
  // type: 0 unlock, 1 shared, 2 exclusive; region: kLockTable or kLockIntent; non-blocking.
  int (*lock)(int fd, int type, int region);
  int (*statPath)(const char* path, FileInfo* info, bool times);
  int (*fsType)(int fd, uint64_t* type);
  // Change notification (inotify): a non-blocking instance, watches of open files on it,
  // and reading what is pending. watchRead returns the number of events stored, 0 when
  // none is pending. Where the OS has none, watchOpen fails with ENOSYS.
  int (*watchOpen)();
  int (*watchAdd)(int watchFd, int fd);
  int (*watchRemove)(int watchFd, int watch);
  int (*watchRead)(int watchFd, WatchEvent* events, int max);
  // Puts the file's data and size on stable storage (fdatasync; FlushFileBuffers).
  int (*dataSync)(int fd);
  // Puts the directory entry of `path`, a file just created, on stable storage.
  int (*dirSync)(const char* path);
  // The size as the file system's server has it, past any attribute cache of the client
  // (statx AT_STATX_FORCE_SYNC).
  int (*freshSize)(int fd, uint64_t* size);
  // Drops the file's pages from the client's cache (posix_fadvise POSIX_FADV_DONTNEED).
  int (*dropCache)(int fd);
};
// The regions SysCalls::lock locks: every byte a table can have, [0, kIntentOffset), or
// the one byte at kIntentOffset, far past any real end, where writers queue.
inline constexpr int kLockTable = 0;
inline constexpr int kLockIntent = 1;
inline constexpr int64_t kIntentOffset = INT64_MAX - 1;

#if !defined(_WIN32)
// What the real pwritev does for an append where the kernel has no RWF_APPEND: writes
// `iov` at the file's end as it is at the moment of the write, through the descriptor's
// O_APPEND, set for that write only. Returns the bytes written, or -1 with errno.
long appendWithoutFlag(int fd, const ::iovec* iov, int count);
#endif

}  // namespace dbhelper

#endif  // DBHELPER_FILE_H_
