// The two writes, append and insert at a line, and the crash-safe protocol that puts
// their bytes into the file (the undo record is described in recovery.h).
#include <algorithm>
#include <string>

#include "dbhelper/DBHelper.h"
#include "dbhelper/recovery.h"
#include "dbhelper/row_scan.h"

namespace dbhelper {

namespace {

std::string rowLine(const DataRow& row) {
  std::string line;
  for (int32_t i = 0; i < row.count; ++i) {
    if (i > 0) line += '|';
    line += row.fields[i];
  }
  line += kNewline;
  return line;
}

}  // namespace

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

Status DBHelper::appendRow(const DataRow& row) {
  if (!status_.ok()) return status_;
  if (row.count == 0) return missing_ ? File::CreateIfMissing(filePath_) : Status::OK();
  if (missing_) return Status::InvalidArgument("the table has no header line");
  std::string line;
  if (size_ > 0 && lastByte_ != '\n') line += kNewline;  // end the unterminated last line first
  line += rowLine(row);
  return writeRest(size_, line, std::string_view());
}

int64_t DBHelper::findLinePosition(int32_t line) {
  int64_t pos = -1;
  if (ensureWhole()) {
    if (line <= 0) {
      pos = 0;
    } else if (dataStart_ != std::string_view::npos) {
      if (line == 1) {
        pos = static_cast<int64_t>(dataStart_);
      } else {
        const Scan r = scanRows(image_.get(), imageSize_, dataStart_, line - 1);
        if (r.rows == line - 1) pos = static_cast<int64_t>(r.next);
      }
    }
  }
  traceLine("returning pos " + std::to_string(pos) + "\n");
  return pos;
}

int64_t DBHelper::getSizeOfRemaining(int64_t position) const {
  return position >= 0 && static_cast<uint64_t>(position) <= size_ ? static_cast<int64_t>(size_) - position : 0;
}

std::string_view DBHelper::storeRest(int64_t position, int64_t size) {
  const std::string_view rest(image_.get() + position, static_cast<size_t>(size));
  if (!rest.empty()) {
    traceLine(std::string("storerest:  first value of buffer is: ") + rest.front() + "\n");
    traceLine(std::string("storerest:  last value of buffer is: ") + rest.back() + "\n");
  }
  return rest;
}

Status DBHelper::insertRowAtLine(const DataRow& row, int32_t line) {
  if (!status_.ok()) return status_;
  const int64_t pos = findLinePosition(line);
  if (!status_.ok()) return status_;
  if (pos < 0) {
    return Status::OutOfRange("line " + std::to_string(line) + " is past the end of the table");
  }
  traceLine("before getsizeofremaining\n");
  const int64_t size = getSizeOfRemaining(pos);
  traceLine("before malloc\n");
  traceLine("before storerest\n");
  const std::string_view rest = storeRest(pos, size);
  traceLine("seeking to position " + std::to_string(pos) + "\n");
  std::string text;
  if (row.count > 0 && static_cast<uint64_t>(pos) == size_ && size_ > 0 && lastByte_ != '\n') text += kNewline;
  for (int32_t i = 0; i + 1 < row.count; ++i) traceLine("datarow[i] is " + row.fields[i] + "\n");
  if (row.count > 0) text += rowLine(row);
  traceLine("pos to write rest of file is " + std::to_string(pos + static_cast<int64_t>(text.size())) + "\n");
  if (text.empty()) return Status::OK();
  return writeRest(static_cast<uint64_t>(pos), text, rest);
}

// The one place where the bytes of a write reach the file: `line` goes to `pos` and the
// old bytes from `pos` to the end (`rest`) follow it. On failure the file is as before,
// or carries an undo record that the next operation rolls back.
Status DBHelper::writeRest(uint64_t pos, const std::string& line, std::string_view rest) {
  const uint64_t oldSize = size_;
  const uint64_t n = line.size();
  const uint64_t newSize = oldSize + n;
  const Slice whole[2] = {{line.data(), line.size()}, {rest.data(), rest.size()}};
  size_t written = 0;

  // Puts back what a failed overwrite changed, from the copy in memory.
  auto undo = [&](size_t changed) {
    const size_t k = std::min<size_t>(changed, rest.size());
    size_t w = 0;
    const Slice back{rest.data(), k};
    Status s = k > 0 ? file_.WriteAt(pos, &back, 1, &w) : Status::OK();
    if (s.ok()) s = file_.Truncate(oldSize);
    return s;
  };

  if (rest.empty() && pos / kPage == (newSize - 1) / kPage) {
    Status s = file_.WriteAt(pos, whole, 2, &written);
    if (!s.ok()) {
      undo(written);
      return s;
    }
  } else {
    UndoRecord rec;
    rec.oldSize = oldSize;
    rec.pos = pos;
    rec.copyOff = newSize;
    rec.tailLen = rest.size();
    const uint64_t end = rec.fileEnd();
    char raw[kUndoRecordSize];
    const Slice recSlice{raw, sizeof raw};
    // The space the table grows by, filled with its final bytes, then the copy of `rest`.
    Slice slices[6];
    size_t count = 0;
    uint64_t skip = oldSize - pos;  // bytes of line+rest that land below oldSize
    for (const std::string_view part : {std::string_view(line), rest}) {
      if (skip >= part.size()) {
        skip -= part.size();
        continue;
      }
      slices[count++] = Slice{part.data() + skip, part.size() - static_cast<size_t>(skip)};
      skip = 0;
    }
    slices[count++] = Slice{rest.data(), rest.size()};
    Status s;
    if (oldSize / kPage == (end - 1) / kPage) {
      // Growth, copy and record all fall in one page: one write puts them there whole or
      // not at all, and a short write leaves a prefix without a valid record.
      static constexpr char kZeros[kUndoRecordSize] = {};
      rec.copyComplete = true;
      encodeUndoRecord(rec, raw);
      slices[count++] = Slice{kZeros, static_cast<size_t>(end - kUndoRecordSize - newSize - rest.size())};
      slices[count++] = recSlice;
      s = file_.WriteAt(oldSize, slices, count, &written);
    } else {
      // The record goes to the far end first: when the file cannot grow that far nothing
      // else has been touched, and every later write lands below it. It says the copy is
      // complete only once it is.
      encodeUndoRecord(rec, raw);
      s = file_.WriteAt(end - kUndoRecordSize, &recSlice, 1, &written);
      if (s.ok()) s = file_.WriteAt(oldSize, slices, count, &written);
      if (s.ok()) {
        rec.copyComplete = true;
        encodeUndoRecord(rec, raw);
        s = file_.WriteAt(end - kUndoRecordSize, &recSlice, 1, &written);
      }
    }
    if (!s.ok()) {
      file_.Truncate(oldSize);  // nothing below oldSize was touched yet
      return s;
    }
    s = file_.WriteAt(pos, whole, 2, &written);
    if (s.ok()) s = file_.Truncate(newSize);  // commit: drops the copy and the record
    if (!s.ok()) {
      undo(rest.size());  // when this fails too, the record stays for the next operation
      return s;
    }
  }
  // The image no longer matches the file; later reads through this object load it again.
  size_ = newSize;
  lastByte_ = line.back();
  whole_ = false;
  numRows_ = -1;
  return Status::OK();
}

}  // namespace dbhelper
