#include "dbhelper/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

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
// POSIX system calls; the Windows ones are in file_win.cc.
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
  const long w = ::pwritev2(fd, iov, count, -1, RWF_APPEND);
  if (w >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return w;
#endif
  // No per-write append flag (kernels before 4.16): the end as it is now.
  FileInfo info;
  if (sysFstat(fd, &info, false) != 0) return -1;
  return ::pwritev(fd, iov, count, static_cast<off_t>(info.size));
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
    events[n].kind = (ev.mask & IN_Q_OVERFLOW) ? WatchEvent::Kind::kOverflow
                     : (ev.mask & IN_IGNORED)  ? WatchEvent::Kind::kGone
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

long sysProcessId() { return static_cast<long>(::getpid()); }

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
                        sysWatchAdd,  sysWatchRemove, sysWatchRead, sysProcessId, sysDataSync,
                        sysDirSync};
SysCalls gSys = kReal;

}  // namespace

SysCalls& sysCalls() { return gSys; }
const SysCalls& realSysCalls() { return kReal; }
#endif  // !_WIN32

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)), opened_(other.opened_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    opened_ = other.opened_;
    other.fd_ = -1;
  }
  return *this;
}

void File::Close() {
  if (fd_ >= 0) {
    sysCalls().close(fd_);  // closing drops the descriptor's file lock too
    fd_ = -1;
  }
}

Status File::Open(const std::string& path, Mode mode, File* out, bool* missing) {
  out->Close();
  *missing = false;
  int fd;
  do {
    fd = sysCalls().open(path.c_str(), mode == Mode::kRead ? kOpenRead : kOpenReadWrite, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) {
      *missing = true;
      return Status::OK();
    }
    return Status::FromErrno(mode == Mode::kRead ? "cannot open table" : "cannot open table for writing",
                             path, errno);
  }
  out->fd_ = fd;
  out->path_ = path;
  Status s = out->Stat(&out->opened_);
  if (s.ok() && out->opened_.type != FileInfo::Type::kRegular) {
    // A FIFO or a device would block a read or never end; only a regular file is a table.
    s = Status::IOError("table " + path + " is " + describe(out->opened_.type) + ", not a regular file");
  }
  if (!s.ok()) out->Close();
  return s;
}

