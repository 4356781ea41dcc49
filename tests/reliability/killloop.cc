// The kill loop: starts a writer process on a table, SIGKILLs it at a random moment, makes
// one library call, and checks that the table is exactly the state before or after the
// operation the writer was in, byte for byte. The writer runs the operation stream of
// harness.h and writes one byte to fd 3 after each completed operation, so the driver
// knows which two states are allowed.
//
//   reliability_killloop [--kills N] [--seconds S] [--jvm] [--batch] -- COMMAND...
// COMMAND gets PATH SEED MODE ROWS COUNT appended (see dbtool loop). --batch makes every
// operation one append of a batch of rel::kBatch rows, on a small and a multi-MiB table.
// The report counts per table the kills, the rounds that aimed at a write (see below),
// the kills that hit a writer already writing (after its first completed operation or in
// the middle of one), those that left a write half done in the file (mid-write), writers
// that finished first, the allowed state found (old: before the interrupted write, new:
// after it), and how often the library call had to settle a half-done write: rolled back
// to old, or kept as new (durable bytes all in place). A batch run that never left a
// batch half done has not tested it, and fails.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "tests/reliability/harness.h"

namespace {

struct Config {
  const char* name;
  int64_t rows;
  char mode;
  int count;          // operations per writer before it exits on its own
  double maxDelayMs;  // kills land uniformly in [0, maxDelayMs) after the start...
  double opDelayMs;   // ...or in [0, opDelayMs) after the first completed operation; each
                      // shrinks when writers finish first
  std::string base;
};

struct Tally {
  long kills = 0;
  long aimed = 0;     // rounds that aimed at a batch's write (see below)
  long finished = 0;  // writers that completed before the kill
  long writing = 0;   // kills that landed after the writer's first write began
  long midWrite = 0;  // the file held neither allowed state before the library call
  long oldState = 0;
  long newState = 0;
  long rolledBack = 0;  // the library call found a half-done write and rolled it back
  long kept = 0;        // ...or found it whole and kept it
  long bad = 0;
};

}  // namespace

