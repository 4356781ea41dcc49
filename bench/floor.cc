// The floor of the table benchmark: every operation done with only the system calls
// that re-reading a text file on each call cannot avoid, and no library around them.
//   count, row: open + fstat + read of the whole file + close, then a scan in memory
//   append:     open(O_APPEND) + write + close
//   insert:     open + fstat + read + one pwritev of the new line and the tail + close
// and the floor of a cached read (count-cached, row-cached): with the file kept open and
// watched, only the library's freshness check (statx of the path, a non-blocking read of
// the inotify instance) and its one trace write, answered from memory.
//
// BenchDriver runs this program as a child and sends it one command per line on
// standard input, fields separated by tabs; it answers one line per command:
//   line TEXT                      the row line that append and insert write (LF added)
//   run OP PATH PRISTINE N ARG     time N operations; answers "ok TOTAL_NS"
//   check OP PATH ARG              one operation; answers "ok RESULT"
// OP is count, row, append or insert; ARG is the 1-based row (row) or the line (insert).
// Before every timed append or insert PATH is restored from the bytes of PRISTINE
// outside the timed region, the same way the driver restores the Java systems' files:
// the bytes from where the operation writes on, then ftruncate to the pristine length.
// Failures answer "error MESSAGE".

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t kMaxLine = 99;
constexpr std::size_t kMaxFields = 10;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class Fd {
 public:
  Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC)) {
    if (fd_ < 0) fail("open " + path);
  }
  explicit Fd(int fd) : fd_(fd) {
    if (fd_ < 0) fail("inotify_init1");
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Kept across operations: growing it is a one-off, not part of any operation's cost.
std::vector<char> readBuf;

// fstat + read of the whole file into readBuf; normally a single read(2).
std::string_view readWhole(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) fail("fstat");
  const auto want = static_cast<std::size_t>(st.st_size);
  if (readBuf.size() < want) readBuf.resize(want);
  std::size_t got = 0;
  while (got < want) {
    const ssize_t r = ::read(fd, readBuf.data() + got, want - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      fail("read");
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return {readBuf.data(), got};
}

void writeAll(int fd, std::span<iovec> parts, off_t at) {
  std::size_t i = 0;
  while (i < parts.size()) {
    const ssize_t w = ::pwritev(fd, parts.data() + i, static_cast<int>(parts.size() - i), at);
    if (w < 0) {
      if (errno == EINTR) continue;
      fail("pwritev");
    }
    at += w;
    auto left = static_cast<std::size_t>(w);
    while (i < parts.size() && left >= parts[i].iov_len) left -= parts[i++].iov_len;
    if (i < parts.size()) {
      parts[i].iov_base = static_cast<char*>(parts[i].iov_base) + left;
      parts[i].iov_len -= left;
    }
  }
}

// One line starting at pos: its text without the line end (LF, or CR LF) and the
// position after it.
struct Line {
  std::string_view text;
  std::size_t next;
  bool tooLong() const { return text.size() > kMaxLine; }
};

Line lineAt(std::string_view d, std::size_t pos) {
  const void* lf = std::memchr(d.data() + pos, '\n', d.size() - pos);
  if (lf == nullptr) return {d.substr(pos), d.size()};
  const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - d.data());
  const std::size_t textEnd = end > pos && d[end - 1] == '\r' ? end - 1 : end;
  return {d.substr(pos, textEnd - pos), end + 1};
}

// Exact line-by-line versions; the fast scans below fall back to them.
std::int64_t skipLinesExact(std::string_view d, std::size_t pos, long lines) {
  for (long i = 0; i < lines; ++i) {
    if (pos >= d.size()) return -1;
    const Line l = lineAt(d, pos);
    if (l.tooLong()) return -1;
    pos = l.next;
  }
  return static_cast<std::int64_t>(pos);
}

// Lines from pos up to the end or the first line that is too long.
long countLinesExact(std::string_view d, std::size_t pos) {
  long lines = 0;
  for (; pos < d.size(); ++lines) {
    const Line l = lineAt(d, pos);
    if (l.tooLong()) break;
    pos = l.next;
  }
  return lines;
}

// Bit i set when p[i] is a line feed.
std::uint64_t lfMask64(const char* p) {
  std::uint64_t m = 0;
  for (int i = 0; i < 64; ++i) m |= std::uint64_t{p[i] == '\n'} << i;
  return m;
}

// The scans below walk whole 64-byte blocks counting line feeds. A line of 63 or more
// characters covers an aligned 32-byte half without a line feed, so as long as every
// half has one, no line in the blocks can be too long; when one has none, the exact
// scan takes over. The tail after the last full block is always scanned exactly.
struct Block {
  unsigned lfs;
  bool halfWithoutLf;
};

Block scanBlock(const char* p) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  auto eq = [&](int k) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)), lf);
  };
  const __m128i c0 = eq(0), c1 = eq(1), c2 = eq(2), c3 = eq(3);
  const bool empty = _mm_movemask_epi8(_mm_or_si128(c0, c1)) == 0 ||
                     _mm_movemask_epi8(_mm_or_si128(c2, c3)) == 0;
  // Each matching byte is -1; negate the lane sums and add them horizontally.
  const __m128i perLane = _mm_sub_epi8(
      _mm_setzero_si128(), _mm_add_epi8(_mm_add_epi8(c0, c1), _mm_add_epi8(c2, c3)));
  const __m128i sums = _mm_sad_epu8(perLane, _mm_setzero_si128());
  const auto lfs = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  return {lfs, empty};
