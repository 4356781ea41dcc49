// POSIX system calls behind the file seam (file.h): positioned reads and writes, statx
// where Linux has it, open file description locks on the table's range and on the intent
// byte past it, and inotify for change notification. The Windows ones are in
// file_windows.cc.
#include "dbhelper/file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#include <sys/vfs.h>
#endif
#endif

namespace dbhelper {

#if !defined(_WIN32)
namespace {

int sysOpen(const char* path, int how, int) {
  const int flags = how == kOpenRead ? O_RDONLY : how == kOpenReadWrite ? O_RDWR : O_WRONLY | O_CREAT;
  // O_NONBLOCK: opening a FIFO would otherwise wait for its other end; it changes
  // nothing for a regular file.
#if defined(O_NOATIME)
  if (how == kOpenReadWrite) {
    // A writer's reads need not move the access time: its write moves the modification
    // time, and on ext4 each access-time update doubles the cost of the read. Only the
    // file's owner may ask for that (EPERM otherwise).
    const int fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOATIME, 0666);
    if (fd >= 0 || errno != EPERM) return fd;
  }
#endif
  return ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
}
int sysClose(int fd) { return ::close(fd); }
long sysPread(int fd, void* buf, size_t n, int64_t off) { return ::pread(fd, buf, n, off); }
int sysFstat(int fd, FileInfo* info, bool times);

}  // namespace

long appendWithoutFlag(int fd, const iovec* iov, int count) {
  // The descriptor's O_APPEND, for this one write: the kernel takes the end as it writes.
  // An end read by fstat first could be cut by a program truncating the file without our
  // lock; the write would then land past the end, behind a hole of NULs, with the size
  // it would have had anyway. No other write uses the descriptor meanwhile: the table's
  // lock is held.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_APPEND) != 0) return -1;
  long w;
  do {
    w = ::writev(fd, iov, count);
  } while (w < 0 && errno == EINTR);
  const int err = errno;
  // Left set, it would turn every later positioned write into an append (Linux pwrite).
  if (::fcntl(fd, F_SETFL, flags) != 0) return -1;
  errno = err;
  return w;
}

namespace {

long sysPwritev(int fd, const Slice* slices, int count, int64_t off) {
  iovec iov[8];
  if (count > 8) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<char*>(slices[i].data);
    iov[i].iov_len = slices[i].size;
  }
  if (off >= 0) return ::pwritev(fd, iov, count, off);
#if defined(RWF_APPEND)
  // Kernels before 4.16 lack the flag, and qemu-user refuses it: asked once.
  static std::atomic<bool> noAppendFlag{false};
  if (!noAppendFlag.load(std::memory_order_relaxed)) {
    const long w = ::pwritev2(fd, iov, count, -1, RWF_APPEND);
    if (w >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return w;
    noAppendFlag.store(true, std::memory_order_relaxed);
  }
#endif
  return appendWithoutFlag(fd, iov, count);
}

int sysFtruncate(int fd, int64_t size) { return ::ftruncate(fd, size); }

FileInfo::Type typeOf(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return FileInfo::Type::kRegular;
    case S_IFDIR: return FileInfo::Type::kDirectory;
    case S_IFIFO: return FileInfo::Type::kFifo;
    case S_IFCHR: return FileInfo::Type::kCharDevice;
    case S_IFBLK: return FileInfo::Type::kBlockDevice;
    case S_IFSOCK: return FileInfo::Type::kSocket;
    default: return FileInfo::Type::kOther;
  }
}

#if defined(__linux__)
// statx rather than fstat: glibc 2.33 moved fstat to a new symbol version, statx has
// been there since 2.28.
int statxInto(int dirfd, const char* path, int flags, bool times, FileInfo* info) {
  struct statx st;
  constexpr unsigned kWant = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_SIZE | STATX_INO;
  if (::statx(dirfd, path, flags, times ? kWant | STATX_CTIME | STATX_MTIME : kWant, &st) != 0) return -1;
  info->size = st.stx_size;
  info->id.dev = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  info->id.ino = st.stx_ino;
  info->type = typeOf(st.stx_mode);
  info->ctimeNs = times ? st.stx_ctime.tv_sec * 1000000000LL + st.stx_ctime.tv_nsec : 0;
  info->mtimeNs = times ? st.stx_mtime.tv_sec * 1000000000LL + st.stx_mtime.tv_nsec : 0;
  info->mode = st.stx_mode & 07777u;
  info->uid = st.stx_uid;
  info->gid = st.stx_gid;
  return 0;
}
int sysFstat(int fd, FileInfo* info, bool times) { return statxInto(fd, "", AT_EMPTY_PATH, times, info); }
int sysStatPath(const char* path, FileInfo* info, bool times) { return statxInto(AT_FDCWD, path, 0, times, info); }

int sysFsType(int fd, uint64_t* type) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return -1;
  *type = static_cast<uint64_t>(fs.f_type);
  return 0;
}

