// DBHelper's two writes, append and insert at a line, in the steps and trace lines
// callers know; the bytes reach the file through the writer (table_writer.h).
#include <memory>
#include <string>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/freshness.h"
#include "dbhelper/visible_end.h"

namespace dbhelper {

Status DBHelper::writeRow(std::string_view text) {
  if (!status_.ok()) return status_;
  DataRow row;
  Status s = parseRecordText(text, &row);
  if (!s.ok()) return s;
  return appendRow(row);
}

Status DBHelper::writeRowToLine(std::string_view text, int32_t line) {
  if (!status_.ok()) return status_;
  DataRow row;
  Status s = parseRecordText(text, &row);
  if (!s.ok()) return s;
  if (line < 1) {
    return Status::OutOfRange("line " + std::to_string(line) +
                              " is not a data row; rows start at line 1 (the header is line 0)");
  }
  return insertRowAtLine(row, line);
}

Status DBHelper::writeRows(const std::vector<DataRow>& rows) {
  if (!status_.ok()) return status_;
  if (rows.empty()) return Status::OK();
  if (image_.absent()) return Status::InvalidArgument("the table has no header line");
  Status s = checkEndVisible();
  if (!s.ok()) return s;
  const TableEnd& end = image_.end();
  size_t bytes = 0;
  for (const DataRow& row : rows) {
    bytes += kNewline.size() + static_cast<size_t>(row.count);
    for (int32_t i = 0; i < row.count; ++i) bytes += row.fields[i].size();
  }
  std::string lines;
  lines.reserve(bytes + kNewline.size());
  if (!end.lineEnded()) lines += kNewline;  // an unterminated last line is ended first
  for (const DataRow& row : rows) lines += rowLine(row);
  Tail none;
  return writeRest(end.size, std::move(lines), &none);
}

Status DBHelper::writeRecords(const std::vector<std::string_view>& texts) {
  if (!status_.ok()) return status_;
  std::vector<DataRow> rows(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    Status s = parseRecordText(texts[i], &rows[i]);
    if (s.ok() && rows[i].count == 0) s = Status::InvalidArgument("the record is empty");
    if (s.ok()) continue;
    if (texts.size() == 1) return s;
    return Status::InvalidArgument("record " + std::to_string(i + 1) + " of " + std::to_string(texts.size()) + ": " +
                                   s.message());
  }
  return writeRows(rows);
}

Status DBHelper::writeHeader(const DataRow& header) {
  if (!status_.ok()) return status_;
  if (image_.end().size == 0) {
    Tail none;
    return writeRest(0, rowLine(header), &none);
  }
  const DataRow& have = image_.header();
  bool same = have.count == header.count;
  for (int32_t k = 0; same && k < header.count; ++k) same = have.fields[k] == header.fields[k];
  if (same) return Status::OK();
  auto names = [](const DataRow& row) {
    std::string out;
    for (int32_t k = 0; k < row.count; ++k) out += (k > 0 ? "|" : "") + row.fields[k];
    return out;
  };
  return Status::InvalidArgument("table " + filePath_ + " has the columns \"" + names(have) + "\", not \"" +
                                 names(header) + "\"");
}

Status DBHelper::appendRow(const DataRow& row) {
  if (!status_.ok()) return status_;
  if (row.count == 0) return image_.absent() ? File::CreateIfMissing(filePath_, options_.durable(), *options_.sys) : Status::OK();
  if (image_.absent()) return Status::InvalidArgument("the table has no header line");
  Status s = checkEndVisible();
  if (!s.ok()) return s;
  // An unterminated last line is ended first.
  const TableEnd& end = image_.end();
  Tail none;
  return writeRest(end.size, rowLine(row, end.lineEnded() ? std::string_view() : kNewline), &none);
}

int64_t DBHelper::findLinePosition(int32_t line) {
  int64_t pos = -1;
  status_ = image_.linePosition(line, &pos);
  trace_.line("returning pos ", pos);
  return pos;
}

int64_t DBHelper::getSizeOfRemaining(int64_t position) const {
  const uint64_t size = image_.end().size;
  return position >= 0 && static_cast<uint64_t>(position) <= size ? static_cast<int64_t>(size) - position : 0;
}

void DBHelper::storeRest(int64_t position, int64_t size, Tail* tail) {
  if (size <= 0) return;
  const auto pos = static_cast<uint64_t>(position);
  const auto n = static_cast<size_t>(size);
  char first = 0;
  char last = 0;
  if (image_.whole()) {
    tail->bytes = image_.bytes(pos, n);
  } else if (static_cast<uint64_t>(size) <= options_.imageLimit) {
    tail->buffer = std::make_unique_for_overwrite<char[]>(n);
    size_t got = 0;
    status_ = file_.ReadAt(pos, tail->buffer.get(), n, &got);
    if (status_.ok() && got != n) status_ = truncatedDuring(filePath_);
    if (!status_.ok()) return;
    tail->bytes = std::string_view(tail->buffer.get(), got);
  } else {
    tail->place = Tail::Place::kInFile;
    size_t got = 0;
    status_ = file_.ReadAt(pos, &first, 1, &got);
    if (status_.ok()) status_ = file_.ReadAt(image_.end().size - 1, &last, 1, &got);
    if (!status_.ok()) return;
  }
  if (!tail->bytes.empty()) {
    first = tail->bytes.front();
    last = tail->bytes.back();
  }
  trace_.line("storerest:  first value of buffer is: ", std::string_view(&first, 1));
  trace_.line("storerest:  last value of buffer is: ", std::string_view(&last, 1));
}

Status DBHelper::insertRowAtLine(const DataRow& row, int32_t line) {
  if (!status_.ok()) return status_;
  const int64_t pos = findLinePosition(line);
  if (!status_.ok()) return status_;
  if (pos < 0) {
    if (!image_.rowsCanFollow()) {  // empty, or a header too long to be one
      return Status::OutOfRange("line " + std::to_string(line) + " cannot take a row: the table has no header line for rows to follow");
    }
    // Past a line that ends the table early, the row would be written where no read sees it.
    Status s = checkEndVisible();
    if (!s.ok()) return s;
    const int32_t rows = getNumRows();
    if (!status_.ok()) return status_;
    return Status::OutOfRange("line " + std::to_string(line) + " is past the end of the table (the last line you can insert at is " +
                              std::to_string(static_cast<int64_t>(rows) + 1) + ")");
  }
  trace_.line("before getsizeofremaining");
  const int64_t size = getSizeOfRemaining(pos);
  trace_.line("before malloc");
  trace_.line("before storerest");
  Tail tail;
  storeRest(pos, size, &tail);
  if (!status_.ok()) return status_;
  trace_.line("seeking to position ", pos);
  const TableEnd& end = image_.end();
  const bool joinsLast = static_cast<uint64_t>(pos) == end.size && !end.lineEnded();
  for (int32_t i = 0; i + 1 < row.count; ++i) trace_.line("datarow[i] is ", row.fields[i]);
  std::string text = row.count > 0 ? rowLine(row, joinsLast ? kNewline : std::string_view()) : std::string();
  trace_.line("pos to write rest of file is ", pos + static_cast<int64_t>(text.size()));
  if (text.empty()) return Status::OK();
  return writeRest(static_cast<uint64_t>(pos), std::move(text), &tail);
}

Status DBHelper::checkEndVisible() {
  // An image of the edges is read whole for the check. It is not offered to the cache:
  // kept across this write, such an image missed a program ignoring the lock in the
  // freshness oracle (2 of 1,500 writes, under qemu); images that reads cache are kept.
  if (image_.edgesOnly()) {
    bool changed = false;
    Status s = image_.readAll(false, &changed);
    if (!s.ok()) return s;
  }
  // A streamed table is scanned through the file, so what one scan found is remembered
  // while the file is proven unchanged since, or changed only by our appends.
  rowsToEnd_ = Snapshot();
  Snapshot now;
  const bool streamed = image_.streamed() && takeSnapshot(filePath_, file_, &now) && now.size == image_.end().size;
  if (streamed && knownRowsToEnd(now)) {
    rowsToEnd_ = now;
    return Status::OK();
  }
  int64_t line = -1;
  Status s = image_.hiddenLine(&line);
  if (!s.ok()) return s;
  if (line < 0) {
    Snapshot after;
    if (streamed && snapshotOpen(file_, &after) && provenUnchanged(now, after)) {
      noteRowsToEnd(now);
      rowsToEnd_ = now;
    }
    return s;
  }
  return Status::IOError("line " + std::to_string(line + 1) + " of table " + filePath_ +
                         (line == 0 ? " (the header)" : "") +
                         " is longer than 99 bytes, which ends the table there: it and every line after it are "
                         "hidden from reads, and a row written after it would be too; nothing was written (shorten "
                         "or remove that line first)");
}

Status DBHelper::writeRest(uint64_t pos, std::string line, Tail* tail) {
  // The writer may change the line (what others appended meanwhile comes first); the
  // image then follows no more.
  const std::string written = line;
  const uint64_t changes = file_.changesMade();
  Status s = writer_.writeRest(pos, std::move(line), tail, &image_.end());
  // On shared storage the bytes are on the server before the call returns, and so before
  // the unlock lets another host read.
  if (s.ok() && file_.shared() && file_.unsynced()) s = file_.Sync();
  if (s.ok()) image_.keepOwnWrite(id_, pos, written, file_.changesMade() - changes);
  if (rowsToEnd_.watch != 0) {
    // Rows appended at the end in one call keep the rows reaching it; anything else, or
    // anything but that call seen by the watch, and the next write scans again.
    Snapshot after;
    const bool kept = s.ok() && pos == rowsToEnd_.size && file_.changesMade() - changes == 1 &&
                      snapshotOpen(file_, &after) && onlyOwnWrites(rowsToEnd_, after, 1) &&
                      after.size == rowsToEnd_.size + written.size();
    if (kept) {
      noteRowsToEnd(after);
    } else {
      forgetRowsToEnd(id_);
    }
    rowsToEnd_ = Snapshot();
  }
  return s;
}

}  // namespace dbhelper
