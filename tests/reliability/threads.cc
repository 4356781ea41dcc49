// Threads of one process on one table: mixed appends, insertions at random lines, row
// reads and row counts, half of them through a second name of the same file (a hard
// link), so the in-process lock must key on the file, not the path. Every row carries
// its own check (NAME=tTrI,SCORE=I), so a read can be validated without shared state
// that would order the threads for the race detector. Built with -fsanitize=thread by
// ci.sh.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "tests/reliability/harness.h"

namespace {

using dbhelper::DBHelper;

std::atomic<long> gErrors{0};

void fail(const std::string& what) {
  if (gErrors++ < 20) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

// True for "NAME=<p><i>,SCORE=<i>,DATE=<p>" with p one of "b" or "t<k>r".
bool wellFormed(const std::string& row) {
  const size_t s = row.find(",SCORE=");
  const size_t d = row.find(",DATE=");
  if (row.rfind("NAME=", 0) != 0 || s == std::string::npos || d == std::string::npos || d < s) return false;
  const std::string name = row.substr(5, s - 5);
  const std::string score = row.substr(s + 7, d - s - 7);
  const std::string date = row.substr(d + 6);
  return !score.empty() && name.size() > score.size() &&
         name.compare(name.size() - score.size(), score.size(), score) == 0 &&
         name.substr(0, name.size() - score.size()) == (date == "b" ? "b" : date + "r");
}

void worker(int k, const std::string& path, int ops, int32_t base) {
  rel::Rng rng(static_cast<uint64_t>(k) + 1);
  int32_t seen = base;
  std::string trace;
  for (int i = 0; i < ops;) {
    trace.clear();
    const uint64_t kind = rng.below(10);
    if (kind < 2) {
      DBHelper t(path, &trace);
      const int32_t n = t.getNumRows();
      if (!t.status().ok()) fail("count: " + t.status().ToString());
      if (n < seen) fail("row count fell from " + std::to_string(seen) + " to " + std::to_string(n));
      seen = std::max(seen, n);
    } else if (kind < 4) {
      DBHelper t(path, &trace);
      const std::string row = t.getRow(1 + static_cast<int32_t>(rng.below(static_cast<uint64_t>(seen))));
      if (!t.status().ok()) fail("get: " + t.status().ToString());
      if (!wellFormed(row)) fail("read a row that was never written: '" + row + "'");
    } else {
      const std::string tag = "t" + std::to_string(k);
      const std::string text = "NAME=" + tag + "r" + std::to_string(i) + ",SCORE=" + std::to_string(i) + ",DATE=" + tag;
      DBHelper t(path, &trace, kind < 7 ? DBHelper::Access::kAppend : DBHelper::Access::kWrite);
      dbhelper::Status s = t.status();
      if (s.ok()) {
        s = kind < 7 ? t.writeRow(text)
                     : t.writeRowToLine(text, 1 + static_cast<int32_t>(rng.below(static_cast<uint64_t>(seen) + 1)));
      }
      if (!s.ok()) fail("write: " + s.ToString());
      ++seen;
      ++i;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
  const int ops = argc > 2 ? std::atoi(argv[2]) : 300;
  char tmpl[] = "/tmp/dbiface-threads-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  const std::string dir = tmpl;
  const std::string path = dir + "/t.txt";
  // Over 64 KiB, so writers read only the table's edges and rely on the size they see.
  const int32_t base = 7000;
  std::string table = rel::kHeader;
  for (int32_t i = 0; i < base; ++i) table += "b" + std::to_string(i) + "|" + std::to_string(i) + "|b\n";
  rel::writeFile(path, table);
  std::filesystem::create_hard_link(path, dir + "/link.txt");

  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k) {
    pool.emplace_back(worker, k, k % 2 == 0 ? path : dir + "/link.txt", ops, base);
  }
  for (auto& t : pool) t.join();

  // Every line well-formed, every record exactly once, and so the library reads them.
  std::map<std::string, int> tags;
  for (int k = 0; k < threads; ++k) tags["t" + std::to_string(k) + "r"] = ops;
  const bool whole = rel::checkTable(rel::readFile(path).value_or(""), base, tags);
  std::string trace;
  DBHelper t(path, &trace);
  const int32_t n = t.getNumRows();
  for (int32_t i = 1; i <= n; ++i) {
    const std::string row = t.getRow(i);
    if (!wellFormed(row)) fail("final row " + std::to_string(i) + " malformed: '" + row + "'");
  }
  if (n != base + threads * ops) fail("table has " + std::to_string(n) + " rows");
  std::printf("%d threads x %d writes (plus reads): %d rows, %ld errors\n", threads, ops, n, gErrors.load());
  std::filesystem::remove_all(dir);
  return whole && gErrors == 0 ? 0 : 1;
}
