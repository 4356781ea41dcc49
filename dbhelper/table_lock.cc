#include "dbhelper/table_lock.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>

#include "dbhelper/forks.h"
#include "dbhelper/never_destroyed.h"
#include "dbhelper/shared_storage.h"

namespace dbhelper {

// A reader/writer lock that gives waiting writers priority, so a stream of readers
// cannot starve a writer into its timeout.
struct TableLock::Entry {
  std::mutex mu;
  std::condition_variable cv;
  int readers = 0;
  bool writer = false;
  int waitingWriters = 0;

  bool lock(bool exclusive, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(mu);
    if (exclusive) {
      ++waitingWriters;
      const bool ok = waitUntil(l, deadline, [&] { return !writer && readers == 0; });
      --waitingWriters;
      if (!ok) {
        cv.notify_all();
        return false;
      }
      writer = true;
    } else {
      if (!waitUntil(l, deadline, [&] { return !writer && waitingWriters == 0; })) return false;
      ++readers;
    }
    return true;
  }

  // condition_variable::wait_until on the steady clock needs pthread_cond_clockwait (glibc
  // 2.34); a system-clock wait does not. Slices of at most 50 ms keep a clock step from
  // moving the steady deadline by more than that.
  template <typename Pred>
  bool waitUntil(std::unique_lock<std::mutex>& l, std::chrono::steady_clock::time_point deadline, Pred ready) {
    while (!ready()) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return false;
      cv.wait_until(l, std::chrono::system_clock::now() +
                           std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return true;
  }

  void unlock(bool exclusive) {
    {
      std::lock_guard<std::mutex> l(mu);
      if (exclusive) writer = false;
      else --readers;
    }
    cv.notify_all();
  }
};

namespace {


// Entries outlive the operations that use them, so a table used again finds its own; past
// 256 tables, those nobody holds are dropped.
struct Registry {
  std::mutex mu;
  std::map<FileId, std::shared_ptr<TableLock::Entry>> entries;
};

std::shared_ptr<TableLock::Entry> entryFor(const FileId& id) {
  Registry& r = neverDestroyed<Registry>();
  std::lock_guard<std::mutex> l(r.mu);
  auto& reg = r.entries;
  auto it = reg.find(id);
  if (it != reg.end()) return it->second;
  if (reg.size() > 256) {
    for (auto i = reg.begin(); i != reg.end();) i = i->second.use_count() == 1 ? reg.erase(i) : std::next(i);
  }
  auto e = std::make_shared<TableLock::Entry>();
  reg.emplace(id, e);
  return e;
}

}  // namespace


TableLock::~TableLock() { Release(); }

Status TableLock::Acquire(const File& file, const FileId& id, bool exclusive, std::chrono::milliseconds timeout,
                          bool singleProcess) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto entry = entryFor(id);
  if (!entry->lock(exclusive, deadline)) {
    return Status::Busy("table " + file.path() + " stays locked by another thread");
  }
  const uint64_t forks = forkCounts().seen;
  Status s;
  try {
    s = file.Lock(exclusive, deadline);
    if (File::LockRefused(s) && (!exclusive || singleProcess)) {
      s = Status::OK();
    } else if (File::LockRefused(s)) {
      s = Status::IOError("table " + file.path() + " is on " + describeFileSystem(file) +
                          ", which refuses byte-range locks (" + s.osError() +
                          "): a writer in another process or on another host would not be excluded, so nothing was "
                          "written; set the system property gameserver.dbiface.singleProcess=true if this process "
                          "alone uses the table");
    }
  } catch (...) {  // no memory for its error: the in-process lock must not stay held
    entry->unlock(exclusive);
    throw;
  }
  if (!s.ok()) {
    entry->unlock(exclusive);
    return s;
  }
  entry_ = std::move(entry);
  file_ = &file;
  exclusive_ = exclusive;
  forks_ = forks;
  return Status::OK();
}

bool TableLock::forkedSinceAcquire() const { return entry_ != nullptr && forkCounts().seen != forks_; }

void TableLock::Release() {
  if (!entry_) return;
  if (file_->isOpen()) (void)file_->Unlock();  // best effort: closing the file drops it too
  entry_->unlock(exclusive_);
  entry_.reset();
  file_ = nullptr;
}

}  // namespace dbhelper
