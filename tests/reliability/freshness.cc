// Freshness oracle: a forked mutator changes the table behind the library's back in every
// way the kernel allows, and every library answer must be what a fresh read of the file
// gives. Sequential phase: after each change completes (the mutator answers through a
// pipe) the parent asks the library (counts, rows, an append's placement) and the
// freshness check, and compares with an independent reader. Concurrent phase: the mutator
// runs freely and logs each state it produced with the time span it may have been seen in;
// each answer must match a state that was there during the call, or a write of its that
// lengthens the file seen cut at a page boundary (counted apart: the kernel shows those).
//
//   reliability_freshness [CHANGES]   default 10000 sequential changes on the temp
//                                      directory, a fifth of that again on tmpfs
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/freshness.h"
#include "tests/reliability/harness.h"

namespace {

using dbhelper::DBHelper;
using Clock = std::chrono::steady_clock;

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// ---- What the file says, read without the library ----

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> out;
  auto ends = [&](size_t k) { return k >= line.size() || line[k] == '\n' || line[k] == '\0'; };
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  size_t i = 0;
  while (!ends(i) && out.size() < 10) {
    const size_t b = i;
    while (!ends(i) && line[i] != '|') ++i;
    size_t s = b;
    size_t e = i;
    while (s < e && blank(line[s])) ++s;
    while (e > s && blank(line[e - 1])) --e;
    out.push_back(line.substr(s, std::min<size_t>(e - s, 199)));
    if (i < line.size() && line[i] == '|') ++i;
  }
  return out;
}

struct Answers {
  bool ok = true;
  int32_t rows = 0;
  std::map<int32_t, std::string> row;  // getRow(i) for the probed i

  bool operator==(const Answers& o) const { return ok == o.ok && rows == o.rows && row == o.row; }
};

struct Table {
  bool readable = true;
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;

  // bytes: nullopt for a missing file.
  static Table of(const std::optional<std::string>& bytes) {
    Table t;
    if (!bytes) return t;
    const std::string& b = *bytes;
    for (size_t p = 0, n = 0; p < b.size(); ++n) {
      const size_t lf = b.find('\n', p);
      const size_t e = lf == std::string::npos ? b.size() : lf;
      size_t len = e - p;
      if (lf != std::string::npos && len > 0 && b[e - 1] == '\r') --len;  // CR LF is one line end
      if (n == 0) {
        t.header = fieldsOf(b.substr(p, std::min<size_t>(len, 99)));
        if (len > 99) break;
      } else {
        if (len > 99) break;
        t.rows.push_back(fieldsOf(b.substr(p, len)));
      }
      p = e + 1;
    }
    return t;
  }

  std::string render(int32_t i) const {
    if (i < 1 || i > static_cast<int32_t>(rows.size())) return "";
    const auto& r = rows[i - 1];
    std::string out;
    for (size_t j = 0; j < std::min(r.size(), header.size()); ++j) {
      if (j > 0) out += ',';
      out += header[j] + "=" + r[j];
    }
    return out;
  }

  Answers answers(const std::vector<int32_t>& probes) const {
    Answers a;
    a.ok = readable;
    if (!readable) return a;
    a.rows = static_cast<int32_t>(rows.size());
    for (int32_t i : probes) a.row[i] = render(i);
    return a;
  }
};