int sysWatchOpen() { return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

int sysWatchAdd(int watchFd, int fd) {
  // Through /proc the watch lands on the open file itself, even when its path has been
  // given to another file since it was opened.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::inotify_add_watch(watchFd, self.c_str(),
                             IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
}

int sysWatchRemove(int watchFd, int watch) { return ::inotify_rm_watch(watchFd, watch); }

int sysWatchRead(int watchFd, WatchEvent* events, int max) {
  // Watches of files carry no names, so each event is exactly one header long.
  alignas(inotify_event) char buf[64 * sizeof(inotify_event)];
  const size_t want = std::min<size_t>(sizeof buf, static_cast<size_t>(std::max(max, 1)) * sizeof(inotify_event));
  ssize_t got;
  do {
    got = ::read(watchFd, buf, want);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return errno == EAGAIN ? 0 : -1;
  int n = 0;
  for (size_t off = 0; off + sizeof(inotify_event) <= static_cast<size_t>(got) && n < max;) {
    inotify_event ev;
    std::memcpy(&ev, buf + off, sizeof ev);
    off += sizeof ev + ev.len;
    events[n].watch = ev.wd;
    events[n].kind = (ev.mask & IN_Q_OVERFLOW)               ? WatchEvent::Kind::kOverflow
                     : (ev.mask & IN_IGNORED)                  ? WatchEvent::Kind::kGone
                     : (ev.mask & ~(IN_MODIFY | IN_ISDIR)) == 0 ? WatchEvent::Kind::kModify
                                                               : WatchEvent::Kind::kChange;
    ++n;
  }
  return n;
}
#else
int statInto(int r, const struct stat& st, FileInfo* info) {
  if (r != 0) return -1;
  info->size = static_cast<uint64_t>(st.st_size);
  info->id.dev = static_cast<uint64_t>(st.st_dev);
  info->id.ino = static_cast<uint64_t>(st.st_ino);
  info->type = typeOf(st.st_mode);
  info->ctimeNs = static_cast<int64_t>(st.st_ctime) * 1000000000LL;
  info->mtimeNs = static_cast<int64_t>(st.st_mtime) * 1000000000LL;
  info->mode = static_cast<uint32_t>(st.st_mode) & 07777u;
  info->uid = static_cast<uint32_t>(st.st_uid);
  info->gid = static_cast<uint32_t>(st.st_gid);
  return 0;
}
int sysFstat(int fd, FileInfo* info, bool) {
  struct stat st;
  const int r = ::fstat(fd, &st);
  return statInto(r, st, info);
}
int sysStatPath(const char* path, FileInfo* info, bool) {
  struct stat st;
  const int r = ::stat(path, &st);
  return statInto(r, st, info);
}
// No change notification here: freshness is never proven, tables are always read.
int sysFsType(int, uint64_t*) { errno = ENOSYS; return -1; }
int sysWatchOpen() { errno = ENOSYS; return -1; }
int sysWatchAdd(int, int) { errno = ENOSYS; return -1; }
int sysWatchRemove(int, int) { errno = ENOSYS; return -1; }
int sysWatchRead(int, WatchEvent*, int) { errno = ENOSYS; return -1; }
#endif


int sysDataSync(int fd) {
#if defined(__APPLE__)
  return ::fcntl(fd, F_FULLFSYNC);  // fsync there leaves the data in the drive's cache
#elif defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
  return ::fdatasync(fd);
#else
  return ::fsync(fd);
#endif
}

int sysDirSync(const char* path) {
  std::string dir(path);
  const size_t slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int r = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  errno = err;
  return r;
}

int sysFreshSize(int fd, uint64_t* size) {
#if defined(__linux__)
  struct statx st;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_SIZE, &st) != 0) return -1;
  *size = st.stx_size;
  return 0;
#else
  FileInfo info;
  if (sysFstat(fd, &info, false) != 0) return -1;
  *size = info.size;
  return 0;
#endif
}

int sysDropCache(int fd) {
#if defined(POSIX_FADV_DONTNEED)
  const int err = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // returns the error
  if (err == 0) return 0;
  errno = err;
  return -1;
#else
  (void)fd;
  return 0;
#endif
}

int sysLock(int fd, int type, int region) {
  struct flock fl = {};
  static_assert(sizeof(fl.l_start) == 8, "the intent byte needs 64-bit file offsets");
  fl.l_type = type == 0 ? F_UNLCK : type == 1 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  // A length, not 0 ("to the end and beyond"), so the table's lock leaves the intent
  // byte alone; OFD locks may lie past the end of the file.
  fl.l_start = region == kLockTable ? 0 : kIntentOffset;
  fl.l_len = region == kLockTable ? kIntentOffset : 1;
  // Open-file-description locks: unlike classic POSIX locks they exclude other
  // descriptors of the same process and survive the close of an unrelated descriptor.
  return ::fcntl(fd, F_OFD_SETLK, &fl);
}

const SysCalls kReal = {sysOpen,      sysClose,     sysPread,       sysPwritev,   sysFtruncate,
                        sysFstat,     sysLock,      sysStatPath,    sysFsType,    sysWatchOpen,
                        sysWatchAdd,  sysWatchRemove, sysWatchRead, sysDataSync,
                        sysDirSync,   sysFreshSize, sysDropCache};

}  // namespace

const SysCalls& realSysCalls() { return kReal; }

Status File::Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno("cannot rename " + from + " to", to, errno);
  return Status::OK();
}

Status File::Adopt(const std::string& path, const FileInfo& like) {
  // Another owner is for root only; anyone else keeps their own and says nothing.
  if (::chown(path.c_str(), like.uid, like.gid) != 0 && errno != EPERM) {
    return Status::FromErrno("cannot set the owner of", path, errno);
  }
  if (::chmod(path.c_str(), like.mode & 07777) != 0) return Status::FromErrno("cannot set the mode of", path, errno);
  return Status::OK();
}

Status File::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Status::FromErrno("cannot remove", path, errno);
  return Status::OK();
}

Status File::RealPath(const std::string& path, std::string* real) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return Status::FromErrno("cannot open table", path, errno);
  *real = resolved;
  ::free(resolved);  // realpath's own allocation
  return Status::OK();
}
#endif

}  // namespace dbhelper
