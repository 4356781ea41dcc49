// The freshness oracle's model: what the file says read without the library, the
// library's answers, and the mutator that changes the file behind the library's back.
// Shared by the oracle's phases (freshness.cc, freshness_own_writes.cc).
#ifndef TESTS_RELIABILITY_FRESHNESS_ORACLE_H_
#define TESTS_RELIABILITY_FRESHNESS_ORACLE_H_

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

namespace oracle {

using dbhelper::DBHelper;
using Clock = std::chrono::steady_clock;

inline int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// ---- What the file says, read without the library ----

inline std::vector<std::string> fieldsOf(const std::string& line) {
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
  bool endsEarly = false;  // a line over 99 bytes ends the table before the end of the file

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
        if ((t.endsEarly = len > 99)) break;
      } else {
        if ((t.endsEarly = len > 99)) break;
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

inline std::optional<std::string> freshBytes(const std::string& path, bool* readable) {
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

inline Table freshTable(const std::string& path) {
  bool readable = true;
  Table t = Table::of(freshBytes(path, &readable));
  t.readable = readable;
  return t;
}

inline std::vector<int32_t> probesFor(int32_t rows) { return {0, 1, 2, rows / 2, rows - 1, rows, rows + 1}; }

// What every library call here runs with.
inline dbhelper::Options gOptions;

// The library's answers; `rowsFirst` asks the count before the rows, else after them.
inline Answers ask(const std::string& path, const std::vector<int32_t>& probes, bool rowsFirst) {
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

inline std::string rowLine(rel::Rng& r, uint64_t tag) {
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

inline std::string freshContent(rel::Rng& r, uint64_t tag) {
  std::string t = r.below(30) == 0 ? "NAME|SCORE\n" : rel::kHeader;
  for (uint64_t k = 0, n = r.below(60); k < n; ++k) t += rowLine(r, tag * 100 + k);
  return t;
}

enum Kind {
  kAppend, kOverwrite, kTruncateSame, kTruncateOther, kMtimeRestored, kRenameOver, kUnlinkRecreate,
  kChmod, kGrow, kShrink, kNop, kKinds
};
inline const char* const kKindNames[kKinds] = {"append", "overwrite", "truncate+same", "truncate+other", "mtime-restored",
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
    size_t from = 0;       // partial: the file's size before the write; any longer prefix of `bytes` may be seen
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
  // A change that moves the size or replaces the file.
  Kind randomSeenBesideOurs() {
    static const Kind kAllowed[] = {kAppend, kRenameOver, kUnlinkRecreate, kGrow, kShrink};
    return kAllowed[r_.below(sizeof kAllowed / sizeof kAllowed[0])];
  }

 private:
  [[noreturn]] static void fail(const char* what) {
    std::perror(what);
    ::_exit(3);
  }
  // A write that lengthens the file raises its size as it copies: a folio at a time, or
  // less when copying from the caller's buffer faults half-way, so a concurrent read may
  // see the new bytes cut anywhere in between.
  static constexpr bool kGrows = true;
  template <typename F>
  void step(F call, std::optional<std::string> next, bool grows = false) {
    const int64_t start = nowNs();
    if (!call()) fail("mutator");
    const int64_t end = nowNs();
    if (log_ && grows && next && next->size() > model_.size() + 1) {
      log_->push_back(State{start, end, false, *next, true, model_.size()});
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

inline void report(const char* what, const std::string& path, const Answers& want, const Answers& got) {
  std::fprintf(stderr, "MISMATCH %s on %s: want ok=%d rows=%d, got ok=%d rows=%d\n", what, path.c_str(), want.ok,
               want.rows, got.ok, got.rows);
  for (const auto& [i, text] : want.row) {
    auto it = got.row.find(i);
    if (it == got.row.end() || it->second != text) {
      std::fprintf(stderr, "  row %d: want '%s' got '%s'\n", i, text.c_str(), it == got.row.end() ? "?" : it->second.c_str());
    }
  }
}


inline void checkNow(const std::string& path, const char* what, Counts* c) {
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


// The own-writes phase (freshness_own_writes.cc): our writes race another process's
// library writes and, unless kNone, a program that ignores the lock. kSeen: only changes
// that move the size or replace the file, which a write of ours sees even beside its own
// events; kAny: every kind, same-size overwrites too, which it may not (a measurement).
// `quietAfterOthers`: keep the library's pause in keeping images after such a program
// was caught; else keep whenever the checks pass.
enum class Outsider { kNone, kSeen, kAny };
void ownWrites(const std::string& path, int rounds, uint64_t seed, bool quietAfterOthers, Outsider outsider,
               Counts* c, long* kept);

}  // namespace oracle

#endif  // TESTS_RELIABILITY_FRESHNESS_ORACLE_H_
