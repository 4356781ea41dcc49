// Shared by the fuzz targets: a table file in memory (a memfd reached through /proc, so
// the library opens, locks and truncates it like any file) and a crash-on-false check.
#ifndef FUZZ_FUZZ_UTIL_H_
#define FUZZ_FUZZ_UTIL_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

namespace fuzz {

class MemTable {
 public:
  MemTable() : fd_(memfd_create("table", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {
    if (fd_ < 0) std::abort();
  }
  ~MemTable() { close(fd_); }
  const std::string& path() const { return path_; }

  void set(std::string_view bytes) const {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    FUZZ_CHECK(pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  }
  std::string get() const {
    std::string out;
    char buf[65536];
    for (off_t off = 0;;) {
      const ssize_t n = pread(fd_, buf, sizeof buf, off);
      FUZZ_CHECK(n >= 0);
      if (n == 0) return out;
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace fuzz

#endif  // FUZZ_FUZZ_UTIL_H_
