#include "dbhelper/table_cache.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <utility>

#include "dbhelper/never_destroyed.h"
#include "dbhelper/row_scan.h"

namespace dbhelper {

const std::vector<uint32_t>& CachedTable::rowStarts() const {
  // Built already (or carried over by withRowAppended): no call_once, which costs a
  // futex wake the first time.
  if (indexReady_.load(std::memory_order_acquire)) return rowStarts_;
  std::call_once(indexed_, [this] {
    struct Ready {
      const CachedTable* t;
      ~Ready() { t->indexReady_.store(true, std::memory_order_release); }
    } ready{this};
    if (dataStart == SIZE_MAX) return;
    const char* d = bytes.get();
    size_t b = dataStart;
    rowStarts_.push_back(static_cast<uint32_t>(b));
    // The rows scanRows counts, by the same rule.
    for (int64_t row = 1; b < size; ++row) {
      b = nextRowStart(d, size, b);
      if (b == SIZE_MAX) break;
      if (row % kRowStride == 0) rowStarts_.push_back(static_cast<uint32_t>(b));
    }
    rowStarts_.shrink_to_fit();
  });
  return rowStarts_;
}

int64_t CachedTable::rowCount(bool baseline) const {
  if (dataStart == SIZE_MAX) return 0;
  int64_t n = rows_.load(std::memory_order_relaxed);
  if (n < 0) {
    const Scan scan = scanRows(bytes.get(), size, dataStart, INT64_MAX, baseline);
    n = scan.rows * 2 + (scan.next == size);
    rows_.store(n, std::memory_order_relaxed);
  }
  return n / 2;
}

bool CachedTable::allLinesRows() const {
  if (dataStart == SIZE_MAX) return false;
  rowCount();
  return (rows_.load(std::memory_order_relaxed) & 1) != 0;
}

std::shared_ptr<CachedTable> CachedTable::withRowAppended(std::string_view line, const Snapshot& snap) const {
  auto t = std::make_shared<CachedTable>();
  const size_t n = line.size();
  t->size = size + n;
  t->dataStart = dataStart;
  t->snap = snap;
  if (t->size <= capacity) {
    t->bytes = bytes;
    t->capacity = capacity;
  } else {
    // Room for appends, within what cost() charges for the index.
    t->capacity = t->size + std::max<size_t>(kPage, t->size / 8);
    t->bytes = std::make_shared_for_overwrite<char[]>(t->capacity);
    std::memcpy(t->bytes.get(), bytes.get(), size);
  }
  std::memcpy(t->bytes.get() + size, line.data(), n);
  const int64_t rows = rowCount() + 1;
  t->rows_.store(rows * 2 + 1, std::memory_order_relaxed);
  if (indexReady_.load(std::memory_order_acquire)) {
    // The rows before keep their starts; one element more when the new row completes a
    // stride: where the row after it would start, the end.
    // `t` is not shared yet: its index is set before anyone can ask for it.
    t->rowStarts_.reserve(rowStarts_.size() + 1);
    t->rowStarts_.assign(rowStarts_.begin(), rowStarts_.end());
    if (rows % kRowStride == 0) t->rowStarts_.push_back(static_cast<uint32_t>(t->size));
    t->indexReady_.store(true, std::memory_order_release);
  }
  return t;
}


struct TableCache::Impl {
  std::mutex mu;
  std::list<FileId> lru;  // most recently used first
  std::map<FileId, std::pair<std::shared_ptr<const CachedTable>, std::list<FileId>::iterator>> entries;
  size_t bytes = 0;

  void eraseLocked(std::map<FileId, std::pair<std::shared_ptr<const CachedTable>, std::list<FileId>::iterator>>::iterator it) {
    bytes -= it->second.first->cost();
    lru.erase(it->second.second);
    entries.erase(it);
  }
};

TableCache& TableCache::instance() {
  static TableCache cache;
  return cache;
}

TableCache::Impl& TableCache::impl() { return neverDestroyed<Impl>(); }


std::shared_ptr<const CachedTable> TableCache::find(const FileId& id) {
  Impl& m = impl();
  std::lock_guard<std::mutex> l(m.mu);
  auto it = m.entries.find(id);
  if (it == m.entries.end()) return nullptr;
  m.lru.splice(m.lru.begin(), m.lru, it->second.second);
  return it->second.first;
}

bool TableCache::put(const FileId& id, std::shared_ptr<const CachedTable> table) {
  Impl& m = impl();
  std::lock_guard<std::mutex> l(m.mu);
  auto it = m.entries.find(id);
  if (it != m.entries.end()) m.eraseLocked(it);
  const size_t cost = table->cost();
  if (cost > kCapBytes) return false;
  while (m.bytes + cost > kCapBytes && !m.lru.empty()) m.eraseLocked(m.entries.find(m.lru.back()));
  m.lru.push_front(id);
  m.entries.emplace(id, std::make_pair(std::move(table), m.lru.begin()));
  m.bytes += cost;
  return true;
}

void TableCache::erase(const FileId& id) {
  Impl& m = impl();
  std::lock_guard<std::mutex> l(m.mu);
  auto it = m.entries.find(id);
  if (it != m.entries.end()) m.eraseLocked(it);
}

size_t TableCache::bytes() {
  Impl& m = impl();
  std::lock_guard<std::mutex> l(m.mu);
  return m.bytes;
}

}  // namespace dbhelper
