#include "dbhelper/visible_end.h"

#include <mutex>
#include <vector>

#include "dbhelper/never_destroyed.h"

namespace dbhelper {

namespace {

std::mutex gMu;
std::vector<Snapshot>& seen() {  // guarded by gMu
  return neverDestroyed<std::vector<Snapshot>>();
}

bool same(const FileId& a, const FileId& b) { return a.dev == b.dev && a.ino == b.ino; }

}  // namespace

bool knownRowsToEnd(const Snapshot& now) {
  std::lock_guard<std::mutex> l(gMu);
  for (const Snapshot& s : seen()) {
    if (same(s.id, now.id)) return provenUnchanged(s, now);
  }
  return false;
}

void noteRowsToEnd(const Snapshot& snap) {
  if (snap.watch == 0) return;
  std::lock_guard<std::mutex> l(gMu);
  auto& all = seen();
  for (Snapshot& s : all) {
    if (same(s.id, snap.id)) {
      s = snap;
      return;
    }
  }
  if (all.size() >= kVisibleEndsMax) all.erase(all.begin());
  all.push_back(snap);
}

void forgetRowsToEnd(const FileId& id) {
  std::lock_guard<std::mutex> l(gMu);
  auto& all = seen();
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (same(it->id, id)) {
      all.erase(it);
      return;
    }
  }
}

}  // namespace dbhelper
