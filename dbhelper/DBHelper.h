// The front of one table operation: opens, locks and loads a table file, answers reads
// from its image (table_image.h) and hands writes to the writer (table_writer.h). The
// text format is in table_format.h, the knobs in options.h.
//
// A DBHelper lives for one operation: constructing it opens, locks and reads the file,
// and its destructor releases both.
#ifndef DBHELPER_DBHELPER_H_
#define DBHELPER_DBHELPER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbhelper/file.h"
#include "dbhelper/freshness.h"
#include "dbhelper/options.h"
#include "dbhelper/status.h"
#include "dbhelper/table_format.h"
#include "dbhelper/table_image.h"
#include "dbhelper/table_lock.h"
#include "dbhelper/table_writer.h"
#include "dbhelper/trace.h"

namespace dbhelper {

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
  explicit DBHelper(std::string_view path, std::string* trace = nullptr, Access access = Access::kRead,
                    const Options& options = Options());
  ~DBHelper();
  DBHelper(const DBHelper&) = delete;
  DBHelper& operator=(const DBHelper&) = delete;

  // Lets go of what this process keeps for the table at `path` between operations: the
  // kept descriptor, the cached image and the watch of the file the path names now. The
  // next operation on it opens and reads it afresh.
  static void Forget(const std::string& path, const Options& options = Options());

  // Returns OK, or why the file could not be read or locked.
  const Status& status() const { return status_; }
  // Whether no file was found at the path (then read as an empty table).
  bool missing() const { return missing_; }
  // Whether loading rolled back an unfinished write.
  bool repaired() const { return repaired_; }
  // The table's size in bytes, an undo record excluded.
  uint64_t tableSize() const { return image_.end().size; }
  // Copies up to `n` of the table's bytes from `pos` to `out` and sets *got (short only at
  // the end): from the image when it holds the table (which may be the repaired table
  // shown from memory), else from the file. REQUIRES: kRead or kWrite.
  Status readTableBytes(uint64_t pos, size_t n, char* out, size_t* got) const;

  // Returns the number of data rows. A count that does not fit 32 bits is an error
  // (status() says so) and returns 0.
  int32_t getNumRows();
  // Returns a copy of data row `index` (1-based). REQUIRES: 1 <= index <= getNumRows().
  DataRow dataRowAt(int32_t index);
  // Sets *row to data row `index` (1-based) and returns true; returns false, *row
  // untouched, when the table has no such row.
  bool rowAt(int32_t index, DataRow* row);
  // Returns the header line's fields.
  const DataRow& header() const { return image_.header(); }
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
  // Appends `rows` (each with at least one field) as the last lines of the file in one
  // write: afterwards the file holds all of them or, whatever happened, none. No rows
  // write nothing. REQUIRES: kWrite or kAppend.
  Status writeRows(const std::vector<DataRow>& rows);
  // Parses every record text as writeRow does, then writes them as writeRows does. A
  // record that is refused (its position named in the message) or empty writes nothing.
  Status writeRecords(const std::vector<std::string_view>& texts);
  // Writes `header` as the header line of an empty file; on a file that has a header
  // already, returns OK when it is `header` and InvalidArgument naming both when not.
  // REQUIRES: kWrite, the file present.
  Status writeHeader(const DataRow& header);

 private:
  Status loadTable();
  // One round of loading: open (or take the kept descriptor), lock, read, repair. Sets
  // *again when the file must be read once more (repaired, or changed while read).
  Status loadOnce(int attempt, bool* again);
  // Opens the file, or takes the descriptor an earlier write kept (*kept), and sets *info
  // to what the open saw. A missing file leaves it closed, with missing_ set.
  Status openFile(int attempt, FileInfo* info, bool* kept);
  // Takes the locks; a writer then checks that the path still names its file (a kept
  // one's with its permissions and owner), updates info->size from that look, and sets
  // *again when the file must be opened afresh.
  Status lockFile(int attempt, bool kept, FileInfo* info, bool* again);
  // Answers from the cache when an entry is proven to match the file (locked, `size`
  // bytes when opened). Sets *provable, and *snap, when the file's freshness can be
  // proven at all.
  bool useProvenCache(uint64_t size, Snapshot* snap, bool* provable);
  // Rolls back a leftover undo record; sets *repaired when the file changed.
  Status repairIfNeeded(bool* repaired);
  // A reader cannot write through its descriptor: repairs with a writer of its own, or
  // where the file cannot be written, shows from memory the table the repair would leave.
  Status repairAsReader(const UndoRecord& rec, bool* repaired);

  // Returns OK when a row written at the end of the table would be read, and otherwise
  // the error that names the line hiding it. An image of the edges is read whole for the
  // check (a cached image knows the answer without a read).
  Status checkEndVisible();
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
  // Sets *tail to the `size` bytes from `position` on and traces their first and last
  // character. A tail larger than the image limit stays in the file and moves in chunks.
  void storeRest(int64_t position, int64_t size, Tail* tail);
  // Hands the write to the writer; on success the image follows the file.
  Status writeRest(uint64_t pos, std::string line, Tail* tail);

  const std::string filePath_;
  const Options options_;
  const Access access_;
  Trace trace_;
  Status status_;
  bool missing_ = false;
  bool repaired_ = false;
  File file_;
  TableLock lock_;
  FileId id_;
  // For a streamed table: the moment checkEndVisible() found its rows reaching the end of
  // the file; watch 0 when not proven.
  Snapshot rowsToEnd_;
  TableImage image_{file_, filePath_, options_};
  TableWriter writer_{file_, filePath_, options_};
};

}  // namespace dbhelper

#endif  // DBHELPER_DBHELPER_H_
