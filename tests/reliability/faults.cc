// Fault injection at every system call of a write: for each table, each operation (among
// them batch appends of a few rows and of pages of rows), each call kind and each way of
// failing, make the N-th call of that kind fail, for every N the operation reaches.
// Oracle: an operation that fails leaves the file byte-identical to before (or leaves an
// undo record that the next operation, with the fault gone, rolls back: counted and
// listed separately); one that succeeds leaves exactly the new table. A batch with one
// refused record writes nothing at all. Then the same writes under RLIMIT_FSIZE set at
// every size in between, in a child process that ignores SIGXFSZ. All of it once per
// sync mode: durable writes add syncs, and take other paths.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/durability.h"
#include "dbhelper/recovery.h"
#include "tests/reliability/harness.h"

namespace {

using dbhelper::DBHelper;
using dbhelper::Slice;
using dbhelper::Status;
using dbhelper::SysCalls;

enum Kind { kOpen, kFstat, kLock, kPread, kPwritev, kFtruncate, kSync, kKinds };
const char* const kKindNames[kKinds] = {"open", "fstat", "lock", "pread", "pwritev", "ftruncate", "sync"};

enum class Mode {
  kOnce,        // call N fails
  kPersistent,  // calls N, N+1, ... fail
  kShortOk,     // call N writes `shortBytes` only; later calls work
  kShortFail,   // call N writes `shortBytes` only; later calls fail
};

struct Fault {
  Kind kind;
  Mode mode;
  int err;
  size_t shortBytes = 0;
  std::string name() const {
    static const char* const modes[] = {"once", "persistent", "short-then-ok", "short-then-fail"};
    std::string s = std::string(kKindNames[kind]) + " " + modes[static_cast<int>(mode)] + " " + strerrorname_np(err);
    if (mode == Mode::kShortOk || mode == Mode::kShortFail) s += " k=" + std::to_string(shortBytes);
    return s;
  }
};

const std::vector<Fault> kFaults = {
    {kOpen, Mode::kOnce, EIO},           {kOpen, Mode::kPersistent, EACCES},
    {kFstat, Mode::kOnce, EIO},          {kFstat, Mode::kPersistent, EIO},
    {kLock, Mode::kOnce, EIO},           {kLock, Mode::kOnce, EAGAIN},
    {kLock, Mode::kPersistent, EAGAIN},  {kPread, Mode::kOnce, EIO},
    {kPread, Mode::kPersistent, EIO},    {kPwritev, Mode::kOnce, EIO},
    {kPwritev, Mode::kOnce, ENOSPC},     {kPwritev, Mode::kOnce, EFBIG},
    {kPwritev, Mode::kPersistent, EIO},  {kPwritev, Mode::kPersistent, ENOSPC},
    {kPwritev, Mode::kShortOk, ENOSPC, 1}, {kPwritev, Mode::kShortFail, ENOSPC, 1},
    {kPwritev, Mode::kShortFail, EIO, 7},  {kPwritev, Mode::kShortFail, ENOSPC, 100},
    {kFtruncate, Mode::kOnce, EIO},      {kFtruncate, Mode::kPersistent, EIO},
    {kSync, Mode::kOnce, EIO},           {kSync, Mode::kPersistent, ENOSPC},
};

// The injector: counts calls of each kind while armed and fails the chosen ones.
struct Injector {
  bool armed = false;
  bool active = false;  // false: count only
  Fault fault{};
  int n = 0;
  int calls[kKinds] = {};