Status File::CreateIfMissing(const std::string& path, bool durable) {
  int fd;
  do {
    fd = sysCalls().open(path.c_str(), kOpenCreate, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::FromErrno("cannot create table", path, errno);
  // Whether this call created it is not known, so a durable create always syncs: the
  // entry may still be only in memory after another process created it.
  const int r = durable ? sysCalls().dataSync(fd) : 0;
  const int err = errno;
  sysCalls().close(fd);
  if (r != 0) return Status::FromErrno("cannot sync table", path, err);
  if (durable && sysCalls().dirSync(path.c_str()) != 0) return Status::FromErrno("cannot sync the directory of table", path, errno);
  return Status::OK();
}

Status File::Sync() const {
  int r;
  do {
    r = sysCalls().dataSync(fd_);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Status::FromErrno("cannot sync table", path_, errno);
  return Status::OK();
}

Status File::Stat(FileInfo* info, bool times) const {
  if (sysCalls().fstat(fd_, info, times) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

Status File::StatPath(const std::string& path, FileInfo* info, bool times) {
  if (sysCalls().statPath(path.c_str(), info, times) != 0) return Status::FromErrno("cannot read table", path, errno);
  return Status::OK();
}

Status File::FsType(uint64_t* type) const {
  if (sysCalls().fsType(fd_, type) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

int File::AddWatch(int watchFd) const { return sysCalls().watchAdd(watchFd, fd_); }

Status File::Stat(uint64_t* size, FileId* id) const {
  FileInfo info;
  Status s = Stat(&info);
  if (!s.ok()) return s;
  *size = info.size;
  *id = info.id;
  return Status::OK();
}

const char* describe(FileInfo::Type type) {
  switch (type) {
    case FileInfo::Type::kRegular: return "a regular file";
    case FileInfo::Type::kDirectory: return "a directory";
    case FileInfo::Type::kFifo: return "a FIFO";
    case FileInfo::Type::kCharDevice: return "a character device";
    case FileInfo::Type::kBlockDevice: return "a block device";
    case FileInfo::Type::kSocket: return "a socket";
    case FileInfo::Type::kOther: break;
  }
  return "not a regular file";
}

Status File::ReadAt(uint64_t offset, char* buf, size_t n, size_t* got) const {
  size_t done = 0;
  while (done < n) {
    const size_t want = n - done;
    const long r = sysCalls().pread(fd_, buf + done, want, static_cast<int64_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return Status::FromErrno("cannot read table", path_, errno);
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
    // A regular file reads short only at its end, or at the kernel's cap just below
    // 2 GiB: below a GiB the read that would return 0 can be left out.
    if (static_cast<size_t>(r) < want && want < (size_t{1} << 30)) break;
  }
  *got = done;
  return Status::OK();
}

Status File::WriteAt(uint64_t offset, const Slice* slices, size_t count, size_t* written) const {
  // Copy the slices so a partial write can resume where the kernel stopped.
  Slice rest[8];
  size_t n = 0;
  for (size_t i = 0; i < count && n < 8; ++i) {
    if (slices[i].size > 0) rest[n++] = slices[i];
  }
  size_t first = 0;
  size_t done = 0;
  *written = 0;
  while (first < n) {
    const long w = sysCalls().pwritev(fd_, rest + first, static_cast<int>(n - first),
                                      offset == kAtEnd ? -1 : static_cast<int64_t>(offset + done));
    if (w < 0) {
      if (errno == EINTR) continue;
      *written = done;
      return Status::FromErrno("cannot write table", path_, errno);
    }
    if (w == 0) {
      *written = done;
      return Status::FromErrno("cannot write table", path_, EIO);
    }
    done += static_cast<size_t>(w);
    size_t left = static_cast<size_t>(w);
    while (first < n && left >= rest[first].size) {
      left -= rest[first].size;
      ++first;
    }
    if (first < n) {
      rest[first].data += left;
      rest[first].size -= left;
    }
  }
  *written = done;
  return Status::OK();
}

Status File::StillAt(bool* same, uint64_t* size) const {
  // The identity of an open file never changes: the one seen at open will do.
  const FileInfo& mine = opened_;
  FileInfo there;
  if (sysCalls().statPath(path_.c_str(), &there, false) != 0) {
    if (errno != ENOENT) return Status::FromErrno("cannot read table", path_, errno);
    *same = false;
    return Status::OK();
  }
  *same = there.id.dev == mine.id.dev && there.id.ino == mine.id.ino;
  if (*same && size != nullptr) *size = there.size;
  return Status::OK();
}

Status File::Truncate(uint64_t size) const {
  int r;
  do {
    r = sysCalls().ftruncate(fd_, static_cast<int64_t>(size));
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Status::FromErrno("cannot resize table", path_, errno);
  return Status::OK();
}

Status File::Lock(bool exclusive, std::chrono::steady_clock::time_point deadline) const {
  const int type = exclusive ? 2 : 1;
  auto pause = std::chrono::microseconds(20);
  // A writer keeps the intent byte from its first try until it has the table, so readers
  // that come meanwhile wait; a reader only checks it is free, on every try.
  bool queued = false;
  auto leaveQueue = [&] {
    if (queued) sysCalls().lock(fd_, 0, kLockIntent);
  };
  // A writer that gets the table at once has no one to go before: one call, not three.
  if (exclusive) {
    if (sysCalls().lock(fd_, type, kLockTable) == 0) return Status::OK();
    const int err = errno;
    if (err != EAGAIN && err != EACCES && err != EINTR && err != EINVAL) return Status::FromErrno("cannot lock table", path_, err);
  }
  for (;;) {
    int r = 0;
    if (!queued) {
      r = sysCalls().lock(fd_, type, kLockIntent);
      if (r == 0 && exclusive) queued = true;
      if (r == 0 && !exclusive && sysCalls().lock(fd_, 0, kLockIntent) != 0) {
        return Status::FromErrno("cannot unlock table", path_, errno);
      }
    }
    if (r == 0) r = sysCalls().lock(fd_, type, kLockTable);
    if (r == 0) {
      // Held past here, the intent byte would stall every reader for the whole write.
      if (queued && sysCalls().lock(fd_, 0, kLockIntent) != 0) {
        const int err = errno;
        sysCalls().lock(fd_, 0, kLockTable);
        return Status::FromErrno("cannot unlock table", path_, err);
      }
      return Status::OK();
    }
    const int err = errno;
    if (err == EINVAL) {  // kernel without OFD locks: in-process lock only
      leaveQueue();
      return Status::OK();
    }
    if (err != EAGAIN && err != EACCES && err != EINTR) {
      leaveQueue();
      return Status::FromErrno("cannot lock table", path_, err);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      leaveQueue();
      return Status::Busy("table " + path_ + " stays locked by another process");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

Status File::Unlock() const {
  if (sysCalls().lock(fd_, 0, kLockTable) != 0) return Status::FromErrno("cannot unlock table", path_, errno);
  return Status::OK();
}

}  // namespace dbhelper