int main(int argc, char** argv) {
  long wantKills = 320;
  double seconds = 300;
  bool jvm = false;
  bool batch = false;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--kills") == 0 && i + 1 < argc) wantKills = std::atol(argv[++i]);
    else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--jvm") == 0) jvm = true;
    else if (std::strcmp(argv[i], "--batch") == 0) batch = true;
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usage: %s [--kills N] [--seconds S] [--jvm] [--batch] -- COMMAND...\n", argv[0]);
    return 2;
  }
  const std::vector<std::string> command(argv + i + 1, argv + argc);

  char tmpl[] = "/tmp/dbiface-kill-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  const std::string path = std::string(tmpl) + "/t.txt";

  // A JVM needs about half a second to reach its first call.
  const double startup = jvm ? 350 : 2;
  std::vector<Config> configs;
  if (batch) {
    configs = {
        {"b-small", 5, 'b', 20, startup + 20, 10, rel::makeTable(5, "s")},
        {"b-MiB", 140000, 'b', 20, startup + 20, 10, rel::makeTable(140000, "L")},
    };
  } else {
    configs = {
        {"small", 5, 'm', 20, startup + 4, 2, rel::makeTable(5, "s")},
        {"medium", 2000, 'm', 60, startup + 40, 20, rel::makeTable(2000, "m")},
        {"multi-MiB", 140000, 'i', 400, startup + 120, 60, rel::makeTable(140000, "L")},
    };
  }
  std::printf("tables:");
  for (const Config& c : configs) std::printf(" %s %zu B", c.name, c.base.size());
  std::printf("\n");

  std::vector<Tally> tally(configs.size());
  rel::Rng rng(static_cast<uint64_t>(getpid()) * 1000003u + static_cast<uint64_t>(time(nullptr)));
  const auto start = std::chrono::steady_clock::now();
  long kills = 0;
  long bad = 0;
  for (uint64_t round = 0; kills < wantKills; ++round) {
    if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) break;
    Config& c = configs[round % configs.size()];
    Tally& t = tally[round % configs.size()];
    rel::writeFile(path, c.base);
    const uint64_t seed = rng.next() % 1000000;

    // Every other round of each table waits for the first completed operation, so that
    // kills of slow starters (a JVM) land while they write, not only while they start.
    // A batch spends most of its time parsing; its write is over in some 50 us, often
    // before a kill sent from another processor lands. So every third batch round aims:
    // writer and driver share one processor, the writer under SCHED_IDLE, and each system
    // call that changes the file wakes the driver, which preempts the writer at once. It
    // kills after the k-th such call of the next write (k = 1..4; the 4th of an append
    // without sync is its commit).
    const uint64_t turn = round / configs.size();
    const int aimAt = batch && turn % 3 == 2 ? 1 + static_cast<int>(rng.below(4)) : 0;
    const bool afterFirst = aimAt > 0 || turn % 2 == 1;
    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    if (aimAt > 0) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(sched_getcpu(), &one);
      sched_setaffinity(0, sizeof one, &one);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 2;
    const pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      const sched_param idle{0};
      if (aimAt > 0) sched_setscheduler(0, SCHED_IDLE, &idle);
      dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);  // the JVM's trace lines
      std::vector<std::string> args = command;
      for (const std::string& a : {path, std::to_string(seed), std::string(1, c.mode), std::to_string(c.rows),
                                   std::to_string(c.count)}) {
        args.push_back(a);
      }
      std::vector<char*> av;
      for (auto& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    setpgid(pid, pid);
    close(fds[1]);
    long done = 0;
    if (afterFirst) {
      pollfd p{fds[0], POLLIN, 0};
      char b;
      if (poll(&p, 1, 30000) == 1 && read(fds[0], &b, 1) == 1) done = 1;
    }
    double& maxDelay = afterFirst ? c.opDelayMs : c.maxDelayMs;
    const double delay = static_cast<double>(rng.below(1000000)) / 1e6 * maxDelay;
    int watch = -1;
    if (aimAt > 0) {
      watch = inotify_init1(IN_CLOEXEC);
      if (watch >= 0 && inotify_add_watch(watch, path.c_str(), IN_MODIFY) >= 0) {
        alignas(inotify_event) char ev[4096];
        pollfd p{watch, POLLIN, 0};
        for (int k = 0; k < aimAt && poll(&p, 1, 1000) == 1;) {
          k += static_cast<int>(read(watch, ev, sizeof ev) / static_cast<ssize_t>(sizeof(inotify_event)));
        }
      }
      ++t.aimed;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(delay * 1000)));
    }
    kill(-pid, SIGKILL);
    if (watch >= 0) close(watch);  // not before: closing it may sleep and let the writer on
    int st = 0;
    waitpid(pid, &st, 0);
    sched_setaffinity(0, sizeof cpus, &cpus);
    char buf[4096];
    for (ssize_t r; (r = read(fds[0], buf, sizeof buf)) > 0;) done += r;
    close(fds[0]);
    const bool killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    if (!killed) {
      if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || done != c.count) {
        std::fprintf(stderr, "FAIL %s: writer ended with status %d after %ld operations\n", c.name, st, done);
        ++bad;
        ++t.bad;
        if (bad > 5) break;
        continue;
      }
      ++t.finished;
      if (aimAt == 0) maxDelay *= 0.8;  // aim the kills inside the writer's life
    } else {
      ++kills;
      ++t.kills;
    }

    // The two states the table may be in.
    const int64_t per = rel::rowsPerOp(c.mode);
    auto ops = [&](long k) { return rel::opsFor(seed, static_cast<uint64_t>(k), c.rows + k * per, c.mode); };
    std::string before = c.base;
    for (long k = 0; k < done; ++k) before = rel::applied(std::move(before), ops(k));
    const std::string after = done < c.count ? rel::applied(before, ops(done)) : before;
    const int64_t rowsBefore = c.rows + done * per;

    const std::string raw = rel::readFile(path).value_or("");
    int32_t rows;
    {
      std::string trace;
      dbhelper::DBHelper table(path, &trace);
      rows = table.getNumRows();
      if (!table.status().ok()) std::fprintf(stderr, "%s: read failed: %s\n", c.name, table.status().ToString().c_str());
    }
    const std::string now = rel::readFile(path).value_or("");
    if (!killed) {
      if (now != before || rows != rowsBefore) {
        ++bad;
        ++t.bad;
        std::fprintf(stderr, "FAIL %s seed %llu: a writer that finished left a wrong table\n", c.name,
                     static_cast<unsigned long long>(seed));
      }
      continue;
    }
    if (now == before && rows == rowsBefore) {
      ++t.oldState;
    } else if (now == after && rows == rowsBefore + per) {
      ++t.newState;
    } else {
      ++bad;
      ++t.bad;
      std::fprintf(stderr, "FAIL %s seed %llu: after %ld operations and a kill %s the table is %zu bytes, %d rows; "
                   "allowed: %zu or %zu bytes\n", c.name, static_cast<unsigned long long>(seed), done,
                   aimAt > 0 ? ("after change " + std::to_string(aimAt) + " of a write").c_str()
                             : ("at " + std::to_string(delay) + " ms").c_str(),
                   now.size(), rows, before.size(), after.size());
      if (bad > 5) break;
      continue;
    }
    if (raw != now) ++(now == before ? t.rolledBack : t.kept);
    if (raw != before && raw != after) ++t.midWrite;
    if (raw != now || done > 0) ++t.writing;
  }
  std::filesystem::remove_all(tmpl);

  long midWrites = 0;
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-10s %6s %6s %8s %9s %9s %6s %6s %11s %5s %5s\n", "table", "kills", "aimed", "writing", "mid-write",
              "finished", "old", "new", "rolled-back", "kept", "bad");
  for (size_t k = 0; k < configs.size(); ++k) {
    const Tally& t = tally[k];
    std::printf("%-10s %6ld %6ld %8ld %9ld %9ld %6ld %6ld %11ld %5ld %5ld\n", configs[k].name, t.kills, t.aimed,
                t.writing, t.midWrite, t.finished, t.oldState, t.newState, t.rolledBack, t.kept, t.bad);
    midWrites += t.midWrite;
  }
  std::printf("%ld kills in %.1f s; %ld failures (a table not in an allowed state, or a writer that failed)\n",
              kills, took, bad);
  if (kills < wantKills) std::printf("only %ld of %ld kills within %.0f s\n", kills, wantKills, seconds);
  if (batch && midWrites == 0) std::printf("no kill landed in the middle of a batch\n");
  return bad == 0 && kills >= wantKills && (!batch || midWrites > 0) ? 0 : 1;
}
