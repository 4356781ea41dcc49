// Micro-benchmarks of the table core, to find hot spots: splitting a line, parsing record
// text, rendering a row, counting rows and decoding UTF-8. The table calls that read a
// file use a table in the temp directory (page cache), so they include the system calls.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dbhelper/DBHelper.h"
#include "dbhelper/freshness.h"
#include "dbhelper/table_cache.h"
#include "dbhelper/utf.h"

namespace {

using dbhelper::DBHelper;

std::string tablePath(int rows) {
  const auto path = std::filesystem::temp_directory_path() / ("dbiface-micro-" + std::to_string(rows) + ".txt");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "NAME|SCORE|DATE\n";
  char line[64];
  for (int i = 0; i < rows; ++i) {
    std::snprintf(line, sizeof line, "player%06d|%d|12/08/2026\n", i, (i * 7919) % 100000);
    out << line;
  }
  return path.string();
}

void BM_parseLine(benchmark::State& state) {
  const std::string line = "player000042 | 1200 | 9/13/2006";
  for (auto _ : state) benchmark::DoNotOptimize(dbhelper::parseLine(line));
}
BENCHMARK(BM_parseLine);

void BM_parseRecordText(benchmark::State& state) {
  const std::string path = tablePath(1);
  std::string trace;
  DBHelper table(path, &trace);
  dbhelper::DataRow row;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.parseRecordText("DATE=9/13/2006, NAME=player, SCORE=120", &row));
  }
}
BENCHMARK(BM_parseRecordText);

void BM_loadAndCount(benchmark::State& state) {
  const std::string path = tablePath(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::string trace;
    DBHelper table(path, &trace);
    benchmark::DoNotOptimize(table.getNumRows());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_loadAndCount)->Arg(50)->Arg(1000)->Arg(100000);

void BM_loadAndRenderMiddleRow(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const std::string path = tablePath(rows);
  for (auto _ : state) {
    std::string trace;
    DBHelper table(path, &trace);
    benchmark::DoNotOptimize(table.getRow(rows / 2));
  }
}
BENCHMARK(BM_loadAndRenderMiddleRow)->Arg(50)->Arg(1000)->Arg(100000);

// What proving a cached image fresh costs, per candidate: stat alone (one statx of the open
// file; the racily-clean rule adds only arithmetic), inotify alone (one non-blocking read
// plus a statx of the path for identity), and the check in use (takeSnapshot: statx of the
// file and of the path, one read of the instance).
dbhelper::File openTable(const std::string& path) {
  dbhelper::File f;
  bool missing = false;
  if (!dbhelper::File::Open(path, dbhelper::File::Mode::kRead, &f, &missing).ok() || missing) std::abort();
  return f;
}

void BM_freshStatOnly(benchmark::State& state) {
  const dbhelper::File f = openTable(tablePath(50));
  dbhelper::FileInfo info;
  for (auto _ : state) benchmark::DoNotOptimize(f.Stat(&info, true));
}
BENCHMARK(BM_freshStatOnly);

void BM_freshStatPath(benchmark::State& state) {
  const std::string path = tablePath(50);
  dbhelper::FileInfo info;
  for (auto _ : state) benchmark::DoNotOptimize(dbhelper::File::StatPath(path, &info, true));
}
BENCHMARK(BM_freshStatPath);

void BM_freshInotifyOnly(benchmark::State& state) {
  const std::string path = tablePath(50);
  const dbhelper::File f = openTable(path);
  const auto& sys = dbhelper::realSysCalls();
  const int in = sys.watchOpen();
  if (in < 0 || f.AddWatch(in) < 0) {
    state.SkipWithError("no inotify");
    return;
  }
  dbhelper::WatchEvent ev[8];
  dbhelper::FileInfo info;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sys.watchRead(in, ev, 8));
    benchmark::DoNotOptimize(dbhelper::File::StatPath(path, &info, true));
  }
  sys.close(in);
}
BENCHMARK(BM_freshInotifyOnly);

void BM_freshSnapshot(benchmark::State& state) {
  // Made once: a thread rewriting the table would rightly fail the other's check.
  static const std::string path = tablePath(51);
  const dbhelper::File f = openTable(path);
  dbhelper::Snapshot then;
  if (!dbhelper::takeSnapshot(path, f, &then)) {
    state.SkipWithError("freshness not provable here");
    return;
  }
  for (auto _ : state) {
    dbhelper::Snapshot now;
    dbhelper::takeSnapshot(path, f, &now);
    if (!dbhelper::provenUnchanged(then, now)) std::abort();
  }
}
BENCHMARK(BM_freshSnapshot)->Threads(1)->Threads(2);

// The system calls of one cached read around the check: open, statx, the file lock,
// the snapshot, unlock, close (the in-process lock and the trace write excluded).
void BM_freshOpenLockSnapshot(benchmark::State& state) {
  const std::string path = tablePath(50);
  dbhelper::Snapshot then;
  {
    const dbhelper::File f = openTable(path);
    if (!dbhelper::takeSnapshot(path, f, &then)) {
      state.SkipWithError("freshness not provable here");
      return;
    }
  }
  const auto forever = std::chrono::steady_clock::now() + std::chrono::hours(1);
  for (auto _ : state) {
    dbhelper::File f = openTable(path);
    if (!f.Lock(false, forever).ok()) std::abort();
    dbhelper::Snapshot now;
    dbhelper::takeSnapshot(path, f, &now);
    if (!dbhelper::provenUnchanged(then, now)) std::abort();
    if (!f.Unlock().ok()) std::abort();
  }
}
BENCHMARK(BM_freshOpenLockSnapshot);

// The first count after another program appends a row, with the cache (arg 1) and
// without it (arg 0: every table below the cache's minimum size), on 100,000 rows.
void BM_countAfterAppend(benchmark::State& state) {
  const std::string path = tablePath(100000);
  const auto size = std::filesystem::file_size(path);
  dbhelper::Options options;
  if (state.range(0) == 0) options.cacheMinBytes = SIZE_MAX;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::resize_file(path, size);
    std::ofstream(path, std::ios::binary | std::ios::app) << "player999999|1|12/08/2026\n";
    state.ResumeTiming();
    std::string trace;
    DBHelper table(path, &trace, DBHelper::Access::kRead, options);
    if (table.getNumRows() != 100001) std::abort();
  }
}
BENCHMARK(BM_countAfterAppend)->Arg(0)->Arg(1)->UseRealTime();

void BM_decodeUtf8(benchmark::State& state) {
  const std::string row = "NAME=pl\xC3\xA4yer \xF0\x9F\x98\x80,SCORE=120,DATE=9/13/2006";
  for (auto _ : state) benchmark::DoNotOptimize(dbhelper::decodeUtf8(row));
}
BENCHMARK(BM_decodeUtf8);

}  // namespace

BENCHMARK_MAIN();
