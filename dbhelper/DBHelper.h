// The in-memory image of one table file.
//
// A table file is a text file: the first line names the columns, every further line is
// one data row; fields are separated by "|" and trimmed of spaces, tabs and line feeds.
// Lines longer than 99 characters (line end excluded) end the table: neither they nor
// any later line is seen. A CR directly before the LF belongs to the line end.
//
// A DBHelper lives for one operation: constructing it opens, locks and reads the file,
// and its destructor releases both. Rows are split on demand from the file image, so
// counting rows or reading one row of a large table costs one pass over its bytes and
// no allocation per row.
#ifndef DBHELPER_DBHELPER_H_
#define DBHELPER_DBHELPER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dbhelper/file.h"
#include "dbhelper/recovery.h"
#include "dbhelper/row_scan.h"
#include "dbhelper/status.h"
#include "dbhelper/table_cache.h"
#include "dbhelper/table_lock.h"

namespace dbhelper {

inline constexpr int kMaxFields = 10;
inline constexpr size_t kMaxFieldChars = 199;
// Appends that stay within one page reach the file whole or not at all, even when the
// process is killed in the middle, so they need no undo record. Insertions always take
// one: after a short write over old bytes, putting them back may fail as well.
inline constexpr uint64_t kPage = 4096;
// Line end the writers use: CR LF where text files have it, LF elsewhere.
#if defined(_WIN32)
inline constexpr std::string_view kNewline = "\r\n";
#else
inline constexpr std::string_view kNewline = "\n";
#endif

// One line split into fields; slots 0..count-1 are valid.
struct DataRow {
  std::array<std::string, kMaxFields> fields;
  int32_t count = 0;
};

// Returns `text` without leading and trailing spaces, tabs and line feeds. Carriage
// returns are kept.
std::string trim(std::string_view text);
std::string_view trimView(std::string_view text);

// Returns the line split at "|" into at most 10 trimmed fields; fields beyond the tenth
// are dropped. The line ends at its first line feed or NUL. An empty line has no fields;
// a separator at the very end adds no empty field.
DataRow parseLine(std::string_view line);
// As parseLine, into *row, reusing its buffers.
void parseLineInto(std::string_view line, DataRow* row);

class DBHelper {
 public:
  // kRead shares the table with other readers. kWrite and kAppend take it exclusively;
  // kAppend reads only the header line and the end of the file until more is asked for,
  // so appending to a large table costs no more than appending to a small one.
  enum class Access { kRead, kWrite, kAppend };

  // Opens, locks and loads the table at `path`, after writing the trace line
  // "DBHelper constructor\n". Trace lines are appended to `*trace`, or written to
  // standard output at once when `trace` is null. A missing file is an empty table.
  // Check status() before using the object.
  explicit DBHelper(std::string_view path, std::string* trace = nullptr, Access access = Access::kRead);
  ~DBHelper();
  DBHelper(const DBHelper&) = delete;
  DBHelper& operator=(const DBHelper&) = delete;

  // Tables larger than this many bytes are never held in memory: reads stream them
  // through a fixed buffer and an insertion moves its tail in chunks, so one call needs
  // about 2 MiB plus what the table's cache holds, at any table size. Tests lower it.
  static void SetImageLimit(uint64_t bytes);
  static uint64_t imageLimit();
  // Returns the buffer size for streaming a table, at most `most` bytes.
  static size_t streamChunk(size_t most);

  // Returns OK, or why the file could not be read or locked.
  const Status& status() const { return status_; }

  // Returns the number of data rows. A count that does not fit 32 bits is an error
  // (status() says so) and returns 0.
  int32_t getNumRows();
  // Returns a copy of data row `index` (1-based). REQUIRES: 1 <= index <= getNumRows().
  DataRow dataRowAt(int32_t index);
  // Returns header field `position` (1-based), or the empty text outside the header.
  std::string headerName(int32_t position) const;
  // Returns the 0-based index of the first header field equal to `name`, or -1. A
  // header field in modified UTF-8 equals the same characters in standard UTF-8.
  int32_t findColumn(std::string_view name) const;
  // Returns data row `index` as COLUMN=value pairs joined by ",", or the empty text when
  // `index` is outside 1..getNumRows(). Only positions that the header names are shown.
  std::string getRow(int32_t index);

  // Parses record text (KEY=VALUE pairs separated by ",") into a row in header column
  // order. Returns InvalidArgument, with *row untouched, for a record that cannot be
  // written as one well-formed line of this table.
  Status parseRecordText(std::string_view text, DataRow* row) const;

  // Appends the record as the last line of the file. REQUIRES: kWrite or kAppend.
  Status writeRow(std::string_view text);
  // Inserts the record so that it becomes line `line` of the file (the header is line
  // 0). Returns OutOfRange for line < 1 or a line past the one after the last.
  // REQUIRES: kWrite or kAppend.
  Status writeRowToLine(std::string_view text, int32_t line);

