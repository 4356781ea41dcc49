// The per-process cache of table images: the bytes of a table file and the offsets of
// its rows, shared by every thread, so that a call on an unchanged table reads nothing
// and finds any row at once. An entry is used only while freshness.h proves the file
// unchanged since the entry was read; anything else (an edit by hand, another process, a
// write of our own) makes the next call read the file again.
#ifndef DBHELPER_TABLE_CACHE_H_
#define DBHELPER_TABLE_CACHE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "dbhelper/file.h"
#include "dbhelper/freshness.h"

namespace dbhelper {

// One table file as it was read, or as a write of this process left it. Its first `size`
// bytes never change once in the cache; the row index is built by the first call that
// needs it, so the call that fills the cache costs no more than a call without one.
struct CachedTable {
  std::shared_ptr<char[]> bytes;
  size_t size = 0;
  // Bytes allocated. The room past `size` is written only when this entry, current in
  // the cache and proven to match the file under the table's lock, is extended by an
  // append (withRowAppended): no other entry can be using it, and readers of this one
  // never read past `size`.
  size_t capacity = 0;
  size_t dataStart = 0;  // offset of data row 1; SIZE_MAX: no data row can start
  Snapshot snap;         // taken under the lock before the bytes were read, or after our write

  // Returns where every kRowStride-th data row starts: element i is the offset of data
  // row i * kRowStride + 1, or of the end of the table when that row would start there.
  // Empty when no data row can start. Sparse, so that a table of short rows needs at most
  // a quarter of its size for it.
  static constexpr int64_t kRowStride = 8;
  const std::vector<uint32_t>& rowStarts() const;
  // Returns the number of data rows, counted by scanning the bytes once when the index is
  // not built: the first count after a change then costs what a count without the cache
  // does, and only a call that needs a row builds the index.
  // `baseline`: counted by the baseline scan (see scanRows).
  int64_t rowCount(bool baseline = false) const;
  // Whether every line after the header is a data row, so that nothing ends the table
  // before its end.
  bool allLinesRows() const;

  // Returns this table with `line` (one line that is a data row, ending in LF) appended,
  // as of `snap`; the row count and index follow without a scan. REQUIRES:
  // allLinesRows() and the bytes end in LF.
  std::shared_ptr<CachedTable> withRowAppended(std::string_view line, const Snapshot& snap) const;

  // Returns the memory the entry is charged for: its bytes and room for its index.
  size_t cost() const { return capacity + size / 2 + 128; }

 private:
  mutable std::once_flag indexed_;
  mutable std::vector<uint32_t> rowStarts_;
  mutable std::atomic<bool> indexReady_{false};
  mutable std::atomic<int64_t> rows_{-1};  // 2 * rows + (every line a row); -1: not counted
};

class TableCache {
 public:
  // Bytes the cache holds at most, over all tables; the least recently used entries go
  // first. A table larger than this is not cached.
  static constexpr size_t kCapBytes = 64u << 20;

  static TableCache& instance();

  // Returns the entry for the file, or null.
  std::shared_ptr<const CachedTable> find(const FileId& id);
  // Stores `table` for the file, replacing what was there. Returns false when it is too
  // large to keep (what was there is dropped all the same).
  bool put(const FileId& id, std::shared_ptr<const CachedTable> table);
  void erase(const FileId& id);
  // Returns the bytes held now (for tests).
  size_t bytes();


 private:
  TableCache() = default;
  struct Impl;
  Impl& impl();
};

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_CACHE_H_
