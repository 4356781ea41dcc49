#include "dbhelper/freshness.h"

#include <mutex>
#include <vector>

#include "dbhelper/forks.h"
#include "dbhelper/never_destroyed.h"
#include "dbhelper/shared_storage.h"

namespace dbhelper {

namespace {

class Watcher {
 public:
  // Fills `out` from `info` (statx of the open file, taken before this call) and the
  // file's watch. Returns false when no watch can vouch for the file. Sets *added when
  // the watch is new: a change that completed between `info` and it raised no event.
  bool snapshot(const File& file, const FileInfo& info, Snapshot* out, bool* added) {
    *added = false;
    std::lock_guard<std::mutex> l(mu_);
    const SysCalls& sys = file.sys();
    sys_ = &sys;  // this call's system calls read, close and remove, as they opened
    // Counted before the first instance exists, so every fork after it is seen; no
    // system call, unlike asking for the process id.
    const uint64_t generation = forkCounts().asChild;
    if (generation != generation_) {
      // A forked child shares its parent's instance: reading it would steal the
      // parent's events, so it gets one of its own.
      reset();
      generation_ = generation;
    }
    if (fd_ < 0) {
      fd_ = sys.watchOpen();
      if (fd_ < 0) return false;
    }
    if (!drain()) return false;
    Entry* e = find(info.id);
    if (e == nullptr) {
      uint64_t type = 0;
      if (!file.FsType(&type).ok() || !localFileSystem(type)) return false;
      if (entries_.size() >= kMaxWatchedFiles) evictOldest();
      const int wd = file.AddWatch(fd_);
      if (wd < 0) return false;
      // The same inode under another id would be a watch we already hold; never mix them.
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->wd == wd) {
          entries_.erase(it);
          break;
        }
      }
      entries_.push_back(Entry{wd, info.id, nextSerial_++, 0, 0, 0});
      e = &entries_.back();
      *added = true;
    }
    e->lastUse = ++tick_;
    out->watch = e->serial;
    out->events = e->events;
    out->others = e->others;
    return true;
  }

  // As snapshot, for a file whose watch is held already; adds none.
  bool known(const FileInfo& info, const SysCalls& sys, Snapshot* out) {
    std::lock_guard<std::mutex> l(mu_);
    sys_ = &sys;
    if (forkCounts().asChild != generation_ || fd_ < 0) return false;  // a forked child starts over
    if (!drain()) return false;
    Entry* e = find(info.id);
    if (e == nullptr) return false;
    e->lastUse = ++tick_;
    out->watch = e->serial;
    out->events = e->events;
    out->others = e->others;
    return true;
  }

  size_t watched() {
    std::lock_guard<std::mutex> l(mu_);
    return entries_.size();
  }

  // Removes the file's watch; the instance goes with the last one.
  void forget(const FileId& id, const SysCalls& sys) {
    std::lock_guard<std::mutex> l(mu_);
    sys_ = &sys;
    if (forkCounts().asChild != generation_ || fd_ < 0) return;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->id.dev == id.dev && it->id.ino == id.ino) {
        sys_->watchRemove(fd_, it->wd);  // its IN_IGNORED then matches no entry
        entries_.erase(it);
        break;
      }
    }
    if (entries_.empty()) reset();
  }

 private:
  struct Entry {
    int wd;
    FileId id;
    uint64_t serial;
    uint64_t events;
    uint64_t others;
    uint64_t lastUse;
  };

  Entry* find(const FileId& id) {
    for (Entry& e : entries_) {
      if (e.id.dev == id.dev && e.id.ino == id.ino) return &e;
    }
    return nullptr;
  }

  // Applies every pending event. Returns false (and forgets every watch) when the
  // instance cannot be read.
  bool drain() {
    WatchEvent events[64];
    for (;;) {
      const int n = sys_->watchRead(fd_, events, 64);
      if (n < 0) {
        reset();
        return false;
      }
      if (n == 0) return true;
      for (int i = 0; i < n; ++i) apply(events[i]);
      // Fewer than asked for: the queue was empty at that read. Reading again would only
      // move the moment the drain stands for a little later.
      if (n < 64) return true;
    }
  }

  void apply(const WatchEvent& ev) {
    if (ev.kind == WatchEvent::Kind::kOverflow) {
      for (Entry& e : entries_) {  // events were lost: nothing is proven
        ++e.events;
        ++e.others;
      }
      return;
    }
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->wd != ev.watch) continue;
      if (ev.kind == WatchEvent::Kind::kGone) {
        entries_.erase(it);
        return;
      }
      ++it->events;
      it->others += ev.kind != WatchEvent::Kind::kModify;
      return;
    }
  }

  void evictOldest() {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->lastUse < oldest->lastUse) oldest = it;
    }
    sys_->watchRemove(fd_, oldest->wd);  // its IN_IGNORED then matches no entry
    entries_.erase(oldest);
  }

  void reset() {
    if (fd_ >= 0) sys_->close(fd_);
    fd_ = -1;
    entries_.clear();
  }

  std::mutex mu_;
  int fd_ = -1;
  const SysCalls* sys_ = &realSysCalls();  // guarded by mu_: the calling operation's
  uint64_t generation_ = UINT64_MAX;  // forks as a child when the instance was opened
  std::vector<Entry> entries_;
  uint64_t nextSerial_ = 1;  // never reused, not even after a reset
  uint64_t tick_ = 0;
};

