// Power-cut simulator. Every write and truncation the library makes since its last sync
// is logged through the system-call seam; a cut after any logged call leaves on the disk
// the synced file plus any subset of the later writes (each 512-byte sector of a write on
// its own) and truncations, replayed in order, holes read as zeros. Each sampled state
// gets one library call (a read, which repairs), and then the file must be the table of a
// call that had returned, or of the call in flight. With sync=full every state must pass;
// with sync=off the torn ones are counted (some are expected) and must not crash or hang.
//
// Usage: reliability_powercut [samples per cut point, default 160]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "dbhelper/DBHelper.h"
#include "dbhelper/durability.h"
#include "dbhelper/recovery.h"
#include "tests/reliability/harness.h"

namespace {

using dbhelper::DBHelper;
using dbhelper::Slice;
using dbhelper::SyncMode;

struct Event {
  enum Kind { kWrite, kTruncate, kSync } kind;
  uint64_t off = 0;  // write offset, or the size a truncation sets
  std::string bytes;
  int call = 0;
};

bool gRecording = false;
int gCall = 0;
std::vector<Event> gLog;
int gSyncs = 0;

const dbhelper::SysCalls& real() { return dbhelper::realSysCalls(); }

long logPwritev(int fd, const Slice* slices, int count, int64_t off) {
  if (!gRecording) return real().pwritev(fd, slices, count, off);
  dbhelper::FileInfo info;
  if (off < 0 && real().fstat(fd, &info, false) != 0) return -1;
  const uint64_t at = off < 0 ? info.size : static_cast<uint64_t>(off);
  const long w = real().pwritev(fd, slices, count, off);
  if (w > 0) {
    Event e{Event::kWrite, at, std::string(), gCall};
    for (int i = 0; i < count && e.bytes.size() < static_cast<size_t>(w); ++i) {
      e.bytes.append(slices[i].data, std::min(slices[i].size, static_cast<size_t>(w) - e.bytes.size()));
    }
    gLog.push_back(std::move(e));
  }
  return w;
}
int logFtruncate(int fd, int64_t size) {
  const int r = real().ftruncate(fd, size);
  if (gRecording && r == 0) gLog.push_back(Event{Event::kTruncate, static_cast<uint64_t>(size), {}, gCall});
  return r;
}
// Nothing reaches a real disk here; the log stands for the page cache.
int logDataSync(int) {
  if (gRecording) {
    gLog.push_back(Event{Event::kSync, 0, {}, gCall});
    ++gSyncs;
  }
  return 0;
}
int logDirSync(const char*) {
  if (gRecording) ++gSyncs;
  return 0;
}

void apply(std::string* img, const Event& e, rel::Rng* rng) {
  if (e.kind == Event::kTruncate) {
    if (rng == nullptr || rng->below(2) == 0) img->resize(e.off);
    return;
  }
  for (uint64_t p = e.off; p < e.off + e.bytes.size();) {
    const uint64_t q = std::min<uint64_t>((p / dbhelper::kSector + 1) * dbhelper::kSector, e.off + e.bytes.size());
    if (rng == nullptr || rng->below(2) == 0) {
      if (img->size() < q) img->resize(q, '\0');
      img->replace(p, q - p, e.bytes, p - e.off, q - p);
    }
    p = q;
  }
}

struct Call {
  int64_t at;     // 0 appends; else the line it is inserted at (-1: the last row's line)
  int batch = 0;  // rows of one writeRecords (at 0)
};

struct Scenario {
  const char* name;
  std::string base;   // the synced file at the start
  std::string table;  // the table it holds (differs for a leftover record)
  std::vector<Call> calls;
  uint64_t imageLimit = 0;  // nonzero: tails over this many bytes are moved in chunks
};

int64_t rowsOf(const std::string& t) {
  int64_t n = 0;
  for (char c : t) n += c == '\n';
  return n - 1;
}

struct Totals {
  long states = 0;
  long torn = 0;
  long lost = 0;  // an older table: acknowledged writes gone
  long failedCalls = 0;
  int maxSyncsAppend = 0;
  int maxSyncsInsert = 0;
};

// The logging system calls and the sync mode of the round (set in main).
dbhelper::Options gOptions;

bool runScenario(const Scenario& sc, const std::string& path, int samples, Totals* tot) {
  const bool full = gOptions.durable();
  dbhelper::Options options = gOptions;
  if (sc.imageLimit != 0) options.imageLimit = sc.imageLimit;
  rel::writeFile(path, sc.base);
  std::vector<std::string> tables{sc.table};
  gLog.clear();
  gRecording = true;
  for (size_t c = 0; c < sc.calls.size(); ++c) {
    gCall = static_cast<int>(c);
    const int64_t rows = rowsOf(tables.back());
    const int64_t at = sc.calls[c].at < 0 ? rows : sc.calls[c].at;
    const std::string value(30 + 13 * (c % 4), static_cast<char>('a' + c));
    const int batch = sc.calls[c].batch;
    std::vector<std::string> recs;
    std::vector<rel::Op> ops;
    for (int j = 0; j < std::max(batch, 1); ++j) {
      const std::string name = "pc" + std::to_string(c) + (batch > 0 ? "b" + std::to_string(j) : "");
      recs.push_back("NAME=" + name + ",SCORE=" + std::to_string(c) + ",DATE=" + value);
      ops.push_back(rel::Op{"", name + "|" + std::to_string(c) + "|" + value + "\n", at});
    }
    std::string trace;
    gSyncs = 0;
    dbhelper::Status s;
    {
      DBHelper t(path, &trace, at == 0 ? DBHelper::Access::kAppend : DBHelper::Access::kWrite, options);
      s = t.status();
      if (s.ok() && batch > 0) s = t.writeRecords(std::vector<std::string_view>(recs.begin(), recs.end()));
      else if (s.ok()) s = at == 0 ? t.writeRow(recs[0]) : t.writeRowToLine(recs[0], static_cast<int32_t>(at));
    }
    int& most = at == 0 ? tot->maxSyncsAppend : tot->maxSyncsInsert;
    most = std::max(most, gSyncs);
    const std::string want = rel::applied(tables.back(), ops);
    const auto got = rel::readFile(path);
    if (!s.ok() || !got || *got != want) {
      std::fprintf(stderr, "%s: call %zu failed or wrote the wrong table: %s\n", sc.name, c, s.ToString().c_str());
      gRecording = false;
      return false;
    }
    tables.push_back(want);
  }
  gRecording = false;

  // Cut after event k - 1, for every k.
  std::string synced = sc.base;
  size_t lastSync = 0;
  rel::Rng rng(std::hash<std::string>()(sc.name) + (full ? 1 : 0));
  for (size_t k = 1; k <= gLog.size(); ++k) {
    const Event& e = gLog[k - 1];
    if (e.kind == Event::kSync) {
      for (size_t i = lastSync; i < k - 1; ++i) apply(&synced, gLog[i], nullptr);
      lastSync = k;
    }
    const int c = e.call;
    const bool returned = k == gLog.size() || gLog[k].call != c;
    std::set<std::string> allowed{tables[c + 1]};
    if (!returned) allowed.insert(tables[c]);
    for (int n = 0; n < samples; ++n) {
      std::string img = synced;
      // Sample 0 keeps every unsynced write, sample 1 none; the rest choose at random.
      for (size_t i = lastSync; i < k; ++i) {
        if (n == 1) break;
        apply(&img, gLog[i], n == 0 ? nullptr : &rng);
      }
      rel::writeFile(path, img);
      std::string trace;
      int32_t rows = -1;
      dbhelper::Status s;
      {
        DBHelper t(path, &trace, DBHelper::Access::kRead, options);
        s = t.status();
        if (s.ok()) rows = t.getNumRows();
        if (s.ok()) s = t.status();
      }
      const auto after = rel::readFile(path);
      ++tot->states;
      const bool good = s.ok() && after && allowed.count(*after) == 1 && rows == rowsOf(*after);
      if (!s.ok()) ++tot->failedCalls;
      const bool older = !good && s.ok() && after && std::find(tables.begin(), tables.begin() + c, *after) != tables.begin() + c;
      if (older) ++tot->lost;
      if (!good && !older) ++tot->torn;
      if (!good) {
        if (full && tot->torn + tot->lost <= 5) {
          std::fprintf(stderr, "%s: cut after event %zu of %zu (call %d%s), sample %d: %s, %zu bytes\n", sc.name, k,
                       gLog.size(), c, returned ? ", returned" : ", in flight", n,
                       s.ok() ? "not the old or new table" : s.ToString().c_str(), after ? after->size() : 0);
        }
      }
    }
  }
  return true;
}

std::string leftover(const std::string& t) {
  // An insertion at line 2 cut short before its copy was complete, left by an earlier crash.
  dbhelper::UndoRecord rec;
  rec.oldSize = t.size();
  rec.pos = rel::lineStart(t, 2);
  rec.tailLen = t.size() - rec.pos;
  rec.copyOff = t.size() + 30;
  return rel::withUndoRecord(t + std::string(30, 'z') + t.substr(rec.pos, rec.tailLen / 2), rec);
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::atoi(argv[1]) : 160;
  static dbhelper::SysCalls logging = dbhelper::realSysCalls();
  logging.pwritev = logPwritev;
  logging.ftruncate = logFtruncate;
  logging.dataSync = logDataSync;
  logging.dirSync = logDirSync;
  gOptions.sys = &logging;
  const auto dir = std::filesystem::temp_directory_path() / ("powercut-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "t.txt").string();

  const std::string small = rel::makeTable(5, "s");
  const std::string big = rel::makeTable(700, "m", 30);  // about 21 KB: five pages
  const std::string left = rel::makeTable(8, "l");
  const std::vector<Scenario> scenarios = {
      {"one page: appends", small, small, {{0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}}},
      {"one page: first, middle, last line", small, small, {{1}, {3}, {-1}, {7}}},
      {"pages: appends", big, big, {{0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}}},
      {"pages: first line", big, big, {{1}, {1}}},
      {"pages: middle and last line", big, big, {{350}, {-1}, {702}}},
      {"pages, tail moved in chunks: first and middle line", big, big, {{1}, {350}}, 4096},
      // Some 40 sectors a batch, torn in any way: the whole batch or none of it may stand.
      // The append after one writes where its record lay until the unsynced commit.
      {"pages: batches of 400 rows and an append", big, big, {{0, 400}, {0}, {0, 400}}},
      {"leftover record: insert, append", leftover(left), left, {{2}, {0}}},
      {"leftover record: append", leftover(left), left, {{0}}},
  };
  bool ok = true;
  for (const SyncMode mode : {SyncMode::kFull, SyncMode::kOff}) {
    gOptions.sync = mode;
    Totals tot;
    for (const Scenario& sc : scenarios) ok = runScenario(sc, path, mode == SyncMode::kFull ? samples : 2 * samples, &tot) && ok;
    const bool full = mode == SyncMode::kFull;
    std::printf("sync=%s: %ld states simulated, %ld torn (%ld with a failed call), %ld an older table (acknowledged "
                "writes lost); syncs per call at most: append %d, insertion %d\n",
                full ? "full" : "off", tot.states, tot.torn, tot.failedCalls, tot.lost, tot.maxSyncsAppend,
                tot.maxSyncsInsert);
    if (tot.states < 10000) {
      std::fprintf(stderr, "too few states: %ld\n", tot.states);
      ok = false;
    }
    if (full && (tot.torn != 0 || tot.lost != 0 || tot.maxSyncsAppend > 3 || tot.maxSyncsInsert > 4)) ok = false;
    if (!full && (tot.maxSyncsAppend != 0 || tot.maxSyncsInsert != 0)) ok = false;
  }
  std::filesystem::remove_all(dir);
  std::printf(ok ? "powercut: OK\n" : "powercut: FAILED\n");
  return ok ? 0 : 1;
}