#else
  const std::uint64_t m = lfMask64(p);
  return {static_cast<unsigned>(std::popcount(m)), (m & 0xffff'ffffULL) == 0 || (m >> 32) == 0};
#endif
}

// Position just past the last line feed before `end`, or 0.
std::size_t afterLastLf(std::string_view d, std::size_t end) {
  const void* lf = ::memrchr(d.data(), '\n', end);
  return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - d.data()) + 1 : 0;
}

// Position after `lines` lines, or -1 when the file has fewer or one is too long.
std::int64_t skipLines(std::string_view d, long lines) {
  if (lines <= 0) return 0;
  const std::size_t full = d.size() & ~std::size_t{63};
  auto want = static_cast<unsigned long>(lines);
  std::size_t base = 0;
  for (; base < full; base += 64) {
    const Block b = scanBlock(d.data() + base);
    if (b.halfWithoutLf) return skipLinesExact(d, 0, lines);
    if (b.lfs >= want) {
      std::uint64_t m = lfMask64(d.data() + base);
      for (; want > 1; --want) m &= m - 1;
      return static_cast<std::int64_t>(base + static_cast<std::size_t>(std::countr_zero(m)) + 1);
    }
    want -= b.lfs;
  }
  return skipLinesExact(d, afterLastLf(d, full), static_cast<long>(want));
}