Watcher& watcher() { return neverDestroyed<Watcher>(); }

}  // namespace

bool takeSnapshot(const std::string& path, const File& file, Snapshot* out) {
  *out = Snapshot();
  FileInfo info;
  if (!file.Stat(&info, true).ok() || info.type != FileInfo::Type::kRegular) return false;
  FileInfo named;
  if (!File::StatPath(path, &named, false, file.sys()).ok() || named.id.dev != info.id.dev || named.id.ino != info.id.ino) {
    return false;  // the path names another file now: what is open says nothing of it
  }
  // The statx above comes before the events are read: a change that completes after it
  // either is pending by then or raises its event later.
  Snapshot s;
  bool added = false;
  if (!watcher().snapshot(file, info, &s, &added)) return false;
  if (added) {
    // Only changes after the watch was added raise events we see: one that completed
    // between the statx and the watch would be in neither. So the statx, and then the
    // events, once more.
    if (!snapshotOpen(file, &s) || s.id.dev != info.id.dev || s.id.ino != info.id.ino) return false;
    *out = s;
    return true;
  }
  s.id = info.id;
  s.size = info.size;
  s.ctimeNs = info.ctimeNs;
  s.mtimeNs = info.mtimeNs;
  *out = s;
  return true;
}

bool snapshotByPath(const FileInfo& named, const SysCalls& sys, Snapshot* out) {
  *out = Snapshot();
  if (named.type != FileInfo::Type::kRegular) return false;
  // As in takeSnapshot, the statx comes before the events are read.
  Snapshot s;
  s.id = named.id;
  s.size = named.size;
  s.ctimeNs = named.ctimeNs;
  s.mtimeNs = named.mtimeNs;
  if (!watcher().known(named, sys, &s)) return false;
  *out = s;
  return true;
}

bool snapshotOpen(const File& file, Snapshot* out) {
  // As a snapshot by path, from the open file's statx: the held watch pins its inode.
  *out = Snapshot();
  FileInfo info;
  return file.Stat(&info, true).ok() && snapshotByPath(info, file.sys(), out);
}

bool onlyOwnWrites(const Snapshot& before, const Snapshot& after, uint64_t writes) {
  return before.watch != 0 && before.watch == after.watch && before.id.dev == after.id.dev &&
         before.id.ino == after.id.ino && before.others == after.others && after.events >= before.events &&
         after.events - before.events <= writes;
}

bool provenUnchanged(const Snapshot& then, const Snapshot& now) {
  return then.watch != 0 && then.watch == now.watch && then.events == now.events && then.id.dev == now.id.dev &&
         then.id.ino == now.id.ino && then.size == now.size && then.ctimeNs == now.ctimeNs &&
         then.mtimeNs == now.mtimeNs;
}

size_t watchedFiles() { return watcher().watched(); }

void stopWatching(const FileId& id, const SysCalls& sys) { watcher().forget(id, sys); }

}  // namespace dbhelper
