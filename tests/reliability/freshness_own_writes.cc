// The freshness oracle's own-writes phase: this process appends and inserts rows while
// another process writes through the library and, when asked, a program that ignores
// the lock changes the file. Those run in rounds that race each write of ours; once a
// round is over and all writers are still, every answer must be what a fresh read of
// the file gives. A write of ours that kept its image when it should not have shows here
// as a stale answer.
#include <sys/wait.h>
#include <unistd.h>

#include "dbhelper/table_cache.h"
#include "tests/reliability/freshness_oracle.h"

namespace oracle {

namespace {

// A child that does one change per byte it reads and answers each with a byte.
struct Worker {
  pid_t pid = -1;
  int go = -1;
  int done = -1;

  // `inherited`: pipe ends of workers started before, which the child must close so
  // that they see the end of their pipe when the parent closes it.
  template <typename Change>
  static Worker start(Change change, const Worker& inherited = Worker()) {
    int toChild[2], toParent[2];
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) std::exit(2);
    Worker w;
    w.pid = ::fork();
    if (w.pid == 0) {
      ::close(toChild[1]);
      ::close(toParent[0]);
      if (inherited.pid > 0) {
        ::close(inherited.go);
        ::close(inherited.done);
      }
      char cmd;
      for (uint64_t i = 0; ::read(toChild[0], &cmd, 1) == 1; ++i) {
        change(i);
        if (::write(toParent[1], &cmd, 1) != 1) ::_exit(3);
      }
      ::_exit(0);
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    w.go = toChild[1];
    w.done = toParent[0];
    return w;
  }
  void ask() const {
    if (pid > 0 && ::write(go, "c", 1) != 1) std::exit(1);
  }
  void wait() const {
    char ack;
    if (pid > 0 && ::read(done, &ack, 1) != 1) std::exit(1);
  }
  bool stop() const {
    if (pid <= 0) return true;
    ::close(go);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(done);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

}  // namespace

void ownWrites(const std::string& path, int rounds, uint64_t seed, bool quietAfterOthers, Outsider outsider,
               Counts* c, long* kept) {
  rel::writeFile(path, rel::makeTable(20, "w"));
  dbhelper::Options options = gOptions;
  if (!quietAfterOthers) options.outsiderQuiet = std::chrono::milliseconds(0);
  const Worker other = Worker::start([&](uint64_t i) {
    std::string trace;
    DBHelper w(path, &trace, DBHelper::Access::kAppend, gOptions);
    if (w.status().ok()) (void)w.writeRow("NAME=o" + std::to_string(i) + ", SCORE=" + std::to_string(i) + ", DATE=x");
  });
  Worker mutator;
  if (outsider != Outsider::kNone) {
    mutator = Worker::start([&, m = std::make_shared<Mutator>(path, seed)](uint64_t) {
      m->resync();  // the library writes too
      m->apply(outsider == Outsider::kSeen ? m->randomSeenBesideOurs() : m->randomConcurrent());
    }, other);
  }
  rel::Rng r(seed ^ 0x0b0e);
  for (int i = 0; i < rounds; ++i) {
    // The others start their change now, racing the write below.
    const bool others = r.below(4) != 0;
    if (others) {
      other.ask();
      mutator.ask();
    }
    {
      std::string trace;
      const bool append = r.below(2) == 0;
      DBHelper w(path, &trace, append ? DBHelper::Access::kAppend : DBHelper::Access::kWrite, options);
      const std::string rec = "NAME=me" + std::to_string(i) + ", SCORE=" + std::to_string(i) + ", DATE=y";
      const int32_t rows = w.status().ok() ? w.getNumRows() : 0;
      if (w.status().ok()) {
        (void)(append ? w.writeRow(rec) : w.writeRowToLine(rec, static_cast<int32_t>(r.below(rows + 1)) + 1));
      }
    }
    dbhelper::FileInfo info;
    if (dbhelper::File::StatPath(path, &info).ok()) {
      const auto entry = dbhelper::TableCache::instance().find(info.id);
      *kept += entry != nullptr && entry->size == info.size;
    }
    if (others) {
      other.wait();
      mutator.wait();
    }
    // A write of ours that another program made fail can leave its undo record for the
    // next call to roll back, which a plain read of the file does not understand.
    (void)ask(path, {}, true);
    checkNow(path, "after own write", c);
  }
  if (!other.stop() || !mutator.stop()) {
    std::fprintf(stderr, "own-writes phase: a writer failed\n");
    ++c->mismatches;
  }
}

}  // namespace oracle