  // Writes `row` as the file's last line. A row without fields writes nothing (a
  // missing file is then created empty).
  Status appendRow(const DataRow& row);
  // Writes `row` so that it becomes line `line` of the file.
  Status insertRowAtLine(const DataRow& row, int32_t line);
  // Returns the byte offset where line `line` starts (line 0 is the header), or -1 when
  // the file has fewer lines or a line before it is too long. Traces "returning pos".
  int64_t findLinePosition(int32_t line);
  // Returns the number of bytes from `position` to the end of the file.
  int64_t getSizeOfRemaining(int64_t position) const;
  // Returns the `size` bytes from `position` on (they stay valid while this object
  // lives) and traces their first and last character. A tail larger than imageLimit()
  // stays in the file: the view is then empty and the insertion moves it in chunks.
  std::string_view storeRest(int64_t position, int64_t size);
  // Writes `line` at `pos` followed by `rest`, the old bytes from `pos` to the end.
  // Either the whole write reaches the file or the file is left as it was (or carries
  // an undo record that the next operation rolls back when even restoring failed).
  Status writeRest(uint64_t pos, const std::string& line, std::string_view rest);
  // As writeRest, for a tail [pos, end of file) that is not in memory.
  Status writeRestStreamed(uint64_t pos, const std::string& line);
  // The first steps of a write that needs an undo record: the record (copy incomplete)
  // at the far end, claimEnd(), then `copy(complete, &recorded)`, then the record saying
  // the copy is complete unless `copy` ended its last write with `complete` (empty when
  // the first record is already final). Sets *intruded and stops when another program
  // appended meanwhile.
  template <typename Copy>
  Status writeCopyUnderRecord(UndoRecord* rec, bool* intruded, Copy copy);
  // Records that a write of ours made the file `newSize` bytes, ending in `lastByte`.
  void noteWritten(uint64_t newSize, char lastByte);

 private:
  Status loadTable();
  // Answers a read from a cache entry proven fresh without opening the file; returns
  // false when that cannot be proven (the file is then opened, locked and checked).
  bool answerFromCache();
  // Reads the whole file. `lookForNul`: a NUL anywhere in a small image (not only at its
  // end) sends it to be read again when the file's size moved meanwhile.
  Status readAll(bool lookForNul = false);
  // Answers from a cache entry proven to match the file.
  void useCached(std::shared_ptr<const CachedTable> table);
  // Offers the whole image just read, from a file as `snap` saw it, to the cache.
  void offerToCache(const Snapshot& snap);
  // Forgets the cache entry after a write of our own.
  void dropCached();
  Status readEdges();
  Status repairIfNeeded(bool* repaired);
  // Writes one trace line: the pieces back to back, then a line feed.
  void traceLine(std::string_view a, std::string_view b = {});
  void traceLine(std::string_view a, int64_t n);
  void parseHeader();
  // Reads the whole file when only its edges are loaded. Returns false for a missing
  // file or when reading failed (status() then says why).
  bool ensureWhole();
  // Sets *line to data row `index` (1-based), valid until the next call, or returns false.
  bool locateRow(int32_t index, std::string_view* line);
  // Returns the scan of `want` rows from data row 1, in memory or through the file.
  bool scanFromStart(int64_t want, Scan* out);
  // Before the first byte of a write: takes in what another program appended since
  // this object read the file (into *rest, copied to *restBuf; or, for an append at
  // *pos, by moving *pos and ending their last line), and fails when the file shrank.
  // restBuf is null for a tail that stays in the file.
  Status takeGrowth(uint64_t* pos, std::string* line, std::string_view* rest, std::string* restBuf);
  // Returns OK when the file is as the in-flight write left it, `expect` bytes long
  // (its undo record last): a program that truncated it meanwhile must not find
  // old offsets written into its file.
  Status checkNotShrunk(uint64_t expect);
  // Checks, after the first write past the end, that no other program appended in the
  // moment before it; sets *intruded (and undoes that first write) when one did.
  Status claimEnd(uint64_t oldSize, uint64_t end, bool* intruded);
  // Returns OK when the table's old last byte (at oldSize - 1) is still there, before the
  // in-place write: another program that truncated the file takes it away or leaves a hole
  // there; our bytes are then cut off again.
  Status checkStillOurs(uint64_t end, uint64_t oldSize);
  // After an in-place write from `pos` found the file truncated by another program:
  // takes our bytes off again, so the file is as that program left it. Returns false
  // when there is no hole before `pos` (nothing was cut).
  bool cutOwnBytesFrom(uint64_t pos);
  // Commits a write whose undo record ends at `end` by truncating to `newSize`, first
  // moving down what other programs appended past the record meanwhile.
  Status commit(uint64_t end, uint64_t newSize);
  // Cuts the file from our undo record, which ends at `end`, back to `keep` bytes, moving
  // down what other programs appended past the record meanwhile. `knownSize`, when given,
  // is the file's size just taken.
  Status cutBackKeepingAppends(uint64_t end, uint64_t keep, const uint64_t* knownSize = nullptr);

  std::string filePath_;
  std::string* trace_;
  Access access_;
  Status status_;
  File file_;
  TableLock lock_;
  FileId id_;
  bool missing_ = false;
  uint64_t size_ = 0;           // bytes of table text (an undo record excluded)
  std::shared_ptr<char[]> image_;   // shared with the cache when it came from there
  std::shared_ptr<const CachedTable> cached_;  // set when image_ is a cache entry's
  size_t imageSize_ = 0;        // bytes of the file in image_
  bool whole_ = false;          // image_ holds the whole file, not just its edges
  bool resized_ = false;        // the file's size moved while readAll read it
  bool streamed_ = false;       // larger than imageLimit(): image_ holds the first page only
  std::unique_ptr<char[]> tail_;  // an insertion's tail, for a streamed table
  bool tailInFile_ = false;     // the tail is too large for memory: it moves in chunks
  char rowBuf_[kMaxLineChars + 2];  // a row read from a streamed table
  bool truncatedUnder_ = false; // another program truncated the file during our write
  char lastByte_ = '\n';        // last byte of the file, when size_ > 0
  char last_[kUndoRecordSize];  // the file's last bytes, read with its edges
  bool haveLast_ = false;
  DataRow header_;
  size_t dataStart_ = std::string_view::npos;  // offset of data row 1; npos: no rows
  int32_t numRows_ = -1;        // counted on first use
};

}  // namespace dbhelper

#endif  // DBHELPER_DBHELPER_H_