std::optional<std::string> freshBytes(const std::string& path, bool* readable) {
  *readable = true;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *readable = errno == ENOENT;
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

Table freshTable(const std::string& path) {
  bool readable = true;
  Table t = Table::of(freshBytes(path, &readable));
  t.readable = readable;
  return t;
}

std::vector<int32_t> probesFor(int32_t rows) { return {0, 1, 2, rows / 2, rows - 1, rows, rows + 1}; }

// What every library call here runs with.
dbhelper::Options gOptions;

// The library's answers; `rowsFirst` asks the count before the rows, else after them.
Answers ask(const std::string& path, const std::vector<int32_t>& probes, bool rowsFirst) {
  std::string trace;
  DBHelper t(path, &trace, DBHelper::Access::kRead, gOptions);
  Answers a;
  a.ok = t.status().ok();
  if (rowsFirst) a.rows = t.getNumRows();
  for (int32_t i : probes) a.row[i] = t.getRow(i);
  if (!rowsFirst) a.rows = t.getNumRows();
  if (!a.ok) a = Answers{false, 0, {}};
  return a;
}

// ---- The mutator ----

std::string rowLine(rel::Rng& r, uint64_t tag) {
  std::string line;
  if (r.below(20) == 0) {
    line = "long" + std::to_string(tag) + std::string(96 + r.below(30), 'L');  // ends the table
  } else if (r.below(12) == 0) {
    line = "  p" + std::to_string(tag) + " | " + std::to_string(r.below(1000)) + "\t|d";
  } else {
    line = "p" + std::to_string(tag) + "|" + std::to_string(r.below(100000)) + "|d" + std::to_string(r.below(31));
  }
  return line + (r.below(8) == 0 ? "\r\n" : "\n");
}

std::string freshContent(rel::Rng& r, uint64_t tag) {
  std::string t = r.below(30) == 0 ? "NAME|SCORE\n" : rel::kHeader;
  for (uint64_t k = 0, n = r.below(60); k < n; ++k) t += rowLine(r, tag * 100 + k);
  return t;
}

enum Kind {
  kAppend, kOverwrite, kTruncateSame, kTruncateOther, kMtimeRestored, kRenameOver, kUnlinkRecreate,
  kChmod, kGrow, kShrink, kNop, kKinds
};
const char* const kKindNames[kKinds] = {"append", "overwrite", "truncate+same", "truncate+other", "mtime-restored",
                                        "rename-over", "unlink+recreate", "chmod-000", "grow", "shrink", "nop"};

// Applies changes with plain system calls, keeping `model` equal to the file, and logs
// every state the file passes through when `log` is set.
class Mutator {
 public:
  struct State {
    int64_t start;  // before the call that made it
    int64_t end;    // after it
    bool missing;
    std::string bytes;
    bool partial = false;  // a write seen half-way: never the file's state when a call starts
  };

  Mutator(std::string path, uint64_t seed) : path_(std::move(path)), r_(seed) {}

  void setLog(std::vector<State>* log) { log_ = log; }
  void resync() {
    bool readable;
    auto b = freshBytes(path_, &readable);
    missing_ = !b;
    model_ = b.value_or("");
  }

  // Applies one change of kind `k`, or a random one that the concurrent phase allows.
  void apply(Kind k) {
    if (k == kNop) return;
    if (unreadable_) ::chmod(path_.c_str(), 0644);  // a chmod is a change too: only after one
    unreadable_ = false;
    if (!missing_ && model_.size() > 16384 && (k == kAppend || k == kGrow)) k = kShrink;
    if (missing_ && k != kNop && k != kRenameOver) k = kUnlinkRecreate;
    const uint64_t tag = ++tag_;
    switch (k) {
      case kAppend: {
        std::string add;
        for (uint64_t i = 0, n = 1 + r_.below(3); i < n; ++i) add += rowLine(r_, tag * 10 + i);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
        step([&] { return ::write(fd, add.data(), add.size()) == static_cast<ssize_t>(add.size()); }, model_ + add,
             kGrows);
        ::close(fd);
        break;
      }
      case kOverwrite:
      case kMtimeRestored: {
        if (model_.empty()) return apply(kAppend);
        struct stat st;
        ::stat(path_.c_str(), &st);
        // One byte unless sequential: a longer write may be seen torn by a concurrent read.
        const size_t at = r_.below(model_.size());
        const size_t n = log_ ? 1 : std::min<size_t>(1 + r_.below(8), model_.size() - at);
        static const char kBytes[] = "0123456789abcxyz|||\n \r";
        std::string bytes;
        for (size_t i = 0; i < n; ++i) bytes += kBytes[r_.below(sizeof kBytes - 1)];
        std::string next = model_;
        next.replace(at, n, bytes);
        const int fd = ::open(path_.c_str(), O_WRONLY);
        step([&] { return ::pwrite(fd, bytes.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n); }, next);
        if (k == kMtimeRestored) {
          const timespec times[2] = {st.st_atim, st.st_mtim};
          ::futimens(fd, times);
        }
        ::close(fd);
        break;
      }
      case kTruncateSame:
      case kTruncateOther: {
        std::string next = model_;
        if (k == kTruncateOther && !next.empty()) next[r_.below(next.size())] ^= 1;
        const int fd = ::open(path_.c_str(), O_WRONLY);
        step([&] { return ::ftruncate(fd, 0) == 0; }, "");
        step([&] { return ::pwrite(fd, next.data(), next.size(), 0) == static_cast<ssize_t>(next.size()); }, next, kGrows);
        ::close(fd);
        break;
      }
      case kRenameOver: {
        const std::string next = r_.below(4) == 0 && !missing_ ? model_ : freshContent(r_, tag);
        rel::writeFile(path_ + ".new", next);
        step([&] { return ::rename((path_ + ".new").c_str(), path_.c_str()) == 0; }, next);
        break;
      }
      case kUnlinkRecreate: {
        const std::string next = freshContent(r_, tag);
        if (!missing_) step([&] { return ::unlink(path_.c_str()) == 0; }, std::nullopt);
        int fd = -1;
        step([&] { return (fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) >= 0; }, "");
        step([&] { return ::write(fd, next.data(), next.size()) == static_cast<ssize_t>(next.size()); }, next, kGrows);
        ::close(fd);
        break;
      }
      case kChmod:
        if (::chmod(path_.c_str(), 0) != 0) fail("chmod");
        unreadable_ = true;
        break;
      case kGrow: {
        std::string add;
        for (uint64_t i = 0, n = 100 + r_.below(200); i < n; ++i) add += rowLine(r_, tag * 1000 + i);
        const int fd = ::open(path_.c_str(), O_WRONLY);
        step([&] { return ::pwrite(fd, add.data(), add.size(), static_cast<off_t>(model_.size())) ==
                          static_cast<ssize_t>(add.size()); },
             model_ + add, kGrows);
        ::close(fd);
        break;
      }
      case kShrink: {
        const size_t to = r_.below(model_.size() + 1);
        step([&] { return ::truncate(path_.c_str(), static_cast<off_t>(to)) == 0; }, model_.substr(0, to));
        break;
      }
      case kNop:
      case kKinds:
        break;
    }
  }

  // A change the concurrent phase allows (no chmod: it would only add read errors).
  Kind randomConcurrent() {
    static const Kind kAllowed[] = {kAppend, kOverwrite, kTruncateSame, kTruncateOther, kMtimeRestored,
                                    kRenameOver, kUnlinkRecreate, kGrow, kShrink};
    return kAllowed[r_.below(sizeof kAllowed / sizeof kAllowed[0])];
  }
  Kind randomAny() { return static_cast<Kind>(r_.below(kKinds)); }

 private:
  [[noreturn]] static void fail(const char* what) {
    std::perror(what);
    ::_exit(3);
  }
  // A write that lengthens the file raises its size a folio at a time, after copying that
  // folio: a concurrent read may see the new bytes cut at any page boundary in between.
  static constexpr bool kGrows = true;
  template <typename F>
  void step(F call, std::optional<std::string> next, bool grows = false) {
    const int64_t start = nowNs();
    if (!call()) fail("mutator");
    const int64_t end = nowNs();
    if (log_ && grows && next) {
      for (size_t cut = (model_.size() / 4096 + 1) * 4096; cut < next->size(); cut += 4096) {
        log_->push_back(State{start, end, false, next->substr(0, cut), true});
      }
    }
    missing_ = !next;
    model_ = next.value_or("");
    if (log_) log_->push_back(State{start, end, missing_, model_});
  }

  std::string path_;
  rel::Rng r_;
  std::vector<State>* log_ = nullptr;
  bool missing_ = false;
  bool unreadable_ = false;
  std::string model_;
  uint64_t tag_ = 0;
};

// ---- Phases ----

struct Counts {
  long changes = 0, answers = 0, mismatches = 0, appends = 0, sameMs = 0;
  long apiChanged = 0, apiUnchanged = 0, apiWrong = 0, apiUnprovable = 0;
  long perKind[kKinds] = {};
};

void report(const char* what, const std::string& path, const Answers& want, const Answers& got) {
  std::fprintf(stderr, "MISMATCH %s on %s: want ok=%d rows=%d, got ok=%d rows=%d\n", what, path.c_str(), want.ok,
               want.rows, got.ok, got.rows);
  for (const auto& [i, text] : want.row) {
    auto it = got.row.find(i);
    if (it == got.row.end() || it->second != text) {
      std::fprintf(stderr, "  row %d: want '%s' got '%s'\n", i, text.c_str(), it == got.row.end() ? "?" : it->second.c_str());
    }
  }
}

bool snapshotOf(const std::string& path, dbhelper::Snapshot* s) {
  dbhelper::File f;
  bool missing = false;
  return dbhelper::File::Open(path, dbhelper::File::Mode::kRead, &f, &missing).ok() && !missing &&
         dbhelper::takeSnapshot(path, f, s);
}

void checkNow(const std::string& path, const char* what, Counts* c) {
  const Table want = freshTable(path);
  const auto probes = probesFor(static_cast<int32_t>(want.rows.size()));
  for (const bool rowsFirst : {true, false}) {
    const Answers got = ask(path, probes, rowsFirst);
    const Answers exp = want.answers(probes);
    ++c->answers;
    if (!(got == exp)) {
      if (c->mismatches++ < 5) report(what, path, exp, got);
    }
  }
}

// The library appends a record: where it lands must be what the file says.
void checkAppend(const std::string& path, uint64_t i, Counts* c) {
  bool readable = true;
  const auto before = freshBytes(path, &readable);
  if (!readable) return;
  const Table t = Table::of(before);
  // The record names NAME, SCORE and DATE; it fits when they are the first three columns
  // (in any order: the line follows the header).
  const std::vector<std::pair<std::string, std::string>> record = {
      {"NAME", "lib" + std::to_string(i)}, {"SCORE", std::to_string(i)}, {"DATE", "x"}};
  std::vector<std::string> line(3);
  bool fits = before.has_value();
  for (const auto& [key, value] : record) {
    size_t col = 0;
    while (col < t.header.size() && t.header[col] != key) ++col;
    if (col >= std::min<size_t>(3, t.header.size())) fits = false;
    else line[col] = value;
  }
  std::string trace;
  dbhelper::Status s;
  {
    DBHelper w(path, &trace, DBHelper::Access::kAppend, gOptions);
    s = w.status().ok() ? w.writeRow("NAME=lib" + std::to_string(i) + ", SCORE=" + std::to_string(i) + ",DATE=x")
                        : w.status();
  }
  std::optional<std::string> want = before;
  if (fits) {
    if (!want->empty() && want->back() != '\n') *want += "\n";
    *want += line[0] + "|" + line[1] + "|" + line[2] + "\n";
  }
  const auto after = freshBytes(path, &readable);
  ++c->appends;
  if (s.ok() != fits || after != want) {
    if (c->mismatches++ < 5) {
      std::fprintf(stderr, "MISMATCH append %lu on %s: status '%s', header fits %d, file %s\n",
                   static_cast<unsigned long>(i), path.c_str(), s.ToString().c_str(), fits,
                   after == want ? "as expected" : "differs");
    }
  }
  checkNow(path, "after own append", c);
}

void sequential(const std::string& path, long changes, uint64_t seed, Counts* c) {
  rel::writeFile(path, rel::makeTable(20, "s"));
  int toChild[2], toParent[2];
  if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(toChild[1]);
    ::close(toParent[0]);
    Mutator m(path, seed);
    m.resync();
    char cmd;
    while (::read(toChild[0], &cmd, 1) == 1) {
      if (cmd == 'r') {
        m.resync();  // the library appended
        continue;
      }
      m.apply(static_cast<Kind>(cmd));
      const int64_t done = nowNs();
      if (::write(toParent[1], &done, sizeof done) != sizeof done) ::_exit(3);
    }
    ::_exit(0);
  }
  ::close(toChild[0]);
  ::close(toParent[1]);
  rel::Rng r(seed ^ 0x5eed);
  int64_t lastCall = nowNs();
  for (long i = 0; i < changes; ++i) {
    const Kind k = static_cast<Kind>(r.below(kKinds));
    dbhelper::Snapshot then, now;
    const bool hadThen = snapshotOf(path, &then);
    lastCall = nowNs();
    const char cmd = static_cast<char>(k);
    int64_t done = 0;
    if (::write(toChild[1], &cmd, 1) != 1 || ::read(toParent[0], &done, sizeof done) != sizeof done) {
      std::fprintf(stderr, "mutator died\n");
      std::exit(1);
    }
    ++c->changes;
    ++c->perKind[k];
    c->sameMs += done - lastCall < 1000000;
    // The freshness check must call every change a change, and a nop none.
    if (hadThen && snapshotOf(path, &now)) {
      const bool unchanged = dbhelper::provenUnchanged(then, now);
      if (unchanged != (k == kNop)) {
        if (c->apiWrong++ < 5) std::fprintf(stderr, "freshness check wrong after %s\n", kKindNames[k]);
      }
      ++(unchanged ? c->apiUnchanged : c->apiChanged);
    } else if (freshTable(path).readable && std::filesystem::exists(path)) {
      ++c->apiUnprovable;
    }
    checkNow(path, kKindNames[k], c);
    if (i % 4 == 3) {
      checkAppend(path, static_cast<uint64_t>(i), c);
      const char resync = 'r';
      if (::write(toChild[1], &resync, 1) != 1) std::exit(1);
    }
  }
  ::close(toChild[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(toParent[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "mutator failed\n");
    ++c->mismatches;
  }
}

void concurrent(const std::string& path, int millis, uint64_t seed, Counts* c, long* states, long* distinct,
                long* halfWays) {
  const std::string initial = rel::makeTable(20, "c");
  rel::writeFile(path, initial);
  const std::string logPath = path + ".log";
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<Mutator::State> log;
    log.reserve(1 << 16);
    Mutator m(path, seed);
    m.resync();
    m.setLog(&log);
    const auto until = Clock::now() + std::chrono::milliseconds(millis);
    rel::Rng pause(seed);
    while (Clock::now() < until && log.size() < 60000) {
      m.apply(m.randomConcurrent());
      for (uint64_t spin = pause.below(20000); spin > 0; --spin) asm volatile("");
    }
    std::string out;
    for (const auto& s : log) {
      const int64_t head[4] = {s.start, s.end, s.missing + 2 * s.partial, static_cast<int64_t>(s.bytes.size())};
      out.append(reinterpret_cast<const char*>(head), sizeof head);
      out += s.bytes;
    }
    rel::writeFile(logPath, out);
    ::_exit(0);
  }
  struct Taken {
    int64_t start, end;
    std::vector<int32_t> probes;
    Answers got;
  };
  std::vector<Taken> taken;
  for (int status = 0; ::waitpid(pid, &status, WNOHANG) == 0;) {
    Taken t;
    t.start = nowNs();
    {
      std::string trace;
      DBHelper h(path, &trace, DBHelper::Access::kRead, gOptions);
      t.got.ok = h.status().ok();
      t.got.rows = h.getNumRows();
      t.probes = {1, t.got.rows / 2, t.got.rows};
      for (int32_t i : t.probes) t.got.row[i] = h.getRow(i);
    }
    t.end = nowNs();
    taken.push_back(std::move(t));
  }
  // Read the log; state k is there from (at the earliest) the start of its call to (at
  // the latest) the end of the call that replaced it.
  std::vector<Mutator::State> log{{INT64_MIN, INT64_MIN, false, initial}};
  const std::string raw = rel::readFile(logPath).value_or("");
  for (size_t p = 0; p + 32 <= raw.size();) {
    int64_t head[4];
    std::memcpy(head, raw.data() + p, sizeof head);
    p += sizeof head;
    log.push_back(Mutator::State{head[0], head[1], (head[2] & 1) != 0, raw.substr(p, static_cast<size_t>(head[3])),
                                 (head[2] & 2) != 0});
    p += static_cast<size_t>(head[3]);
  }
  std::filesystem::remove(logPath);
  for (size_t k = 1; k < log.size(); ++k) *states += !log[k].partial;
  std::map<size_t, Table> tables;
  std::vector<bool> matched(log.size(), false);
  size_t first = 0;
  for (const Taken& t : taken) {
    while (first + 1 < log.size() && log[first + 1].end < t.start) ++first;  // state `first` gone before the call
    bool ok = false;
    bool halfWay = false;  // matched only a write seen half-way
    for (size_t k = first; k < log.size() && log[k].start <= t.end && !ok; ++k) {
      auto it = tables.find(k);
      if (it == tables.end()) {
        it = tables.emplace(k, Table::of(log[k].missing ? std::nullopt : std::optional<std::string>(log[k].bytes)))
                 .first;
      }
      if (it->second.answers(t.probes) != t.got) continue;
      if (log[k].partial) {
        halfWay = true;
        continue;
      }
      ok = true;
      if (!matched[k]) ++*distinct;
      matched[k] = true;
    }
    ++c->answers;
    if (!ok && halfWay) {
      ++*halfWays;
      continue;
    }
    if (!ok && c->mismatches++ < 5) {
      std::fprintf(stderr, "MISMATCH concurrent on %s: ok=%d rows=%d matches no state present during the call\n",
                   path.c_str(), t.got.ok, t.got.rows);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long changes = argc > 1 ? std::atol(argv[1]) : 10000;
  char tmpl[] = "/tmp/dbiface-freshness-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 2;
  std::vector<std::pair<std::string, long>> dirs{{tmpl, changes}};
  std::string shm;
  if (std::filesystem::is_directory("/dev/shm")) {
    shm = "/dev/shm/" + std::filesystem::path(tmpl).filename().string();
    std::filesystem::create_directories(shm);
    dirs.push_back({shm, std::max(1L, changes / 5)});
  }
  long failures = 0;
  uint64_t seed = 1;
  for (const auto& [dir, n] : dirs) {
    const std::string path = dir + "/t.txt";
    Counts c;
    const auto t0 = Clock::now();
    // Tables here are small: cache them anyway, so the answers come from cached images
    // whenever they are proven fresh (reads then neither open nor lock the file).
    const size_t minBytes = gOptions.cacheMinBytes;
    gOptions.cacheMinBytes = 0;
    sequential(path, n, seed++, &c);
    gOptions.cacheMinBytes = minBytes;
    std::printf("%s sequential: %ld changes (", dir.c_str(), c.changes);
    for (int k = 0; k < kKinds; ++k) std::printf("%s%s %ld", k ? ", " : "", kKindNames[k], c.perKind[k]);
    std::printf("), %ld within 1 ms of the last library call; %ld library answers, %ld appends; "
                "freshness check: %ld changed, %ld unchanged, %ld not provable, %ld wrong; %ld mismatches (%.1f s)\n",
                c.sameMs, c.answers, c.appends, c.apiChanged, c.apiUnchanged, c.apiUnprovable, c.apiWrong,
                c.mismatches, std::chrono::duration<double>(Clock::now() - t0).count());
    // Every change must be provable and seen on these file systems; the nops prove the
    // check is not simply always "changed".
    if (c.mismatches != 0 || c.apiWrong != 0 || c.apiUnprovable != 0 || c.apiUnchanged == 0) ++failures;

    Counts cc;
    long states = 0, distinct = 0, halfWays = 0;
    concurrent(path, 2500, seed++, &cc, &states, &distinct, &halfWays);
    std::printf("%s concurrent: %ld answers against %ld states, %ld distinct states matched, %ld of a write "
                "seen half-way; %ld mismatches\n",
                dir.c_str(), cc.answers, states, distinct, halfWays, cc.mismatches);
    if (cc.mismatches != 0 || distinct < 50) ++failures;
  }
  std::filesystem::remove_all(tmpl);
  if (!shm.empty()) std::filesystem::remove_all(shm);
  std::printf("%s\n", failures == 0 ? "freshness oracle: OK" : "freshness oracle: FAILED");
  return failures == 0 ? 0 : 1;
}
