// Freshness oracle: a forked mutator changes the table behind the library's back in every
// way the kernel allows, and every library answer must be what a fresh read of the file
// gives. Sequential phase: after each change completes (the mutator answers through a
// pipe) the parent asks the library (counts, rows, an append's placement) and the
// freshness check, and compares with an independent reader. Concurrent phase: the mutator
// runs freely and logs each state it produced with the time span it may have been seen in;
// each answer must match a state that was there during the call, or a write of its that
// lengthens the file seen cut anywhere before its end (counted apart: the kernel shows
// those, and a read that overlaps a write may see what the write has done so far).
//
//   reliability_freshness [CHANGES [MERGED]]   default 10000 sequential changes on the
//       temp directory, a fifth of that again on tmpfs; with MERGED, also measures (does
//       not check) MERGED own writes racing same-size changes, which inotify may merge
//       into their events
#include "tests/reliability/freshness_oracle.h"

namespace oracle {

bool snapshotOf(const std::string& path, dbhelper::Snapshot* s) {
  dbhelper::File f;
  bool missing = false;
  return dbhelper::File::Open(path, dbhelper::File::Mode::kRead, &f, &missing).ok() && !missing &&
         dbhelper::takeSnapshot(path, f, s);
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
  // A line over 99 bytes hides what follows it: the library refuses to write there.
  bool fits = before.has_value() && !t.endsEarly;
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

// Whether some prefix of the write `w` (longer than w.from, shorter than w.bytes) gives
// `got`. Only cuts that end inside data line `got.rows`, and the one that makes the line
// after it too long to be a row, can give that many rows.
bool aCutShows(const Mutator::State& w, const std::vector<int32_t>& probes, const Answers& got) {
  const std::string& b = w.bytes;
  int32_t started = 0;  // data lines begun before the cut
  size_t lastStart = 0;
  for (size_t c = 1; c < b.size(); ++c) {
    if (b[c - 1] == '\n') {
      ++started;
      lastStart = c;
    }
    const bool tooLong = started == got.rows + 1 && c == lastStart + 100;
    if (c <= w.from || (started != got.rows && !tooLong)) continue;
    if (Table::of(b.substr(0, c)).answers(probes) == got) return true;
  }
  return false;
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
      const int64_t head[4] = {s.start, s.end, static_cast<int64_t>(s.missing + 2 * s.partial + 4 * s.from),
                               static_cast<int64_t>(s.bytes.size())};
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
                                 (head[2] & 2) != 0, static_cast<size_t>(head[2] >> 2)});
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
      if (log[k].partial) {
        halfWay = halfWay || aCutShows(log[k], t.probes, t.got);
        continue;
      }
      if (it->second.answers(t.probes) != t.got) continue;
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

}  // namespace oracle

int main(int argc, char** argv) {
  using namespace oracle;  // NOLINT: the oracle's own names
  const long changes = argc > 1 ? std::atol(argv[1]) : 10000;
  const long merged = argc > 2 ? std::atol(argv[2]) : 0;
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
    // Every table is cached, however small: answers come from cached images whenever
    // they are proven fresh (reads then neither open nor lock the file).
    sequential(path, n, seed++, &c);
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

    // Our writes keep their image only while nothing else is seen: against another
    // process's library writes, and a program that ignores the lock as well.
    for (const Outsider outsider : {Outsider::kNone, Outsider::kSeen}) {
      Counts oc;
      long kept = 0;
      const int rounds = 1500;
      ownWrites(path, rounds, seed++, false, outsider, &oc, &kept);
      std::printf("%s own writes %s: %d writes, %ld kept their image; %ld answers, %ld mismatches\n", dir.c_str(),
                  outsider == Outsider::kNone ? "against another process"
                                              : "against another process and a program ignoring the lock",
                  rounds, kept, oc.answers, oc.mismatches);
      if (oc.mismatches != 0 || kept == 0) ++failures;
    }
    if (merged > 0) {
      // Not a check: how often a same-size change racing our write goes unseen.
      for (const bool quiet : {false, true}) {
        Counts oc;
        long kept = 0;
        ownWrites(path, static_cast<int>(merged), seed++, quiet, Outsider::kAny, &oc, &kept);
        std::printf("%s merged-event measurement, %s: %ld writes racing every kind of change, %ld kept their "
                    "image, %ld stale answers of %ld\n",
                    dir.c_str(), quiet ? "with the pause after a caught outsider" : "without the pause", merged, kept,
                    oc.mismatches, oc.answers);
      }
    }
  }
  std::filesystem::remove_all(tmpl);
  if (!shm.empty()) std::filesystem::remove_all(shm);
  std::printf("%s\n", failures == 0 ? "freshness oracle: OK" : "freshness oracle: FAILED");
  return failures == 0 ? 0 : 1;
}
