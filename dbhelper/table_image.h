// The bytes of one table file as an operation sees them, and where its rows are.
//
// An image holds the whole file (read now, or shared with the cache and its row index),
// or only its edges: the first page, the size and the last bytes, which is all an append
// needs; a table larger than the image limit stays at its edges, and its rows are found
// by streaming the file through a fixed buffer. Rows are split on demand, so counting rows
// or reading one row costs one pass over the bytes and no allocation per row.
#ifndef DBHELPER_TABLE_IMAGE_H_
#define DBHELPER_TABLE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dbhelper/file.h"
#include "dbhelper/freshness.h"
#include "dbhelper/options.h"
#include "dbhelper/recovery.h"
#include "dbhelper/row_scan.h"
#include "dbhelper/status.h"
#include "dbhelper/table_cache.h"
#include "dbhelper/table_format.h"

namespace dbhelper {

// Where the table text ends: its size (an undo record excluded) and its last byte.
struct TableEnd {
  uint64_t size = 0;
  char lastByte = '\n';  // '\n' for an empty table
  bool lineEnded() const { return size == 0 || lastByte == '\n'; }
};

class TableImage {
 public:
  // `file` is the operation's open file; it and `options` outlive the image.
  TableImage(const File& file, const std::string& path, const Options& options)
      : file_(file), path_(path), options_(options) {}
  TableImage(const TableImage&) = delete;
  TableImage& operator=(const TableImage&) = delete;

  // Forgets what was read, before the file is loaded again.
  void reset();
  // Reads the whole file, or its edges when it is larger than the image limit. Sets
  // *changed when its size moved while it was read, so the image may mix two states.
  // `lookForNul`: a NUL anywhere in a small image (not only at its end) counts as such a
  // move when the file's size is not what was read: a racing truncation leaves zeros.
  Status readAll(bool lookForNul, bool* changed);
  // Reads the first page and finds the real end of the file, from the size seen before
  // the lock. A file of one page is read whole.
  Status readEdges();
  // Takes the cache entry of the file `path` names when it is proven fresh without
  // opening the file, and sets *id; returns false when that cannot be proven.
  bool useFreshCached(const std::string& path, FileId* id);
  // Answers from a cache entry proven to match the file; `proof`, when given, is the
  // snapshot that proved it under the table's lock.
  void useCached(std::shared_ptr<const CachedTable> table, const Snapshot* proof = nullptr);
  // Offers the whole image, read from the file `id` as `snap` saw it (and proven
  // unchanged across the read), to the cache.
  void offerToCache(const FileId& id, const Snapshot& snap);

  // Copies the file's last kUndoRecordSize bytes to `out`, reading them only when the
  // image does not hold them. REQUIRES: end().size >= kUndoRecordSize.
  Status lastBytes(char out[kUndoRecordSize]);
  // Shows the table that undoing `rec` leaves, from memory, for a reader that cannot
  // write the file. REQUIRES: whole().
  void showUndone(const UndoRecord& rec);
  // Records that a write of ours left the file ending at end(): the image no longer
  // matches it, later reads load it again, and the cache entry of `id` goes.
  void noteWritten(const FileId& id);
  // After our write put `line` at `pos`, making `changes` system calls that can change
  // the file: when that was one call appending a row, the image was proven current under
  // the lock before it, and the watch saw nothing but it since, the image and the cache
  // entry of `id` become the table as written, and the next read answers from memory.
  // Anything else is noteWritten(). Not proven: another program's change whose event
  // inotify merged into ours; so none is kept for options.outsiderQuiet after such a
  // program was caught writing during one of our writes.
  void keepOwnWrite(const FileId& id, uint64_t pos, std::string_view line, uint64_t changes);

  bool whole() const { return extent_ == Extent::kWhole; }
  // Whether only the first page and the end are held (rows read in whole when asked for).
  bool edgesOnly() const { return extent_ == Extent::kEdges; }
  // Whether the table is larger than the image limit: rows are read through the file.
  bool streamed() const { return extent_ == Extent::kStreamed; }
  // The end of the table; a writer moves it as it takes in what others appended.
  TableEnd& end() { return end_; }
  const TableEnd& end() const { return end_; }
  const DataRow& header() const { return header_; }
  // Whether the file was missing when loaded (an empty table).
  bool absent() const { return extent_ == Extent::kNone; }
  // Whether data rows can follow the header (false when empty, or the header is too long).
  bool rowsCanFollow() const { return dataStart_ != std::string_view::npos; }
  // The bytes [pos, pos + n) of a whole image, valid while the image lives.
  std::string_view bytes(uint64_t pos, uint64_t n) const;

  // Counts data rows (once; later calls answer from the count).
  Status countRows(int64_t* rows);
  // Sets *line to data row `index` (1-based), valid until the next call, and *found;
  // *found is false when there is no such row.
  Status locateRow(int32_t index, std::string_view* line, bool* found);
  // Sets *line to the number (the header is line 0) of the first line that ends the table
  // before the end of the file, one longer than kMaxLineChars, which hides itself and
  // every line after it from reads; -1 when the rows reach the end of the file.
  Status hiddenLine(int64_t* line);
  // Sets *pos to the offset where line `line` starts (the header is line 0), or -1 when
  // the table has fewer lines or a line before it is too long.
  Status linePosition(int32_t line, int64_t* pos);

 private:
  // How much of the file is in memory.
  enum class Extent {
    kNone,      // nothing read: a missing file, or not loaded yet
    kWhole,     // every byte of the file, read now or shared with the cache
    kEdges,     // the first page and the end; rows are read in whole when asked for
    kStreamed,  // larger than the image limit: the first page and the end, rows streamed
  };

  // Reads the whole file when only its edges are held (a streamed table stays so).
  Status ensureRows();
  // Sets *out to the scan of `want` rows from data row 1, in memory or through the file;
  // *any is false when no row can start (empty file, header too long).
  Status scanFromStart(int64_t want, Scan* out, bool* any);
  void parseHeader();
  // Finds the end of a file larger than the `got` bytes read from its start.
  Status readEnd(size_t got);

  const File& file_;
  const std::string& path_;
  const Options& options_;
  Extent extent_ = Extent::kNone;
  std::shared_ptr<char[]> image_;              // shared with the cache when it came from there
  std::shared_ptr<const CachedTable> cached_;  // set when image_ is a cache entry's
  Snapshot proof_;                             // proved cached_ current under the lock; watch 0: none
  size_t imageSize_ = 0;                       // bytes of the file in image_
  size_t imageCap_ = 0;                        // bytes allocated for image_
  TableEnd end_;
  char last_[kUndoRecordSize];                 // the file's last bytes, read with its edges
  uint64_t lastAt_ = UINT64_MAX;               // the size last_ ends at; UINT64_MAX: not read
  char rowBuf_[kMaxLineChars + 2];             // a row read from a streamed table
  DataRow header_;
  size_t dataStart_ = std::string_view::npos;  // offset of data row 1; npos: no rows
  int64_t numRows_ = -1;                       // counted on first use
};

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_IMAGE_H_
