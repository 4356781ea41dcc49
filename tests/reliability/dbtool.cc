// A small command-line client of the table core, for the reliability drivers: a second
// writer process next to the JVMs, and the victim of the kill loop.
//
//   dbtool count PATH                    print the number of data rows
//   dbtool get PATH INDEX                print one row
//   dbtool append PATH TEXT              append a record
//   dbtool insert PATH LINE TEXT         insert a record at LINE
//   dbtool loop PATH SEED MODE ROWS [N]  run the kill loop's operation stream (harness.h)
//                                        on a table of ROWS rows; one byte to fd 3 after
//                                        each completed operation (MODE b: each a batch
//                                        of writeRecords)
//   dbtool hammer PATH TAG N SEED [US]   N mixed reads and writes of records TAG0..TAG<N-1>,
//                                        pausing US microseconds after each write
//   dbtool hold PATH SECONDS             hold the table's write lock for SECONDS; prints
//                                        "held" once it has it
//   dbtool check PATH BASE TAG:N...      every line has 3 fields; BASE untagged rows and
//                                        each TAGi (i < N) exactly once
//   dbtool readloop PATH STOP [rows]     count rows back to back until the file STOP exists;
//                                        prints "reading" after the first count; fails on a
//                                        count that fell (with rows: also reads the last row
//                                        each time, and fails on a torn one)
//   dbtool timedwrites PATH N PAUSE_MS   N appends PAUSE_MS apart; prints the slowest call;
//                                        fails if any append did
//   dbtool killat PATH STEPS LINE TEXT   insert TEXT at LINE (0: append) and end the process
//                                        (exit 9) where a kill would, before the write's
//                                        change STEPS+1 to the file (a write or a
//                                        truncation); exit 0 when it finished within STEPS
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/durability.h"
#include "tests/reliability/harness.h"

namespace {

using dbhelper::DBHelper;
using dbhelper::Status;

// What every call here runs with (DBIFACE_SYNC=full makes writes durable, and
// DBIFACE_SINGLE_PROCESS=true says no other process uses the table, as the JVM properties do).
dbhelper::Options gOptions;

[[noreturn]] void die(const std::string& what, const Status& s) {
  std::fprintf(stderr, "dbtool: %s: %s\n", what.c_str(), s.ToString().c_str());
  std::exit(1);
}

int32_t count(const std::string& path) {
  std::string trace;
  DBHelper t(path, &trace, DBHelper::Access::kRead, gOptions);
  const int32_t n = t.getNumRows();
  if (!t.status().ok()) die("count", t.status());
  return n;
}

std::string get(const std::string& path, int32_t i) {
  std::string trace;
  DBHelper t(path, &trace, DBHelper::Access::kRead, gOptions);
  std::string row = t.getRow(i);
  if (!t.status().ok()) die("get", t.status());
  return row;
}

Status write(const std::string& path, const std::string& text, int64_t line) {
  std::string trace;
  // The access the JNI entry points use for each call.
  DBHelper t(path, &trace, line == 0 ? DBHelper::Access::kAppend : DBHelper::Access::kWrite, gOptions);
  if (!t.status().ok()) return t.status();
  return line == 0 ? t.writeRow(text) : t.writeRowToLine(text, static_cast<int32_t>(line));
}

Status writeBatch(const std::string& path, const std::vector<rel::Op>& ops) {
  std::string trace;
  DBHelper t(path, &trace, DBHelper::Access::kAppend, gOptions);
  if (!t.status().ok()) return t.status();
  std::vector<std::string_view> texts;
  for (const rel::Op& op : ops) texts.push_back(op.record);
  return t.writeRecords(texts);
}

int loop(const std::string& path, uint64_t seed, char mode, int64_t rows, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    const std::vector<rel::Op> ops = rel::opsFor(seed, i, rows + static_cast<int64_t>(i) * rel::rowsPerOp(mode), mode);
    const Status s = mode == 'b' ? writeBatch(path, ops) : write(path, ops[0].record, ops[0].at);
    if (!s.ok()) die("loop", s);
    const char done = 1;
    if (::write(3, &done, 1) != 1) return 1;
  }
  return 0;
}

// killat: the changes to the file still allowed before the process ends.
int64_t gStepsLeft;
long dyingPwritev(int fd, const dbhelper::Slice* slices, int count, int64_t off) {
  if (gStepsLeft-- == 0) ::_exit(9);
  return dbhelper::realSysCalls().pwritev(fd, slices, count, off);
}
int dyingFtruncate(int fd, int64_t size) {
  if (gStepsLeft-- == 0) ::_exit(9);
  return dbhelper::realSysCalls().ftruncate(fd, size);
}

int killAt(const std::string& path, int64_t steps, int64_t line, const std::string& text) {
  static dbhelper::SysCalls sys = dbhelper::realSysCalls();
  sys.pwritev = dyingPwritev;
  sys.ftruncate = dyingFtruncate;
  gOptions.sys = &sys;
  gStepsLeft = steps;
  const Status s = write(path, text, line);
  if (!s.ok()) die("killat", s);
  return 0;
}

