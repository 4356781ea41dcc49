// Windows system calls behind the file seam (file.h): paths are UTF-8 and opened as UTF-16
// with CreateFileW, reads and writes are positioned through OVERLAPPED offsets, and the
// cross-process lock is LockFileEx on the table's range and on the intent byte past it.
// Descriptors are C runtime ones (from _open_osfhandle), so File (file.cc) is the same
// code on every platform.
#if defined(_WIN32)

#include "dbhelper/file.h"
#include "dbhelper/utf.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace dbhelper {

namespace {

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

// Returns the UTF-16 path for a UTF-8 one, unit for unit: a lone surrogate (which Java
// allows in a name) comes back as itself, not as U+FFFD, so it names its own file. Bytes
// that are no UTF-8 at all fail with EINVAL rather than open some other name. A path
// past MAX_PATH gets the \\?\ prefix, without which Windows refuses it.
bool widePath(const char* path, std::wstring* out) {
  const std::u16string units = decodeUtf8(path);
  if (encodeUtf8(units) != path) {
    errno = EINVAL;
    return false;
  }
  out->assign(units.begin(), units.end());
  if (out->size() < MAX_PATH || out->rfind(L"\\\\?\\", 0) == 0) return true;
  const DWORD n = GetFullPathNameW(out->c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  const DWORD got = n > 0 ? GetFullPathNameW(out->c_str(), n, full.data(), nullptr) : 0;
  if (got == 0 || got >= n) {
    failWith(GetLastError());
    return false;
  }
  full.resize(got);
  *out = full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
  return true;
}

int sysOpen(const char* path, int how, int) {
  std::wstring wpath;
  if (!widePath(path, &wpath)) return -1;
  const DWORD access = how == kOpenRead ? GENERIC_READ
                       : how == kOpenCreate ? GENERIC_WRITE
                                            : GENERIC_READ | GENERIC_WRITE;
  // Share everything: other handles (threads, processes) coexist and order themselves
  // through the byte-range lock, as on POSIX systems.
  HANDLE h = CreateFileW(wpath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, how == kOpenCreate ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // A directory cannot be opened as a file at all; say so rather than "access denied".
    const DWORD attrs = GetFileAttributesW(wpath.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
      errno = EISDIR;
      return -1;
    }
    return failWith(err);
  }
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

// LockFileEx on `region` (file.h), or UnlockFileEx, which must name the exact range locked.
bool lockRegion(HANDLE h, int type, int region) {
  const uint64_t len = region == kLockTable ? static_cast<uint64_t>(kIntentOffset) : 1;
  OVERLAPPED ov = at(region == kLockTable ? 0 : kIntentOffset);
  const DWORD lo = static_cast<DWORD>(len & 0xffffffffu);
  const DWORD hi = static_cast<DWORD>(len >> 32);
  if (type == 0) return UnlockFileEx(h, 0, lo, hi, &ov) != 0;
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (type == 2 ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  return LockFileEx(h, flags, 0, lo, hi, &ov) != 0;
}

int sysClose(int fd) {
  // Locks are dropped at close only "eventually" on Windows; release them first so the
  // next holder need not wait.
  lockRegion(handleOf(fd), 0, kLockTable);
  lockRegion(handleOf(fd), 0, kLockIntent);
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
      OVERLAPPED ov = at(off < 0 ? -1 : off + done);  // all ones: at the end of the file
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

// 100 ns ticks since 1601 to ns since 1970.
int64_t unixNs(int64_t ticks) { return (ticks - 116444736000000000LL) * 100; }

int sysFstat(int fd, FileInfo* out, bool) {
  HANDLE h = handleOf(fd);
  // Devices and pipes have no file information: say what they are first.
  const DWORD kind = GetFileType(h);
  if (kind != FILE_TYPE_DISK) {
    *out = FileInfo();
    out->type = kind == FILE_TYPE_PIPE ? FileInfo::Type::kFifo
                : kind == FILE_TYPE_CHAR ? FileInfo::Type::kCharDevice
                                         : FileInfo::Type::kOther;
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return failWith(GetLastError());
  out->type = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? FileInfo::Type::kDirectory : FileInfo::Type::kRegular;
  out->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out->id.dev = info.dwVolumeSerialNumber;
  out->id.ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
    out->ctimeNs = unixNs(basic.ChangeTime.QuadPart);
    out->mtimeNs = unixNs(basic.LastWriteTime.QuadPart);
  } else {
    out->ctimeNs = 0;
    out->mtimeNs = 0;
  }
  return 0;
}

int sysLock(int fd, int type, int region) {
  // Byte ranges may lie past the end of the file here too: the table's range covers
  // bytes appended while it is held and leaves the intent byte to waiting writers.
  if (!lockRegion(handleOf(fd), type, region)) {
    // Only a lock held elsewhere is worth waiting for. Nothing here may read as EINVAL,
    // which the caller takes for a system without such locks and goes on unlocked.
    const DWORD err = GetLastError();
    errno = err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? EAGAIN : err == ERROR_NOT_ENOUGH_MEMORY ? ENOMEM : ENOLCK;
    return -1;
  }
  return 0;
}

int sysStatPath(const char* path, FileInfo* out, bool times) {
  const int fd = sysOpen(path, kOpenRead, 0);
  if (fd < 0) return -1;
  const int r = sysFstat(fd, out, times);
  sysClose(fd);
  return r;
}

// No notification here that is ordered after a write's bytes land, so freshness is never
// proven on Windows and every call reads the table.
int sysFsType(int, uint64_t*) {
  errno = ENOSYS;
  return -1;
}
int sysWatchOpen() {
  errno = ENOSYS;
  return -1;
}
int sysWatchAdd(int, int) {
  errno = ENOSYS;
  return -1;
}
int sysWatchRemove(int, int) {
  errno = ENOSYS;
  return -1;
}
int sysWatchRead(int, WatchEvent*, int) {
  errno = ENOSYS;
  return -1;
}

int sysDataSync(int fd) {
  return FlushFileBuffers(handleOf(fd)) ? 0 : failWith(GetLastError());
}
// Windows has no sync of a directory; NTFS journals the new entry, and FlushFileBuffers
// of the file forces out its metadata.
int sysDirSync(const char*) { return 0; }
// No file system here is taken for shared storage (sysFsType tells none): never called.
int sysFreshSize(int fd, uint64_t* size) {
  FileInfo info;
  if (sysFstat(fd, &info, false) != 0) return -1;
  *size = info.size;
  return 0;
}
int sysDropCache(int) { return 0; }

const SysCalls kReal = {sysOpen,      sysClose,       sysPread,     sysPwritev,   sysFtruncate,
                        sysFstat,     sysLock,        sysStatPath,  sysFsType,    sysWatchOpen,
                        sysWatchAdd,  sysWatchRemove, sysWatchRead,
                        sysDataSync,  sysDirSync,     sysFreshSize, sysDropCache};

}  // namespace

const SysCalls& realSysCalls() { return kReal; }

Status File::Rename(const std::string& from, const std::string& to) {
  std::wstring wfrom, wto;
  if (!widePath(from.c_str(), &wfrom) || !widePath(to.c_str(), &wto)) {
    return Status::FromErrno("cannot rename " + from + " to", to, errno);
  }
  // Fails while another process has the table open without FILE_SHARE_DELETE.
  if (!MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Status::FromErrno("cannot rename " + from + " to", to, errnoFrom(GetLastError()));
  }
  return Status::OK();
}

// Windows files carry no POSIX mode; a new file inherits the directory's access rules.
Status File::Adopt(const std::string&, const FileInfo&) { return Status::OK(); }

Status File::Remove(const std::string& path) {
  std::wstring wpath;
  if (!widePath(path.c_str(), &wpath)) return Status::FromErrno("cannot remove", path, errno);
  if (!DeleteFileW(wpath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    return Status::FromErrno("cannot remove", path, errnoFrom(GetLastError()));
  }
  return Status::OK();
}

Status File::RealPath(const std::string& path, std::string* real) {
  *real = path;
  return Status::OK();
}

}  // namespace dbhelper

#endif  // _WIN32
