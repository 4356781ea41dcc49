// Windows implementation of the file seam (file.h): paths are UTF-8 and opened as UTF-16
// with CreateFileW, reads and writes are positioned through OVERLAPPED offsets, and the
// cross-process lock is LockFileEx on the whole file. File keeps a C runtime descriptor
// (from _open_osfhandle) so its interface is the same as on POSIX systems.
#if defined(_WIN32)

#include "dbhelper/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace dbhelper {

namespace {

constexpr int kOpenRead = 0;
constexpr int kOpenReadWrite = 1;
constexpr int kOpenCreate = 2;  // write-only, created when missing

int errnoFrom(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return EAGAIN;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    default:
      return EIO;
  }
}

int failWith(DWORD err) {
  errno = errnoFrom(err);
  return -1;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

OVERLAPPED at(int64_t off) {
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(static_cast<uint64_t>(off) & 0xffffffffu);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(off) >> 32);
  return ov;
}

int sysOpen(const char* path, int how, int) {
  const int wlen = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (wlen <= 0) return failWith(GetLastError());
  std::wstring wpath(static_cast<size_t>(wlen), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wpath.data(), wlen);
  const DWORD access = how == kOpenRead ? GENERIC_READ
                       : how == kOpenCreate ? GENERIC_WRITE
                                            : GENERIC_READ | GENERIC_WRITE;
  // Share everything: other handles (threads, processes) coexist and order themselves
  // through the byte-range lock, as on POSIX systems.
  HANDLE h = CreateFileW(wpath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, how == kOpenCreate ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return failWith(GetLastError());
  const int flags = (how == kOpenRead ? _O_RDONLY : how == kOpenCreate ? _O_WRONLY : _O_RDWR) | _O_BINARY |
                    _O_NOINHERIT;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

int sysClose(int fd) {
  // Locks are dropped at close only "eventually" on Windows; release them first so the
  // next holder need not wait.
  OVERLAPPED ov = at(0);
  UnlockFileEx(handleOf(fd), 0, MAXDWORD, MAXDWORD, &ov);
  return _close(fd);
}

long sysPread(int fd, void* buf, size_t n, int64_t off) {
  OVERLAPPED ov = at(off);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
  if (!ReadFile(handleOf(fd), buf, want, &got, &ov)) {
    const DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF) return 0;
    return failWith(err);
  }
  return static_cast<long>(got);
}

// long is 32 bits here: one call writes at most 1 GiB and reports a short write beyond.
long sysPwritev(int fd, const Slice* slices, int count, int64_t off) {
  long done = 0;
  for (int i = 0; i < count && done < (1L << 30); ++i) {
    size_t left = slices[i].size;
    const char* p = slices[i].data;
    while (left > 0 && done < (1L << 30)) {
      OVERLAPPED ov = at(off + done);
      DWORD wrote = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(left, 1u << 30));
      if (!WriteFile(handleOf(fd), p, want, &wrote, &ov)) {
        const DWORD err = GetLastError();
        if (done > 0) return done;  // report the part that did reach the file
        return failWith(err);
      }
      if (wrote == 0) return done;
      done += static_cast<long>(wrote);
      p += wrote;
      left -= wrote;
    }
  }
  return done;
}

int sysFtruncate(int fd, int64_t size) {
  HANDLE h = handleOf(fd);
  LARGE_INTEGER to;
  to.QuadPart = size;
  if (!SetFilePointerEx(h, to, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return failWith(GetLastError());
  return 0;
}

int sysFstat(int fd, uint64_t* size, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(fd), &info)) return failWith(GetLastError());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    errno = EISDIR;
    return -1;
  }
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id->dev = info.dwVolumeSerialNumber;
  id->ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

int sysLock(int fd, int type) {
  OVERLAPPED ov = at(0);
  HANDLE h = handleOf(fd);
  // The whole possible range, so the lock covers bytes appended while it is held.
  if (type == 0) {
    if (!UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov)) return failWith(GetLastError());
    return 0;
  }
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (type == 2 ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &ov)) return failWith(GetLastError());
  return 0;
}

const SysCalls kReal = {sysOpen, sysClose, sysPread, sysPwritev, sysFtruncate, sysFstat, sysLock};
SysCalls gSys = kReal;

std::atomic<int64_t> gLockTimeoutMs{5000};

}  // namespace

SysCalls& sysCalls() { return gSys; }
const SysCalls& realSysCalls() { return kReal; }

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
    gSys.close(fd_);
    fd_ = -1;
  }
}

Status File::Open(const std::string& path, Mode mode, File* out, bool* missing) {
  out->Close();
  *missing = false;
  const int fd = gSys.open(path.c_str(), mode == Mode::kRead ? kOpenRead : kOpenReadWrite, 0);
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
  const int fd = gSys.open(path.c_str(), kOpenCreate, 0);
  if (fd < 0) return Status::FromErrno("cannot create table", path, errno);
  gSys.close(fd);
  return Status::OK();
}

Status File::Stat(uint64_t* size, FileId* id) const {
  if (gSys.fstat(fd_, size, id) != 0) return Status::FromErrno("cannot read table", path_, errno);
  return Status::OK();
}

Status File::ReadAt(uint64_t offset, char* buf, size_t n, size_t* got) const {
  size_t done = 0;
  while (done < n) {
    const long r = gSys.pread(fd_, buf + done, n - done, static_cast<int64_t>(offset + done));
    if (r < 0) {
      *got = done;
      return Status::FromErrno("cannot read table", path_, errno);
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  *got = done;
  return Status::OK();
}

Status File::WriteAt(uint64_t offset, const Slice* slices, size_t count, size_t* written) const {
  Slice rest[8];
  size_t n = 0;
  for (size_t i = 0; i < count && n < 8; ++i) {
    if (slices[i].size > 0) rest[n++] = slices[i];
  }
  size_t first = 0;
  size_t done = 0;
  *written = 0;
  while (first < n) {
    const long w = gSys.pwritev(fd_, rest + first, static_cast<int>(n - first),
                                static_cast<int64_t>(offset + done));
    if (w < 0) {
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
  if (gSys.ftruncate(fd_, static_cast<int64_t>(size)) != 0) {
    return Status::FromErrno("cannot resize table", path_, errno);
  }
  return Status::OK();
}

Status File::Lock(bool exclusive, std::chrono::steady_clock::time_point deadline) const {
  // LockFileEx can wait by itself, but not with a deadline: poll with a growing pause.
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    if (gSys.lock(fd_, exclusive ? 2 : 1) == 0) return Status::OK();
    const int err = errno;
    if (err != EAGAIN && err != EACCES) return Status::FromErrno("cannot lock table", path_, err);
    if (std::chrono::steady_clock::now() >= deadline) {
      return Status::Busy("table " + path_ + " stays locked by another process");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

Status File::Unlock() const {
  if (gSys.lock(fd_, 0) != 0) return Status::FromErrno("cannot unlock table", path_, errno);
  return Status::OK();
}

// The in-process half of the table lock is the same as on POSIX systems: a reader/writer
// lock per file identity that gives waiting writers priority.
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
      const bool ok = cv.wait_until(l, deadline, [&] { return !writer && readers == 0; });
      --waitingWriters;
      if (!ok) {
        cv.notify_all();
        return false;
      }
      writer = true;
    } else {
      if (!cv.wait_until(l, deadline, [&] { return !writer && waitingWriters == 0; })) return false;
      ++readers;
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

#endif  // defined(_WIN32)