int hammer(const std::string& path, const std::string& tag, int n, uint64_t seed, unsigned pauseUs) {
  rel::Rng rng(seed);
  int32_t seen = count(path);
  for (int i = 0; i < n;) {
    const uint64_t kind = rng.below(10);
    if (kind < 2) {
      const int32_t now = count(path);
      if (now < seen) {
        std::fprintf(stderr, "dbtool: row count fell from %d to %d\n", seen, now);
        return 1;
      }
      seen = now;
      continue;
    }
    if (kind < 4) {
      if (seen == 0) continue;
      const std::string row = get(path, 1 + static_cast<int32_t>(rng.below(static_cast<uint64_t>(seen))));
      // Rows are only ever added, so an index below an earlier count always holds one.
      if (row.rfind("NAME=", 0) != 0 || row.find(",SCORE=") == std::string::npos ||
          row.find(",DATE=") == std::string::npos) {
        std::fprintf(stderr, "dbtool: malformed row '%s'\n", row.c_str());
        return 1;
      }
      continue;
    }
    const std::string text = "NAME=" + tag + std::to_string(i) + ",SCORE=" + std::to_string(i) + ",DATE=p";
    const int64_t line = kind < 7 ? 0 : 1 + static_cast<int64_t>(rng.below(static_cast<uint64_t>(seen) + 1));
    const Status s = write(path, text, line);
    if (!s.ok()) die("hammer write", s);
    if (pauseUs > 0) ::usleep(pauseUs);
    ++seen;
    ++i;
  }
  return 0;
}

int readLoop(const std::string& path, const std::string& stop, bool rows) {
  int32_t seen = count(path);
  std::printf("reading\n");
  std::fflush(stdout);
  long reads = 1;
  while (!std::filesystem::exists(stop)) {
    const int32_t now = count(path);  // dies on a timeout
    if (now < seen) {
      std::fprintf(stderr, "dbtool: row count fell from %d to %d\n", seen, now);
      return 1;
    }
    // Rows are only added: the row at the count just seen is there, and whole.
    const std::string row = rows && now > 0 ? get(path, now) : std::string("NAME=,SCORE=,DATE=");
    if (row.rfind("NAME=", 0) != 0 || row.find(",SCORE=") == std::string::npos || row.find(",DATE=") == std::string::npos) {
      std::fprintf(stderr, "dbtool: malformed row %d: '%s'\n", now, row.c_str());
      return 1;
    }
    seen = now;
    ++reads;
  }
  std::printf("reads %ld\n", reads);
  return 0;
}

int timedWrites(const std::string& path, int n, int pauseMs) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> ms;
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    const Status s = write(path, "NAME=w" + std::to_string(i) + ",SCORE=" + std::to_string(i) + ",DATE=t", 0);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (!s.ok()) {
      ++failed;
      std::fprintf(stderr, "dbtool: write %d after %.0f ms: %s\n", i, ms.back(), s.ToString().c_str());
    }
    ::usleep(static_cast<useconds_t>(pauseMs) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%d writes, %d failed: slowest %.1f ms, median %.1f ms\n", n, failed, ms.back(), ms[ms.size() / 2]);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  auto usage = [] {
    std::fprintf(stderr, "usage: dbtool count|get|append|insert|loop|hammer|hold|check|readloop|timedwrites|killat PATH ...\n");
    return 2;
  };
  if (a.size() < 2) return usage();
  // The library's mode, as the JVM property would set it.
  if (const char* m = std::getenv("DBIFACE_SYNC"); m != nullptr && std::strcmp(m, "full") == 0) {
    gOptions.sync = dbhelper::SyncMode::kFull;
  }
  // As -Dgameserver.dbiface.singleProcess=true would (for measuring what it lets through).
  if (const char* m = std::getenv("DBIFACE_SINGLE_PROCESS"); m != nullptr && std::strcmp(m, "true") == 0) {
    gOptions.singleProcess = true;
  }
  const std::string& cmd = a[0];
  const std::string& path = a[1];
  if (cmd == "count") {
    std::printf("%d\n", count(path));
  } else if (cmd == "get" && a.size() == 3) {
    std::printf("%s\n", get(path, std::stoi(a[2])).c_str());
  } else if ((cmd == "append" && a.size() == 3) || (cmd == "insert" && a.size() == 4)) {
    const Status s = cmd == "append" ? write(path, a[2], 0) : write(path, a[3], std::stoll(a[2]));
    if (!s.ok()) die(cmd, s);
  } else if (cmd == "loop" && a.size() >= 5) {
    return loop(path, std::stoull(a[2]), a[3][0], std::stoll(a[4]), a.size() > 5 ? std::stoull(a[5]) : ~0ull);
  } else if (cmd == "hammer" && (a.size() == 5 || a.size() == 6)) {
    return hammer(path, a[2], std::stoi(a[3]), std::stoull(a[4]), a.size() == 6 ? std::stoul(a[5]) : 0);
  } else if (cmd == "hold" && a.size() == 3) {
    std::string trace;
    DBHelper t(path, &trace, DBHelper::Access::kWrite, gOptions);
    if (!t.status().ok()) die("hold", t.status());
    std::printf("held\n");
    std::fflush(stdout);
    ::sleep(static_cast<unsigned>(std::stoi(a[2])));
  } else if (cmd == "readloop" && (a.size() == 3 || (a.size() == 4 && a[3] == "rows"))) {
    return readLoop(path, a[2], a.size() == 4);
  } else if (cmd == "timedwrites" && a.size() == 4 && std::stoi(a[2]) > 0) {
    return timedWrites(path, std::stoi(a[2]), std::stoi(a[3]));
  } else if (cmd == "killat" && a.size() == 5) {
    return killAt(path, std::stoll(a[2]), std::stoll(a[3]), a[4]);
  } else if (cmd == "check" && a.size() >= 3) {
    std::map<std::string, int> tags;
    for (size_t k = 3; k < a.size(); ++k) {
      const size_t c = a[k].rfind(':');
      if (c == std::string::npos) return usage();
      tags[a[k].substr(0, c)] = std::stoi(a[k].substr(c + 1));
    }
    const auto bytes = rel::readFile(path);
    return bytes && rel::checkTable(*bytes, std::stoi(a[2]), tags) ? 0 : 1;
  } else {
    return usage();
  }
  return 0;
}