  void arm(const Fault* f, int at) {
    for (int& c : calls) c = 0;
    active = f != nullptr;
    if (f != nullptr) fault = *f;
    n = at;
    armed = true;
  }
  // Returns true when this call of `k` must fail; sets errno.
  bool fails(Kind k, bool* isShortCall) {
    *isShortCall = false;
    if (!armed) return false;
    const int c = ++calls[k];
    if (!active || k != fault.kind || c < n) return false;
    const bool shortMode = fault.mode == Mode::kShortOk || fault.mode == Mode::kShortFail;
    if (c == n && shortMode) {
      *isShortCall = true;
      return false;
    }
    if (c > n && (fault.mode == Mode::kOnce || fault.mode == Mode::kShortOk)) return false;
    errno = fault.err;
    return true;
  }
};
Injector gInj;

const SysCalls& real() { return dbhelper::realSysCalls(); }

int fOpen(const char* p, int fl, int m) {
  bool s;
  return gInj.fails(kOpen, &s) ? -1 : real().open(p, fl, m);
}
int fFstat(int fd, dbhelper::FileInfo* info, bool times) {
  bool s;
  return gInj.fails(kFstat, &s) ? -1 : real().fstat(fd, info, times);
}
int fStat(const char* path, dbhelper::FileInfo* info, bool times) {
  bool s;
  return gInj.fails(kFstat, &s) ? -1 : real().statPath(path, info, times);
}
// The table's range and the intent byte count as one kind: the N-th lock call of either.
int fLock(int fd, int type, int region) {
  bool s;
  return gInj.fails(kLock, &s) ? -1 : real().lock(fd, type, region);
}
long fPread(int fd, void* buf, size_t n, int64_t off) {
  bool s;
  return gInj.fails(kPread, &s) ? -1 : real().pread(fd, buf, n, off);
}
long fPwritev(int fd, const Slice* slices, int count, int64_t off) {
  bool isShort;
  if (gInj.fails(kPwritev, &isShort)) return -1;
  if (!isShort) return real().pwritev(fd, slices, count, off);
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += slices[i].size;
  if (total <= 1) {
    errno = gInj.fault.err;
    return -1;
  }
  // Hand the kernel only the first k bytes, as a full disk does.
  size_t k = std::min(gInj.fault.shortBytes, total - 1);
  Slice cut[8];
  int m = 0;
  for (int i = 0; i < count && k > 0; ++i) {
    cut[m] = slices[i];
    cut[m].size = std::min(cut[m].size, k);
    k -= cut[m++].size;
  }
  return real().pwritev(fd, cut, m, off);
}
int fFtruncate(int fd, int64_t size) {
  bool s;
  return gInj.fails(kFtruncate, &s) ? -1 : real().ftruncate(fd, size);
}

// A file's data sync and a directory's count as one kind.
int fDataSync(int fd) {
  bool s;
  return gInj.fails(kSync, &s) ? -1 : real().dataSync(fd);
}
int fDirSync(const char* path) {
  bool s;
  return gInj.fails(kSync, &s) ? -1 : real().dirSync(path);
}

struct Table {
  std::string name;
  std::string bytes;
  int32_t rows;  // data rows of the table the bytes stand for (after any rollback)
  std::string old;  // the table the bytes stand for; == bytes unless a write is in flight
};

struct Action {
  std::string name;
  char kind;  // 'a' append, 'i' insert, 'r' read, 'b' batch append
  int32_t line = 0;
  std::string record = "NAME=newbie, SCORE=999, DATE=12/8/2026";
  std::vector<std::string> batch = {};  // 'b': the records
};

// A batch of `n` records; with `bad` < n, record `bad` is refused and the batch with it.
Action batchOf(int n, int bad = -1) {
  Action a{"batch-" + std::to_string(n), 'b'};
  for (int i = 0; i < n; ++i) {
    a.batch.push_back("NAME=bat" + std::to_string(i) + ", SCORE=" + std::to_string(i) + ", DATE=2026-12-08T10:00");
  }
  if (bad >= 0) {
    // Each a different reason: a column the table lacks, a '|' in a value, no pairs.
    const char* const refused[] = {"NAME=x, LEVEL=3", "NAME=a|b, SCORE=1, DATE=x", ""};
    a.batch[bad] = refused[bad == 0 ? 0 : bad + 1 == n ? 2 : 1];
    a.name += "-refused-at-" + std::to_string(bad + 1);
  }
  return a;
}

// The lines a batch adds, as the fault-free run must write them.
std::string batchLines(const Action& a) {
  std::string lines;
  for (size_t i = 0; i < a.batch.size(); ++i) {
    lines += "bat" + std::to_string(i) + "|" + std::to_string(i) + "|2026-12-08T10:00\n";
  }
  return lines;
}

struct Outcome {
  Status status;
  int32_t rows = -1;
};

// What every operation here runs with: the faulty system calls, a short lock timeout, and
// the sync mode of the round (set in main).
dbhelper::Options gOptions;

Outcome run(const std::string& path, const Action& a) {
  std::string trace;
  Outcome o;
  DBHelper t(path, &trace,
             a.kind == 'r'   ? DBHelper::Access::kRead
             : a.kind == 'i' ? DBHelper::Access::kWrite
                             : DBHelper::Access::kAppend,
             gOptions);
  o.status = t.status();
  if (!o.status.ok()) return o;
  if (a.kind == 'r') {
    o.rows = t.getNumRows();
    if (o.rows > 0) t.getRow(o.rows);
    o.status = t.status();
  } else if (a.kind == 'b') {
    o.status = t.writeRecords(std::vector<std::string_view>(a.batch.begin(), a.batch.end()));
  } else {
    o.status = a.kind == 'a' ? t.writeRow(a.record) : t.writeRowToLine(a.record, a.line);
  }
  return o;
}

// Runs the next operation (a read) with the faults gone, which rolls back a leftover record.
void repair(const std::string& path) {
  std::string trace;
  DBHelper t(path, &trace, DBHelper::Access::kRead, gOptions);
  t.getNumRows();
}

struct Stats {
  long points = 0;
  long batchPoints = 0;  // of them in batch appends
  long refused = 0;      // refused batches checked
  long failed = 0;       // operations that reported failure
  long succeeded = 0;
  long rolledBack = 0;   // failures that left an undo record for the next operation
  long completedLater = 0;  // durable failures whose leftover record the next call completed
  long errors = 0;       // oracle violations
  std::map<std::string, long> rollbackCases;
};
Stats gStats;
bool gVerbose = false;
bool gFull = false;  // sync=full

void violation(const std::string& what) {
  ++gStats.errors;
  if (gStats.errors <= 30) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

// Checks one faulty run of `a` on `t` whose fault-free result is `expected`.
void judge(const std::string& path, const Table& t, const Action& a, const std::string& expected,
           const Outcome& o, const std::string& label) {
  const std::string after = rel::readFile(path).value_or("<missing>");
  if (o.status.ok()) {
    ++gStats.succeeded;
    if (a.kind == 'r') {
      if (o.rows != t.rows) violation(label + ": read " + std::to_string(o.rows) + " rows, want " + std::to_string(t.rows));
      repair(path);
      if (rel::readFile(path) != t.old) violation(label + ": read left a table that is not the old one");
    } else if (after != expected) {
      violation(label + ": reported success but the file is not the new table");
    }
    return;
  }
  ++gStats.failed;
  if (after == t.old || after == t.bytes) {
    // Untouched. A table that already carried a record must still be rolled back.
    if (t.bytes != t.old) {
      repair(path);
      if (rel::readFile(path) != t.old) violation(label + ": the leftover record was not rolled back later");
    }
    return;
  }
  // Anything else must be a record that the next operation rolls back.
  repair(path);
  if (rel::readFile(path) == t.old) {
    ++gStats.rolledBack;
    if (gVerbose) std::printf("rolled back by the next operation: %s\n", label.c_str());
    const size_t b = label.find(": ") + 2;
    ++gStats.rollbackCases[label.substr(b, label.rfind(" N=") - b)];
    return;
  }
  // Durable: new bytes that are whole on the disk are kept by the next call, as after a
  // power cut, even when the call that wrote them failed to undo them.
  if (gFull && a.kind != 'r' && rel::readFile(path) == expected) {
    ++gStats.completedLater;
    if (gVerbose) std::printf("completed by the next operation: %s\n", label.c_str());
    return;
  }
  violation(label + ": failed (" + o.status.ToString() + ") and the file is neither the old table nor rolled back");
}

void faultMatrix(const std::string& path, const Table& t, const Action& a, const std::string& expected) {
  for (const Fault& f : kFaults) {
    for (int n = 1;; ++n) {
      rel::writeFile(path, t.bytes);
      gInj.arm(&f, n);
      const Outcome o = run(path, a);
      gInj.armed = false;
      const bool reached = gInj.calls[f.kind] >= n;
      if (!reached) {
        if (!o.status.ok()) violation(t.name + "/" + a.name + ": " + f.name() + " N past the end still failed");
        break;
      }
      ++gStats.points;
      gStats.batchPoints += a.kind == 'b';
      const std::string label = t.name + "/" + a.name + ": " + f.name() + " N=" + std::to_string(n);
      judge(path, t, a, expected, o, label);
      if (o.status.ok() || (a.kind != 'r' && rel::readFile(path) == expected)) continue;
      // Once the fault is gone, the same operation on what the failure left must work.
      const Outcome again = run(path, a);
      if (!again.status.ok() || (a.kind == 'r' ? again.rows != t.rows : rel::readFile(path) != expected)) {
        violation(label + ": the operation repeated without the fault went wrong: " + again.status.ToString());
      }
    }
  }
}

// RLIMIT_FSIZE at `limit`, in a child; exit 0: success, 3: EFBIG, 4: another failure.
void fsizeMatrix(const std::string& path, const Table& t, const Action& a, const std::string& expected) {
  std::vector<uint64_t> limits;
  const uint64_t from = t.bytes.size();
  const uint64_t grown = expected.size() + (expected.size() - t.old.size());
  // Every size the write can stop at. Over a wide range (a large batch, whose first write
  // is its record past the new end) a sample, and every third size where that record
  // goes: below it nothing is written, above it everything fits.
  const uint64_t step = grown + 1 - from > 4096 ? (grown + 1 - from) / 32 : 1;
  for (uint64_t l = from; l <= grown + 1; l += step) limits.push_back(l);
  if (step > 1) {
    dbhelper::UndoRecord rec;
    rec.copyOff = expected.size();
    for (uint64_t l = rec.fileEnd() - dbhelper::kUndoRecordSize - 2; l <= rec.fileEnd() + 1; l += 3) {
      limits.push_back(l);
    }
  }
  // The undo record lies past the copy of the tail: sample up to twice the size.
  const uint64_t far = 2 * from + 256;
  for (uint64_t l = grown + 2; l < far; l += std::max<uint64_t>(1, (far - grown) / 64)) limits.push_back(l);
  for (const uint64_t limit : limits) {
    rel::writeFile(path, t.bytes);
    const pid_t pid = fork();
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit rl{limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(5);
      const Outcome o = run(path, a);
      _exit(o.status.ok() ? 0 : o.status.errnoValue() == EFBIG ? 3 : 4);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ++gStats.points;
    gStats.batchPoints += a.kind == 'b';
    const std::string label = t.name + "/" + a.name + ": RLIMIT_FSIZE=" + std::to_string(limit);
    if (!WIFEXITED(st) || WEXITSTATUS(st) > 4 || WEXITSTATUS(st) == 4) {
      violation(label + ": child ended with status " + std::to_string(st));
      continue;
    }
    Outcome o;
    if (WEXITSTATUS(st) == 0) o.rows = t.rows;
    else o.status = Status::FromErrno("write", path, EFBIG);
    judge(path, t, a, expected, o, label + " N=0");
    if (!o.status.ok() && (!run(path, a).status.ok() || rel::readFile(path) != expected)) {
      violation(label + ": the write repeated without the limit went wrong");
    }
  }
}

// A batch with one refused record writes nothing, not even the line end that an
// unterminated last line would get: no write or truncation reaches the file, beyond the
// rollback of a leftover record.
void refusedBatches(const std::string& path, const Table& t) {
  for (const int bad : {0, 250, 499}) {
    const Action a = batchOf(500, bad);
    rel::writeFile(path, t.bytes);
    gInj.arm(nullptr, 0);
    const Outcome o = run(path, a);
    gInj.armed = false;
    ++gStats.refused;
    const std::string label = t.name + "/" + a.name;
    if (o.status.code() != Status::Code::kInvalidArgument ||
        o.status.message().find("record " + std::to_string(bad + 1) + " of 500") == std::string::npos) {
      violation(label + ": not refused, or not naming the record: " + o.status.ToString());
    }
    if (rel::readFile(path) != t.old) violation(label + ": the refused batch changed the table");
    if (t.bytes == t.old && gInj.calls[kPwritev] + gInj.calls[kFtruncate] > 0) {
      violation(label + ": the refused batch wrote to the file");
    }
  }
}

std::string inFlight(const std::string& old, const rel::Op& op, bool copyComplete) {
  dbhelper::UndoRecord rec;
  const std::string now = rel::applied(old, op);
  rec.oldSize = old.size();
  rec.pos = rel::lineStart(old, op.at);
  rec.copyOff = now.size();
  rec.tailLen = old.size() - rec.pos;
  rec.copyComplete = copyComplete;
  return rel::withUndoRecord(copyComplete ? now + old.substr(rec.pos) : old, rec);
}

}  // namespace

int main(int argc, char** argv) {
  bool withFsize = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-fsize") == 0) withFsize = false;
    if (std::strcmp(argv[i], "--verbose") == 0) gVerbose = true;  // list every rolled-back case
  }
  std::signal(SIGXFSZ, SIG_IGN);
  gOptions.lockTimeout = std::chrono::milliseconds(30);
  static SysCalls faulty = real();
  faulty.open = fOpen;
  faulty.pread = fPread;
  faulty.pwritev = fPwritev;
  faulty.ftruncate = fFtruncate;
  faulty.fstat = fFstat;
  faulty.lock = fLock;
  faulty.statPath = fStat;
  faulty.dataSync = fDataSync;
  faulty.dirSync = fDirSync;
  gOptions.sys = &faulty;

  char tmpl[] = "/tmp/dbiface-faults-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  const std::string dir = tmpl;
  const std::string path = dir + "/t.txt";

  auto plain = [](std::string name, int32_t rows, std::string bytes) {
    return Table{std::move(name), bytes, rows, bytes};
  };
  const std::string small = rel::makeTable(3, "s");
  const std::string edge = rel::makeTable(169, "e");  // 4072 bytes: an append crosses a page
  const std::string multi = rel::makeTable(400, "m");
  const std::string big = rel::makeTable(3000, "b");  // over 64 KiB: writers read only its edges
  const rel::Op mid{"", "", 2};
  std::vector<Table> tables = {
      plain("small", 3, small),
      plain("small-no-final-LF", 3, small.substr(0, small.size() - 1)),
      plain("page-edge", 169, edge),
      plain("multi-page", 400, multi),
      plain("big", 3000, big),
      Table{"in-flight-copied", inFlight(multi, mid, true), 400, multi},
      Table{"in-flight-uncopied", inFlight(multi, mid, false), 400, multi},
  };
  if (edge.size() != 4072) {
    std::fprintf(stderr, "page-edge table is %zu bytes\n", edge.size());
    return 2;
  }
  for (const dbhelper::SyncMode mode : {dbhelper::SyncMode::kOff, dbhelper::SyncMode::kFull}) {
  gOptions.sync = mode;
  gFull = mode == dbhelper::SyncMode::kFull;
  const std::string modeName = mode == dbhelper::SyncMode::kFull ? "sync=full/" : "";
  for (const Table& base : tables) {
    Table t = base;
    t.name = modeName + base.name;
    // A batch of three rows fits one system call; one of 500 spans four pages.
    std::vector<Action> actions = {{"append", 'a'}, {"insert-at-1", 'i', 1}, {"read", 'r'}, batchOf(3), batchOf(500)};
    if (base.name == "small" || base.name == "multi-page") {
      actions.push_back({"insert-mid", 'i', t.rows / 2 + 1});
      actions.push_back({"insert-at-end", 'i', t.rows + 1});
    }
    if (base.name == "small-no-final-LF") actions.push_back({"insert-at-end", 'i', t.rows + 1});
    for (const Action& a : actions) {
      // The fault-free run gives the new table; it must be what the model says.
      rel::writeFile(path, t.bytes);
      const Outcome o = run(path, a);
      std::string expected = t.old;
      if (a.kind != 'r') {
        const bool atEnd = a.kind == 'a' || a.kind == 'b' || a.line == t.rows + 1;
        std::string line = a.kind == 'b' ? batchLines(a) : "newbie|999|12/8/2026\n";
        if (t.old.back() != '\n' && atEnd) line = "\n" + line;
        if (atEnd) expected += line;
        else expected.insert(rel::lineStart(t.old, a.line), line);
      }
      if (!o.status.ok() || rel::readFile(path) != expected || (a.kind == 'r' && o.rows != t.rows)) {
        violation(t.name + "/" + a.name + ": the fault-free run is wrong: " + o.status.ToString());
        continue;
      }
      faultMatrix(path, t, a, expected);
      // Three rows take the paths of one appended row, whose every limit is tried.
      if (withFsize && a.kind != 'r' && a.batch.size() != 3) fsizeMatrix(path, t, a, expected);
    }
    refusedBatches(path, t);
  }
  }
  std::filesystem::remove_all(dir);

  std::printf("fault points tried: %ld (%ld operations failed, %ld succeeded despite the fault), %ld of them in "
              "batch appends\n", gStats.points, gStats.failed, gStats.succeeded, gStats.batchPoints);
  std::printf("failures rolled back by the next operation: %ld\n", gStats.rolledBack);
  for (const auto& [what, n] : gStats.rollbackCases) std::printf("  %s: %ld writes\n", what.c_str(), n);
  std::printf("failures completed by the next operation (sync=full): %ld\n", gStats.completedLater);
  std::printf("refused batches that wrote nothing, as they must: %ld checked\n", gStats.refused);
  std::printf("oracle violations: %ld\n", gStats.errors);
  return gStats.errors == 0 ? 0 : 1;
}
