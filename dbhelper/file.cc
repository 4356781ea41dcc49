#include "dbhelper/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace dbhelper {

#if !defined(_WIN32)
// POSIX system calls; the Windows ones are in file_win.cc.
namespace {

int sysOpen(const char* path, int how, int) {
  const int flags = how == kOpenRead ? O_RDONLY : how == kOpenReadWrite ? O_RDWR : O_WRONLY | O_CREAT;
  return ::open(path, flags | O_CLOEXEC, 0666);
}
int sysClose(int fd) { return ::close(fd); }
long sysPread(int fd, void* buf, size_t n, int64_t off) { return ::pread(fd, buf, n, off); }

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
  return ::pwritev(fd, iov, count, off);
}

int sysFtruncate(int fd, int64_t size) { return ::ftruncate(fd, size); }

// statx rather than fstat: glibc 2.33 turned fstat into a new versioned symbol, statx has
// been there since 2.28, the oldest glibc the library supports.
int sysFstat(int fd, uint64_t* size, FileId* id) {
  struct statx st;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_INO, &st) != 0) return -1;
  if (S_ISDIR(st.stx_mode)) {
    errno = EISDIR;
    return -1;
  }
  *size = static_cast<uint64_t>(st.stx_size);
  id->dev = static_cast<uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
  id->ino = static_cast<uint64_t>(st.stx_ino);
  return 0;
}

int sysLock(int fd, int type) {
  struct flock fl = {};
  fl.l_type = type == 0 ? F_UNLCK : type == 1 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  // Open-file-description locks: unlike classic POSIX locks they exclude other
  // descriptors of the same process and survive the close of an unrelated descriptor.
  return ::fcntl(fd, F_OFD_SETLK, &fl);
}

const SysCalls kReal = {sysOpen, sysClose, sysPread, sysPwritev, sysFtruncate, sysFstat, sysLock};
SysCalls gSys = kReal;

}  // namespace

SysCalls& sysCalls() { return gSys; }
const SysCalls& realSysCalls() { return kReal; }
#endif  // !_WIN32

namespace {
std::atomic<int64_t> gLockTimeoutMs{5000};
}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
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
  return Status::OK();
}

Status File::CreateIfMissing(const std::string& path) {
  int fd;
  do {
    fd = sysCalls().open(path.c_str(), kOpenCreate, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::FromErrno("cannot create table", path, errno);
  sysCalls().close(fd);
  return Status::OK();
}

Status File::Stat(uint64_t* size, FileId* id) const {
  if (sysCalls().fstat(fd_, size, id) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

Status File::ReadAt(uint64_t offset, char* buf, size_t n, size_t* got) const {
  size_t done = 0;
  while (done < n) {
    const long r = sysCalls().pread(fd_, buf + done, n - done, static_cast<int64_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return Status::FromErrno("cannot read table", path_, errno);
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
    // A regular file reads short only at its end; asking again would cost a system
    // call just to hear 0.
    if (static_cast<size_t>(r) < n - (done - static_cast<size_t>(r))) break;
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
                                static_cast<int64_t>(offset + done));
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

Status File::Truncate(uint64_t size) const {
  int r;
  do {
    r = sysCalls().ftruncate(fd_, static_cast<int64_t>(size));
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Status::FromErrno("cannot resize table", path_, errno);
  return Status::OK();
}

Status File::Lock(bool exclusive, std::chrono::steady_clock::time_point deadline) const {
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    if (sysCalls().lock(fd_, exclusive ? 2 : 1) == 0) return Status::OK();
    const int err = errno;
    if (err == EINVAL) return Status::OK();  // kernel without OFD locks: in-process lock only
    if (err != EAGAIN && err != EACCES && err != EINTR) return Status::FromErrno("cannot lock table", path_, err);
    if (std::chrono::steady_clock::now() >= deadline) {
      return Status::Busy("table " + path_ + " stays locked by another process");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

Status File::Unlock() const {
  if (sysCalls().lock(fd_, 0) != 0) return Status::FromErrno("cannot unlock table", path_, errno);
  return Status::OK();
}

// A reader/writer lock that gives waiting writers priority, so a stream of readers
// cannot starve a writer into its timeout.
struct TableLock::Entry {
  std::mutex mu;
  std::condition_variable cv;
  int readers = 0;
  bool writer = false;
  int waitingWriters = 0;

  bool lock(bool exclusive, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(mu);
    if (exclusive) {
      ++waitingWriters;
      const bool ok = waitUntil(l, deadline, [&] { return !writer && readers == 0; });
      --waitingWriters;
      if (!ok) {
        cv.notify_all();
        return false;
      }
      writer = true;
    } else {
      if (!waitUntil(l, deadline, [&] { return !writer && waitingWriters == 0; })) return false;
      ++readers;
    }
    return true;
  }

  // condition_variable::wait_until on the steady clock needs pthread_cond_clockwait (glibc
  // 2.34); a system-clock wait does not. Slices of at most 50 ms keep a clock step from
  // moving the steady deadline by more than that.
  template <typename Pred>
  bool waitUntil(std::unique_lock<std::mutex>& l, std::chrono::steady_clock::time_point deadline, Pred ready) {
    while (!ready()) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return false;
      cv.wait_until(l, std::chrono::system_clock::now() +
                           std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return true;
  }

  void unlock(bool exclusive) {
    {
      std::lock_guard<std::mutex> l(mu);
      if (exclusive) writer = false;
      else --readers;
    }
    cv.notify_all();
  }
};

namespace {

std::mutex gRegistryMu;
std::map<FileId, std::weak_ptr<TableLock::Entry>>& registry() {
  static std::map<FileId, std::weak_ptr<TableLock::Entry>> r;
  return r;
}

std::shared_ptr<TableLock::Entry> entryFor(const FileId& id) {
  std::lock_guard<std::mutex> l(gRegistryMu);
  auto& reg = registry();
  auto it = reg.find(id);
  if (it != reg.end()) {
    if (auto e = it->second.lock()) return e;
  }
  if (reg.size() > 256) {
    for (auto i = reg.begin(); i != reg.end();) i = i->second.expired() ? reg.erase(i) : std::next(i);
  }
  auto e = std::make_shared<TableLock::Entry>();
  reg[id] = e;
  return e;
}

}  // namespace

void TableLock::SetTimeout(std::chrono::milliseconds timeout) { gLockTimeoutMs = timeout.count(); }

TableLock::~TableLock() { Release(); }

Status TableLock::Acquire(const File& file, const FileId& id, bool exclusive) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(gLockTimeoutMs.load());
  auto entry = entryFor(id);
  if (!entry->lock(exclusive, deadline)) {
    return Status::Busy("table " + file.path() + " stays locked by another thread");
  }
  Status s = file.Lock(exclusive, deadline);
  if (!s.ok()) {
    entry->unlock(exclusive);
    return s;
  }
  entry_ = std::move(entry);
  file_ = &file;
  exclusive_ = exclusive;
  return Status::OK();
}

void TableLock::Release() {
  if (!entry_) return;
  if (file_->isOpen()) file_->Unlock();
  entry_->unlock(exclusive_);
  entry_.reset();
  file_ = nullptr;
}

}  // namespace dbhelper
