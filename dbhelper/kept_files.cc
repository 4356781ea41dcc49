#include "dbhelper/kept_files.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace dbhelper {

namespace {

struct Kept {
  std::string path;
  File file;
  uint64_t generation;
};

// Bumped in the child of every fork: a descriptor kept before it shares its open file, and
// with it the file's locks, with the parent.
std::atomic<uint64_t> gGeneration{0};

#if defined(_WIN32)
std::atomic<bool> gOn{false};
#else
std::atomic<bool> gOn{true};
#endif

std::mutex gMu;
std::vector<Kept>& kept() {  // oldest first; guarded by gMu
  static std::vector<Kept> k;
  return k;
}

void watchForks() {
#if !defined(_WIN32)
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { gGeneration.fetch_add(1); }); });
#endif
}

bool sameFile(const FileInfo& had, const FileInfo& now) {
  return now.type == FileInfo::Type::kRegular && had.id.dev == now.id.dev && had.id.ino == now.id.ino &&
         had.mode == now.mode && had.uid == now.uid && had.gid == now.gid;
}

}  // namespace

std::optional<File> takeKeptFile(const std::string& path, FileInfo* named) {
  std::optional<File> out;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> l(gMu);
    auto& k = kept();
    for (auto it = k.begin(); it != k.end(); ++it) {
      if (it->path == path) {
        out = std::move(it->file);
        generation = it->generation;
        k.erase(it);
        break;
      }
    }
  }
  if (out && (generation != gGeneration.load() || !File::StatPath(path, named).ok() ||
              !sameFile(out->openInfo(), *named))) {
    out.reset();
  }
  return out;
}

void keepFile(const std::string& path, File file) {
  if (!keepingFiles() || !file.isOpen()) return;
  watchForks();
  File closed;  // the one not kept, closed after the lock is released
  std::lock_guard<std::mutex> l(gMu);
  auto& k = kept();
  for (const Kept& e : k) {
    if (e.path == path) {  // two writers of one table opened one each: keep the first
      closed = std::move(file);
      return;
    }
  }
  if (k.size() >= kKeptFilesMax) {
    closed = std::move(k.front().file);
    k.erase(k.begin());
  }
  k.push_back(Kept{path, std::move(file), gGeneration.load()});
}

bool keepingFiles() { return gOn.load(std::memory_order_relaxed); }

void SetKeepingFiles(bool on) {
#if defined(_WIN32)
  on = false;
#endif
  gOn.store(on);
  if (on) return;
  std::vector<Kept> all;  // closed after the lock is released
  std::lock_guard<std::mutex> l(gMu);
  all.swap(kept());
}

}  // namespace dbhelper