int countRows(std::string_view d) {
  const std::size_t full = d.size() & ~std::size_t{63};
  long lines = 0;
  std::size_t from = 0;
  for (std::size_t base = 0; base < full; base += 64) {
    const Block b = scanBlock(d.data() + base);
    if (b.halfWithoutLf) {
      lines = -1;
      break;
    }
    lines += b.lfs;
  }
  if (lines < 0)
    lines = 0;
  else
    from = afterLastLf(d, full);
  lines += countLinesExact(d, from);
  return lines > 0 ? static_cast<int>(lines - 1) : 0;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view ws = " \t\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

struct Fields {
  std::array<std::string_view, kMaxFields> f{};
  std::size_t n = 0;
};

Fields split(std::string_view line) {
  Fields out;
  std::size_t pos = 0;
  while (pos < line.size() && out.n < kMaxFields) {
    std::size_t bar = line.find('|', pos);
    if (bar == std::string_view::npos) bar = line.size();
    out.f[out.n++] = trim(line.substr(pos, bar - pos));
    pos = bar + 1;  // a bar at the very end adds no empty field
  }
  return out;
}

std::string rendered;  // reused, like readBuf
volatile std::size_t sink;  // keeps results observable

// Renders the data row that starts at `start` as NAME=value pairs.
const std::string& renderAt(std::string_view d, std::int64_t start) {
  rendered.clear();
  if (start < 0 || static_cast<std::size_t>(start) >= d.size()) return rendered;
  const Line header = lineAt(d, 0);
  const Line row = lineAt(d, static_cast<std::size_t>(start));
  if (header.tooLong() || row.tooLong()) return rendered;
  const Fields names = split(header.text);
  const Fields values = split(row.text);
  // Fields beyond the header have no name to show.
  for (std::size_t j = 0; j < values.n && j < names.n; ++j) {
    if (j > 0) rendered += ',';
    rendered += names.f[j];
    rendered += '=';
    rendered += values.f[j];
  }
  return rendered;
}

// Renders data row `index`; empty when out of range.
const std::string& renderRow(std::string_view d, long index) {
  rendered.clear();
  if (index < 1 || d.empty()) return rendered;
  return renderAt(d, skipLines(d, index));
}

std::string rowLine = "bench|4242|12/8/2026\n";

int opCount(const std::string& path) {
  const Fd fd(path, O_RDONLY);
  return countRows(readWhole(fd.get()));
}

std::size_t opRow(const std::string& path, long index) {
  std::string_view d;
  {
    const Fd fd(path, O_RDONLY);
    d = readWhole(fd.get());
  }
  return renderRow(d, index).size();
}

void opAppend(const std::string& path) {
  const Fd fd(path, O_WRONLY | O_APPEND);
  ssize_t w;
  do w = ::write(fd.get(), rowLine.data(), rowLine.size());
  while (w < 0 && errno == EINTR);
  if (w != static_cast<ssize_t>(rowLine.size())) fail("write");
}

void opInsert(const std::string& path, long line) {
  const Fd fd(path, O_RDWR);
  const std::string_view d = readWhole(fd.get());
  const std::int64_t pos = skipLines(d, line);
  if (pos < 0) {
    errno = 0;
    throw std::out_of_range("line beyond the end");
  }
  std::array<iovec, 2> parts{
      iovec{rowLine.data(), rowLine.size()},
      iovec{const_cast<char*>(d.data()) + pos, d.size() - static_cast<std::size_t>(pos)}};
  writeAll(fd.get(), parts, static_cast<off_t>(pos));
}

// A cached read's floor: the table read once and kept with its watch; every call
// repeats the library's freshness check and writes its trace to /dev/null.
class CachedReader {
 public:
  CachedReader(const std::string& path, long index)
      : path_(path), file_(path, O_RDONLY), watch_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        null_("/dev/null", O_WRONLY) {
    const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
    if (::inotify_add_watch(watch_.get(), self.c_str(),
                            IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0)
      fail("inotify_add_watch");
    check(&base_);
    const std::string_view d = readWhole(file_.get());
    data_.assign(d);
    rows_ = countRows(data_);
    rowStart_ = index >= 1 ? skipLines(data_, index) : -1;
    countTrace_ = "calling getnumrows in dbiface\nDBHelper constructor\nreturning " +
                  std::to_string(rows_) + " from getnumrows in dbiface\n";
  }

  int count() {
    check(nullptr);
    trace(countTrace_);
    return rows_;
  }

  const std::string& row() {
    check(nullptr);
    trace("DBHelper constructor\n");
    return renderAt(data_, rowStart_);
  }

 private:
  static constexpr unsigned kMask = STATX_TYPE | STATX_SIZE | STATX_INO | STATX_CTIME | STATX_MTIME;

  void check(struct statx* keep) {
    // As the library's cached read: the path alone, no descriptor of its own.
    struct statx open{};
    if (::statx(AT_FDCWD, path_.c_str(), 0, kMask, &open) != 0) fail("statx " + path_);
    alignas(inotify_event) char buf[1024];
    if (::read(watch_.get(), buf, sizeof buf) >= 0 || errno != EAGAIN) fail("table changed");
    if (keep != nullptr) *keep = open;
    auto same = [](const statx_timestamp& a, const statx_timestamp& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    if (open.stx_ino != base_.stx_ino || open.stx_size != base_.stx_size ||
        !same(open.stx_ctime, base_.stx_ctime) || !same(open.stx_mtime, base_.stx_mtime))
      fail("table changed");
  }

  void trace(std::string_view t) {
    if (::write(null_.get(), t.data(), t.size()) != static_cast<ssize_t>(t.size())) fail("write");
  }

  std::string path_;
  Fd file_, watch_, null_;
  struct statx base_{};
  std::string data_;
  int rows_ = 0;
  std::int64_t rowStart_ = -1;
  std::string countTrace_;
};

std::vector<char> pristine;

void loadPristine(const std::string& path) {
  const Fd fd(path, O_RDONLY);
  const std::string_view d = readWhole(fd.get());
  pristine.assign(d.begin(), d.end());
}

// Puts the pristine bytes back from `from` on, where the last operation began to
// write, and cuts the file to the pristine length; the inode stays the same.
void restore(const std::string& path, std::size_t from) {
  const Fd fd(path, O_WRONLY);
  std::array<iovec, 1> parts{iovec{pristine.data() + from, pristine.size() - from}};
  writeAll(fd.get(), parts, static_cast<off_t>(from));
  if (::ftruncate(fd.get(), static_cast<off_t>(pristine.size())) != 0) fail("ftruncate");
}

long toLong(std::string_view s) {
  long v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || p != s.data() + s.size())
    throw std::invalid_argument("not a number: " + std::string(s));
  return v;
}

std::vector<std::string_view> tabFields(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::size_t pos = 0;;) {
    const std::size_t tab = s.find('\t', pos);
    out.push_back(s.substr(pos, tab == std::string_view::npos ? s.npos : tab - pos));
    if (tab == std::string_view::npos) return out;
    pos = tab + 1;
  }
}

std::string runCommand(std::string_view cmdline) {
  const auto a = tabFields(cmdline);
  if (a[0] == "line" && a.size() == 2) {
    rowLine.assign(a[1]);
    rowLine += '\n';
    return "ok";
  }
  if (a[0] == "check" && a.size() == 4) {
    const std::string op(a[1]), path(a[2]);
    const long arg = toLong(a[3]);
    if (op == "count") return "ok " + std::to_string(opCount(path));
    if (op == "row") {
      opRow(path, arg);
      return "ok " + rendered;
    }
    if (op == "append") {
      opAppend(path);
      return "ok";
    }
    if (op == "insert") {
      opInsert(path, arg);
      return "ok";
    }
    if (op == "count-cached") return "ok " + std::to_string(CachedReader(path, arg).count());
    if (op == "row-cached") return "ok " + CachedReader(path, arg).row();
  }
  if (a[0] == "run" && a.size() == 6) {
    const std::string op(a[1]), path(a[2]), pristinePath(a[3]);
    const long n = toLong(a[4]), arg = toLong(a[5]);
    std::int64_t total = 0;
    if (op == "count-cached" || op == "row-cached") {
      CachedReader reader(path, arg);
      const bool count = op == "count-cached";
      const std::int64_t t0 = nowNs();
      for (long i = 0; i < n; ++i)
        sink = sink + (count ? static_cast<std::size_t>(reader.count()) : reader.row().size());
      total = nowNs() - t0;
    } else if (op == "count" || op == "row") {
      const bool count = op == "count";
      const std::int64_t t0 = nowNs();
      for (long i = 0; i < n; ++i)
        sink = sink + (count ? static_cast<std::size_t>(opCount(path)) : opRow(path, arg));
      total = nowNs() - t0;
    } else if (op == "append" || op == "insert") {
      loadPristine(pristinePath);
      const bool append = op == "append";
      const std::int64_t at =
          append ? static_cast<std::int64_t>(pristine.size())
                 : skipLines({pristine.data(), pristine.size()}, arg);
      if (at < 0) throw std::out_of_range("line beyond the end");
      const auto from = static_cast<std::size_t>(at);
      for (long i = 0; i < n; ++i) {
        restore(path, from);
        const std::int64_t t0 = nowNs();
        if (append)
          opAppend(path);
        else
          opInsert(path, arg);
        total += nowNs() - t0;
      }
      restore(path, 0);
    } else {
      throw std::invalid_argument("unknown operation " + op);
    }
    return "ok " + std::to_string(total);
  }
  throw std::invalid_argument("bad command: " + std::string(cmdline));
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string cmd;
  while (std::getline(std::cin, cmd)) {
    std::string answer;
    try {
      answer = runCommand(cmd);
    } catch (const std::exception& e) {
      answer = std::string("error ") + e.what();
    }
    for (char& c : answer)
      if (c == '\n') c = ' ';
    std::cout << answer << '\n' << std::flush;
  }
  return 0;
}
