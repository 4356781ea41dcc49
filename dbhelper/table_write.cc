// The two writes, append and insert at a line, and the crash-safe protocol that puts
// their bytes into the file (the undo record is described in recovery.h).
#include <algorithm>
#include <memory>
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

// Bytes moved per system call when a tail is too large to hold in memory.
constexpr size_t kMoveChunk = 1u << 20;

}  // namespace

// A write that finds the file grown by another program since it was read starts over
// from a fresh read, quietly: the trace of the first attempt stands for the call.
template <typename Write>
Status DBHelper::retryIfGrown(Write write) {
  Status s;
  for (int attempt = 0;; ++attempt) {
    grown_ = false;
    s = write();
    if (!grown_ || attempt == 3) break;
    quiet_ = true;
    status_ = loadTable();
    if (!status_.ok()) {
      s = status_;
      break;
    }
  }
  quiet_ = false;
  return s;
}

Status DBHelper::writeRow(std::string_view text) {
  if (!status_.ok()) return status_;
  return retryIfGrown([&] {
    DataRow row;
    Status s = parseRecordText(text, &row);
    if (!s.ok()) return s;
    return appendRow(row);
  });
}

Status DBHelper::writeRowToLine(std::string_view text, int32_t line) {
  if (!status_.ok()) return status_;
  return retryIfGrown([&] {
    DataRow row;
    Status s = parseRecordText(text, &row);
    if (!s.ok()) return s;
    if (line < 1) {
      return Status::OutOfRange("line " + std::to_string(line) +
                                " is not a data row; rows start at line 1 (the header is line 0)");
    }
    return insertRowAtLine(row, line);
  });
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
      Scan r;
      if (line == 1) {
        pos = static_cast<int64_t>(dataStart_);
      } else if (scanFromStart(line - 1, &r) && r.rows == line - 1) {
        pos = static_cast<int64_t>(r.next);
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
  tailInFile_ = false;
  if (size <= 0) return std::string_view();
  std::string_view rest;
  char first = 0;
  char last = 0;
  if (whole_) {
    rest = std::string_view(image_.get() + position, static_cast<size_t>(size));
  } else if (static_cast<uint64_t>(size) <= imageLimit()) {
    tail_ = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
    size_t got = 0;
    status_ = file_.ReadAt(static_cast<uint64_t>(position), tail_.get(), static_cast<size_t>(size), &got);
    if (status_.ok() && got != static_cast<size_t>(size)) {
      status_ = Status::IOError("table " + filePath_ + " was truncated by another program during the write");
    }
    if (!status_.ok()) return std::string_view();
    rest = std::string_view(tail_.get(), got);
  } else {
    tailInFile_ = true;
    size_t got = 0;
    status_ = file_.ReadAt(static_cast<uint64_t>(position), &first, 1, &got);
    if (status_.ok()) status_ = file_.ReadAt(size_ - 1, &last, 1, &got);
    if (!status_.ok()) return std::string_view();
  }
  if (!rest.empty()) {
    first = rest.front();
    last = rest.back();
  }
  traceLine(std::string("storerest:  first value of buffer is: ") + first + "\n");
  traceLine(std::string("storerest:  last value of buffer is: ") + last + "\n");
  return rest;
}

Status DBHelper::insertRowAtLine(const DataRow& row, int32_t line) {
  if (!status_.ok()) return status_;
  const int64_t pos = findLinePosition(line);
  if (!status_.ok()) return status_;
  if (pos < 0) {
    const int32_t rows = getNumRows();
    if (!status_.ok()) return status_;
    return Status::OutOfRange("line " + std::to_string(line) + " is past the end of the table (the last line you can insert at is " +
                              std::to_string(static_cast<int64_t>(rows) + 1) + ")");
  }
  traceLine("before getsizeofremaining\n");
  const int64_t size = getSizeOfRemaining(pos);
  traceLine("before malloc\n");
  traceLine("before storerest\n");
  const std::string_view rest = storeRest(pos, size);
  if (!status_.ok()) return status_;
  traceLine("seeking to position " + std::to_string(pos) + "\n");
  std::string text;
  if (row.count > 0 && static_cast<uint64_t>(pos) == size_ && size_ > 0 && lastByte_ != '\n') text += kNewline;
  for (int32_t i = 0; i + 1 < row.count; ++i) traceLine("datarow[i] is " + row.fields[i] + "\n");
  if (row.count > 0) text += rowLine(row);
  traceLine("pos to write rest of file is " + std::to_string(pos + static_cast<int64_t>(text.size())) + "\n");
  if (text.empty()) return Status::OK();
  if (tailInFile_) return writeRestStreamed(static_cast<uint64_t>(pos), text);
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
    // At the end as it is at the moment of the write: an appender that takes no lock
    // (echo >> table) is then never overwritten.
    Status s = file_.WriteAt(pos == oldSize ? File::kAtEnd : pos, whole, 2, &written);
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
    Status s = checkUnchanged();
    if (!s.ok() || grown_) return s;
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
    s = checkNotShrunk(end);
    if (!s.ok()) return s;
    s = file_.WriteAt(pos, whole, 2, &written);
    if (s.ok()) s = commit(end, newSize);
    if (!s.ok()) {
      if (s.code() != Status::Code::kIOError || s.errnoValue() != 0) {
        undo(rest.size());  // when this fails too, the record stays for the next operation
      }
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

Status DBHelper::writeRestStreamed(uint64_t pos, const std::string& line) {
  const uint64_t oldSize = size_;
  const uint64_t newSize = oldSize + line.size();
  UndoRecord rec;
  rec.oldSize = oldSize;
  rec.pos = pos;
  rec.copyOff = newSize;
  rec.tailLen = oldSize - pos;
  const uint64_t end = rec.fileEnd();
  char raw[kUndoRecordSize];
  const Slice recSlice{raw, sizeof raw};
  const size_t chunk = streamChunk(kMoveChunk);
  auto buf = std::make_unique_for_overwrite<char[]>(chunk);
  // Moves `len` bytes from `from` to `to` through the buffer; the ranges do not overlap.
  auto move = [&](uint64_t from, uint64_t to, uint64_t len) {
    for (uint64_t done = 0; done < len;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, chunk));
      size_t got = 0;
      Status s = file_.ReadAt(from + done, buf.get(), n, &got);
      if (s.ok() && got != n) s = Status::IOError("table " + filePath_ + " was truncated by another program during the write");
      const Slice slice{buf.get(), n};
      size_t written = 0;
      if (s.ok()) s = file_.WriteAt(to + done, &slice, 1, &written);
      if (!s.ok()) return s;
      done += n;
    }
    return Status::OK();
  };

  Status s = checkUnchanged();
  if (!s.ok() || grown_) return s;
  // As writeRest: the record first, then the copy, then the record saying it is complete.
  size_t written = 0;
  encodeUndoRecord(rec, raw);
  s = file_.WriteAt(end - kUndoRecordSize, &recSlice, 1, &written);
  if (s.ok()) s = move(pos, rec.copyOff, rec.tailLen);
  if (s.ok()) {
    rec.copyComplete = true;
    encodeUndoRecord(rec, raw);
    s = file_.WriteAt(end - kUndoRecordSize, &recSlice, 1, &written);
  }
  if (!s.ok()) {
    if (s.errnoValue() != 0) file_.Truncate(oldSize);  // nothing below oldSize was touched yet
    return s;
  }
  s = checkNotShrunk(end);
  if (!s.ok()) return s;
  const Slice lineSlice{line.data(), line.size()};
  s = file_.WriteAt(pos, &lineSlice, 1, &written);
  // The tail moves down from the copy, so the order of the chunks does not matter.
  if (s.ok()) s = move(rec.copyOff, pos + line.size(), rec.tailLen);
  if (s.ok()) s = commit(end, newSize);
  if (!s.ok()) {
    if (s.errnoValue() != 0) rollBack(file_, rec);  // when this fails too, the record stays
    return s;
  }
  size_ = newSize;
  lastByte_ = line.back();
  whole_ = false;
  numRows_ = -1;
  return Status::OK();
}

Status DBHelper::checkUnchanged() {
  uint64_t size = 0;
  FileId id;
  Status s = file_.Stat(&size, &id);
  if (!s.ok()) return s;
  if (size > size_) {
    grown_ = true;
    return Status::IOError("table " + filePath_ + " keeps growing: another program appends to it during every write");
  }
  if (size < size_) return Status::IOError("table " + filePath_ + " was truncated by another program during the write");
  return Status::OK();
}

Status DBHelper::checkNotShrunk(uint64_t expect) {
  uint64_t size = 0;
  FileId id;
  Status s = file_.Stat(&size, &id);
  if (s.ok() && size < expect) {
    s = Status::IOError("table " + filePath_ + " was truncated by another program during the write; it is left as that program left it");
  }
  return s;
}

Status DBHelper::commit(uint64_t end, uint64_t newSize) {
  // Lines another program appended meanwhile sit past the record; they move down to the
  // new end instead of being cut off. Each round narrows the window to a few microseconds.
  uint64_t keep = newSize;
  for (int round = 0; round < 4; ++round) {
    uint64_t size = 0;
    FileId id;
    Status s = file_.Stat(&size, &id);
    if (!s.ok()) return s;
    if (size < end) return checkNotShrunk(end);
    if (size == end + (keep - newSize) || round == 3) break;
    const uint64_t extra = size - end;
    std::string moved(static_cast<size_t>(std::min<uint64_t>(extra, kMoveChunk)), '\0');
    size_t got = 0;
    s = file_.ReadAt(end, moved.data(), moved.size(), &got);
    if (!s.ok()) return s;
    const Slice slice{moved.data(), got};
    size_t written = 0;
    s = file_.WriteAt(newSize, &slice, 1, &written);
    if (!s.ok()) return s;
    keep = newSize + got;
  }
  Status s = file_.Truncate(keep);  // drops the copy and the record
  if (!s.ok()) return s;
  bool same = true;
  s = file_.StillAt(&same);
  if (s.ok() && !same) {
    return Status::IOError("table " + filePath_ + " was replaced by another program during the write; the row went to the old file");
  }
  return Status::OK();
}

}  // namespace dbhelper
