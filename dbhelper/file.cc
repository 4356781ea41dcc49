// File: the same code on every platform, over the system-call table it was opened with
// (file_posix.cc, file_windows.cc).
#include "dbhelper/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "dbhelper/shared_storage.h"

namespace dbhelper {

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(other.fd_),
      sys_(other.sys_),
      shared_(other.shared_),
      unsynced_(other.unsynced_),
      path_(std::move(other.path_)),
      opened_(other.opened_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    sys_ = other.sys_;
    shared_ = other.shared_;
    unsynced_ = other.unsynced_;
    path_ = std::move(other.path_);
    opened_ = other.opened_;
    other.fd_ = -1;
  }
  return *this;
}

void File::Close() {
  if (fd_ >= 0) {
    sys_->close(fd_);  // closing drops the descriptor's file lock too
    fd_ = -1;
  }
}

Status File::Open(const std::string& path, Mode mode, File* out, bool* missing, const SysCalls& sys) {
  out->Close();
  *missing = false;
  int fd;
  do {
    fd = sys.open(path.c_str(), mode == Mode::kRead ? kOpenRead : kOpenReadWrite, 0);
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
  out->sys_ = &sys;
  out->path_ = path;
  Status s = out->Stat(&out->opened_);
  if (s.ok() && out->opened_.type != FileInfo::Type::kRegular) {
    // A FIFO or a device would block a read or never end; only a regular file is a table.
    s = Status::IOError("table " + path + " is " + describe(out->opened_.type) + ", not a regular file");
  }
  if (s.ok()) out->shared_ = onSharedStorage(sys, fd, out->opened_.id.dev);
  out->unsynced_ = false;
  if (!s.ok()) out->Close();
  return s;
}

Status File::CreateIfMissing(const std::string& path, bool durable, const SysCalls& sys) {
  int fd;
  do {
    fd = sys.open(path.c_str(), kOpenCreate, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::FromErrno("cannot create table", path, errno);
  // Whether this call created it is not known, so a durable create always syncs: the
  // entry may still be only in memory after another process created it.
  const int r = durable ? sys.dataSync(fd) : 0;
  const int err = errno;
  sys.close(fd);
  if (r != 0) return Status::FromErrno("cannot sync table", path, err);
  if (durable && sys.dirSync(path.c_str()) != 0) return Status::FromErrno("cannot sync the directory of table", path, errno);
  return Status::OK();
}

Status File::Sync() const {
  int r;
  do {
    r = sys_->dataSync(fd_);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Status::FromErrno("cannot sync table", path_, errno);
  unsynced_ = false;
  return Status::OK();
}

Status File::Refresh(uint64_t* size) const {
  // A file system that cannot sync this descriptor (read-only, or no fsync at all) has
  // nothing of ours to push, and asks the server for the attributes anyway.
  Status s = Sync();
  const int e = s.errnoValue();
  if (!s.ok() && e != EINVAL && e != EROFS && e != EBADF && e != ENOSYS && e != EOPNOTSUPP) return s;
  if (sys_->freshSize(fd_, size) != 0) return Status::FromErrno("cannot read table", path_, errno);
  if (sys_->dropCache(fd_) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

Status File::Stat(FileInfo* info, bool times) const {
  if (sys_->fstat(fd_, info, times) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

Status File::StatPath(const std::string& path, FileInfo* info, bool times, const SysCalls& sys) {
  if (sys.statPath(path.c_str(), info, times) != 0) return Status::FromErrno("cannot read table", path, errno);
  return Status::OK();
}

Status File::FsType(uint64_t* type) const {
  if (sys_->fsType(fd_, type) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

int File::AddWatch(int watchFd) const { return sys_->watchAdd(watchFd, fd_); }

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
    const long r = sys_->pread(fd_, buf + done, want, static_cast<int64_t>(offset + done));
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
    ++changes_;
    unsynced_ = true;
    const long w = sys_->pwritev(fd_, rest + first, static_cast<int>(n - first),
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

Status File::StillAt(bool* same, FileInfo* named) const {
  // The identity of an open file never changes: the one seen at open will do.
  const FileInfo& mine = opened_;
  FileInfo there;
  if (sys_->statPath(path_.c_str(), &there, false) != 0) {
    if (errno != ENOENT) return Status::FromErrno("cannot read table", path_, errno);
    *same = false;
    return Status::OK();
  }
  *same = there.id.dev == mine.id.dev && there.id.ino == mine.id.ino;
  if (*same && named != nullptr) *named = there;
  return Status::OK();
}

Status File::Truncate(uint64_t size) const {
  int r;
  do {
    ++changes_;
    unsynced_ = true;
    r = sys_->ftruncate(fd_, static_cast<int64_t>(size));
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
    if (queued) sys_->lock(fd_, 0, kLockIntent);
  };
  // A writer that gets the table at once has no one to go before: one call, not three.
  if (exclusive) {
    if (sys_->lock(fd_, type, kLockTable) == 0) return Status::OK();
    const int err = errno;
    if (err != EAGAIN && err != EACCES && err != EINTR) return Status::FromErrno("cannot lock table", path_, err);
  }
  for (;;) {
    int r = 0;
    if (!queued) {
      r = sys_->lock(fd_, type, kLockIntent);
      if (r == 0 && exclusive) queued = true;
      if (r == 0 && !exclusive && sys_->lock(fd_, 0, kLockIntent) != 0) {
        return Status::FromErrno("cannot unlock table", path_, errno);
      }
    }
    if (r == 0) r = sys_->lock(fd_, type, kLockTable);
    if (r == 0) {
      // Held past here, the intent byte would stall every reader for the whole write.
      if (queued && sys_->lock(fd_, 0, kLockIntent) != 0) {
        const int err = errno;
        sys_->lock(fd_, 0, kLockTable);
        return Status::FromErrno("cannot unlock table", path_, err);
      }
      return Status::OK();
    }
    const int err = errno;
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

bool File::LockRefused(const Status& s) {
  // EINVAL: a kernel without OFD locks, or a file system that refuses them; ENOLCK: an
  // NFS mount without its lock service.
  const int e = s.errnoValue();
  return s.code() == Status::Code::kIOError && (e == EINVAL || e == ENOLCK || e == EOPNOTSUPP || e == ENOSYS);
}

Status File::Unlock() const {
  if (sys_->lock(fd_, 0, kLockTable) != 0) return Status::FromErrno("cannot unlock table", path_, errno);
  return Status::OK();
}

}  // namespace dbhelper
