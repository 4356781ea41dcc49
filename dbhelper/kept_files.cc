#include "dbhelper/kept_files.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "dbhelper/forks.h"
#include "dbhelper/never_destroyed.h"

namespace dbhelper {

namespace {

// One table's descriptor. The slot stays while an operation has the descriptor out, so
// giving it back costs no allocation.
struct Slot {
  std::string path;
  std::optional<File> file;  // empty while taken
  uint64_t generation = 0;  // forks as a child when kept: a child never uses its parent's
  uint64_t used = 0;  // when last given back, for choosing what to close
};

std::mutex gMu;
uint64_t gClock = 0;  // guarded by gMu
std::vector<Slot>& slots() {  // guarded by gMu
  return neverDestroyed<std::vector<Slot>>();
}

}  // namespace

bool keptFileStillFits(const FileInfo& kept, const FileInfo& named) {
  return named.type == FileInfo::Type::kRegular && kept.id.dev == named.id.dev && kept.id.ino == named.id.ino &&
         kept.mode == named.mode && kept.uid == named.uid && kept.gid == named.gid;
}

std::optional<File> takeKeptFile(const std::string& path, const SysCalls& sys) {
  std::optional<File> out;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> l(gMu);
    for (Slot& s : slots()) {
      if (s.file && s.path == path) {
        out.swap(s.file);
        generation = s.generation;
        break;
      }
    }
  }
  if (out) out->Rebind(sys);
  if (out && generation != forkCounts().asChild) out.reset();
  return out;
}

void keepFile(const std::string& path, File file) {
  if (!file.isOpen()) return;
  const uint64_t generation = forkCounts().asChild;
  std::optional<File> closed;  // the one not kept, closed after the lock is released
  std::lock_guard<std::mutex> l(gMu);
  auto& all = slots();
  Slot* slot = nullptr;
  for (Slot& s : all) {
    if (s.path == path) slot = &s;
  }
  if (slot != nullptr && slot->file) {  // two writers of one table opened one each: keep one
    closed.emplace(std::move(file));
    return;
  }
  if (slot == nullptr && all.size() < kKeptFilesMax) slot = &all.emplace_back(Slot{path, std::nullopt, 0, 0});
  if (slot == nullptr) {  // every slot has another table: take the one given back longest ago
    for (Slot& s : all) {
      if (slot == nullptr || s.used < slot->used) slot = &s;
    }
    closed.swap(slot->file);
    slot->path = path;
  }
  slot->file.emplace(std::move(file));
  slot->generation = generation;
  slot->used = ++gClock;
}

void forgetKeptFile(const std::string& path) {
  std::optional<File> closed;  // closed after the lock is released
  std::lock_guard<std::mutex> l(gMu);
  auto& all = slots();
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (it->path == path && it->file) {
      closed.swap(it->file);
      all.erase(it);
      return;
    }
  }
}

void closeKeptFiles() {
  std::vector<Slot> all;  // closed after the lock is released
  std::lock_guard<std::mutex> l(gMu);
  all.swap(slots());
}

}  // namespace dbhelper
