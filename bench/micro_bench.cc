// Micro-benchmarks of the table core, to find hot spots: splitting a line, parsing record
// text, rendering a row, counting rows and decoding UTF-8. The table calls that read a
// file use a table in the temp directory (page cache), so they include the system calls.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "dbhelper/DBHelper.h"
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

void BM_decodeUtf8(benchmark::State& state) {
  const std::string row = "NAME=pl\xC3\xA4yer \xF0\x9F\x98\x80,SCORE=120,DATE=9/13/2006";
  for (auto _ : state) benchmark::DoNotOptimize(dbhelper::decodeUtf8(row));
}
BENCHMARK(BM_decodeUtf8);

}  // namespace

BENCHMARK_MAIN();
