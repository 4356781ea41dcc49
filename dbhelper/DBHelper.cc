#include "dbhelper/DBHelper.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "dbhelper/recovery.h"
#include "dbhelper/utf.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dbhelper {

namespace {

// Appends that stay within one page reach the file whole or not at all, even when the
// process is killed in the middle, so they need no undo record. Insertions always take
// one: after a short write over old bytes, putting them back may fail as well.
constexpr uint64_t kPage = 4096;

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Baseline x86-64 has no POPCNT instruction, and the library call costs more than this.
inline int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

// Returns the length of the line starting at `b` (a CR before its LF not counted) and
// sets *end to the offset of its LF, or to `size` when it runs to the end of the file.
size_t lineAt(const char* d, size_t size, size_t b, size_t* end) {
  const void* nl = std::memchr(d + b, '\n', size - b);
  if (nl == nullptr) {
    *end = size;
    return size - b;
  }
  const size_t e = static_cast<size_t>(static_cast<const char*>(nl) - d);
  *end = e;
  return (e > b && d[e - 1] == '\r') ? e - 1 - b : e - b;
}

// Counts data rows from `from`, the way the loader reads them: each line ends at a LF
// (a CR before it belongs to the line end) or at the end of the file, and a line longer
// than 99 characters ends the table. Stops after `want` rows.
struct Scan {
  int64_t rows = 0;
  size_t next = 0;  // offset just past the last row counted
};

Scan scanRows(const char* d, size_t size, size_t from, int64_t want) {
  Scan r;
  r.next = from;
  if (want <= 0 || from >= size) return r;
  size_t lineStart = from;
  size_t i = from;
  // Returns false when the table ends at this line.
  auto onNewline = [&](size_t e) {
    size_t len = e - lineStart;
    if (len > 0 && d[e - 1] == '\r') --len;
    if (len > kMaxLineChars) return false;
    ++r.rows;
    r.next = e + 1;
    lineStart = e + 1;
    return true;
  };
#if defined(__SSE2__)
  // 64 bytes at a time: a block's line feeds are counted at once unless the block holds
  // the row asked for or a line that may be too long. Lines inside one block are shorter
  // than 64, so only the line running into the block needs its length checked.
  const __m128i nl = _mm_set1_epi8('\n');
  auto bits = [&](size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))));
  };
  while (i + 64 <= size) {
    uint64_t mask = bits(i) | bits(i + 16) << 16 | bits(i + 32) << 32 | bits(i + 48) << 48;
    if (mask == 0) {
      i += 64;
      if (i - lineStart > kMaxLineChars + 1) return r;  // no LF within reach: too long
      continue;
    }
    const int count = popcount64(mask);
    const size_t first = i + static_cast<size_t>(__builtin_ctzll(mask));
    if (first - lineStart <= kMaxLineChars && r.rows + count < want) {
      r.rows += count;
      lineStart = i + static_cast<size_t>(63 - __builtin_clzll(mask)) + 1;
      r.next = lineStart;
    } else {
      while (mask != 0) {
        const size_t e = i + static_cast<size_t>(__builtin_ctzll(mask));
        mask &= mask - 1;
        if (!onNewline(e) || r.rows == want) return r;
      }
    }
    i += 64;
  }
#endif
  for (; i < size; ++i) {
    if (d[i] == '\n') {
      if (!onNewline(i) || r.rows == want) return r;
    } else if (i - lineStart > kMaxLineChars + 1) {
      return r;
    }
  }
  if (lineStart < size && size - lineStart <= kMaxLineChars) {
    ++r.rows;
    r.next = size;
  }
  return r;
}

std::string renderRow(const DataRow& header, const DataRow& row) {
  std::string out;
  const int32_t n = std::min(row.count, header.count);
  size_t total = 0;
  for (int32_t j = 0; j < n; ++j) total += header.fields[j].size() + row.fields[j].size() + 2;
  out.reserve(total);
  for (int32_t j = 0; j < n; ++j) {
    if (j > 0) out += ',';
    out += header.fields[j];
    out += '=';
    out += row.fields[j];
  }
  return out;
}

}  // namespace

std::string_view trimView(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && isTrimmed(text[b])) ++b;
  while (e > b && isTrimmed(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string trim(std::string_view text) { return std::string(trimView(text)); }

DataRow parseLine(std::string_view line) {
  DataRow row;
  const size_t n = line.size();
  auto at = [&](size_t k) { return k < n ? line[k] : '\0'; };
  size_t i = 0;
  while (at(i) != '\n' && at(i) != '\0' && row.count < kMaxFields) {
    const size_t b = i;
    while (at(i) != '|' && at(i) != '\n' && at(i) != '\0') ++i;
    std::string_view f = trimView(line.substr(b, i - b));
    row.fields[row.count++].assign(f.substr(0, kMaxFieldChars));
    if (at(i) == '|') ++i;
  }
  return row;
}

DBHelper::DBHelper(std::string path, std::string* trace, Access access)
    : filePath_(std::move(path)), trace_(trace), access_(access) {
  traceLine("DBHelper constructor\n");
  status_ = loadTable();
}

DBHelper::~DBHelper() {
  // Closing first drops the file lock, so a thread woken by the in-process lock never
  // finds the file still locked by us.
  file_.Close();
  lock_.Release();
}

void DBHelper::traceLine(std::string_view line) {
  if (trace_ != nullptr) {
    trace_->append(line);
  } else {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
}

Status DBHelper::loadTable() {
  const bool write = access_ != Access::kRead;
  // A leftover undo record is rolled back and the file read again; twice is plenty
  // unless something keeps writing records, which is then reported.
  for (int attempt = 0; attempt < 4; ++attempt) {
    lock_.Release();
    file_.Close();
    image_.reset();
    imageSize_ = 0;
    whole_ = false;
    size_ = 0;
    numRows_ = -1;
    header_.count = 0;
    Status s = File::Open(filePath_, write ? File::Mode::kReadWrite : File::Mode::kRead, &file_, &missing_);
    if (!s.ok() || missing_) return s;
    uint64_t size = 0;
    s = file_.Stat(&size, &id_);
    if (!s.ok()) return s;
    s = lock_.Acquire(file_, id_, write);
    if (!s.ok()) return s;
    // The size seen before the lock may be stale: another writer may have appended, or
    // committed and dropped its undo record. Both readers below find the real end.
    size_ = size;
    // An appender reads one page at the start (a file of one page is read whole).
    s = access_ == Access::kAppend ? readEdges() : readAll();
    if (!s.ok()) return s;
    bool repaired = false;
    s = repairIfNeeded(&repaired);
    if (!s.ok()) return s;
    if (!repaired) return Status::OK();
  }
  return Status::FromErrno("cannot repair table", filePath_, EAGAIN);
}

Status DBHelper::readAll() {
  // The size from fstat is a hint: another program may change the file without our
  // lock, so read until a short read shows the end.
  size_t cap = static_cast<size_t>(size_) + 1;
  auto buf = std::make_unique_for_overwrite<char[]>(cap);
  size_t total = 0;
  for (;;) {
    size_t got = 0;
    Status s = file_.ReadAt(total, buf.get() + total, cap - total, &got);
    if (!s.ok()) return s;
    total += got;
    if (total < cap) break;
    const size_t bigger = cap * 2;
    auto grown = std::make_unique_for_overwrite<char[]>(bigger);
    std::memcpy(grown.get(), buf.get(), total);
    buf = std::move(grown);
    cap = bigger;
  }
  image_ = std::move(buf);
  imageSize_ = total;
  size_ = total;
  whole_ = true;
  lastByte_ = total > 0 ? image_[total - 1] : '\n';
  parseHeader();
  numRows_ = -1;
  return Status::OK();
}

Status DBHelper::readEdges() {
  // One byte more than a page tells whether the page is the whole file; only a larger
  // file needs its size, asked under the lock, to find its end.
  auto head = std::make_unique_for_overwrite<char[]>(kPage + 1);
  size_t got = 0;
  Status s = file_.ReadAt(0, head.get(), kPage + 1, &got);
  if (!s.ok()) return s;
  image_ = std::move(head);
  if (got <= kPage) {
    imageSize_ = got;
    size_ = got;
    whole_ = true;
    lastByte_ = got > 0 ? image_[got - 1] : '\n';
  } else {
    FileId id;
    s = file_.Stat(&size_, &id);
    if (!s.ok()) return s;
    imageSize_ = kPage;
    whole_ = false;
  }
  parseHeader();
  numRows_ = -1;
  return Status::OK();
}

Status DBHelper::repairIfNeeded(bool* repaired) {
  *repaired = false;
  if (size_ < kUndoRecordSize) return Status::OK();
  char last[kUndoRecordSize];
  if (whole_) {
    std::memcpy(last, image_.get() + size_ - kUndoRecordSize, kUndoRecordSize);
  } else {
    size_t got = 0;
    Status s = file_.ReadAt(size_ - kUndoRecordSize, last, kUndoRecordSize, &got);
    if (!s.ok()) return s;
    if (got != kUndoRecordSize) return Status::FromErrno("cannot read table", filePath_, EIO);
    lastByte_ = last[kUndoRecordSize - 1];
  }
  UndoRecord rec;
  if (!decodeUndoRecord(last, size_, &rec)) return Status::OK();

  if (access_ != Access::kRead) {
    Status s = rollBack(file_, rec);
    if (!s.ok()) return s;
    *repaired = true;
    return Status::OK();
  }
  // A reader cannot write through its descriptor: repair with a writer of our own and
  // read again. Where the file cannot be written at all, show the old table from memory.
  lock_.Release();
  file_.Close();
  {
    std::string ignored;
    DBHelper writer(filePath_, &ignored, Access::kWrite);
    if (writer.status().ok()) {
      *repaired = true;
      return Status::OK();
    }
  }
  if (rec.copyComplete) std::memmove(image_.get() + rec.pos, image_.get() + rec.copyOff, rec.tailLen);
  size_ = rec.oldSize;
  imageSize_ = rec.oldSize;
  lastByte_ = size_ > 0 ? image_[size_ - 1] : '\n';
  parseHeader();
  return Status::OK();
}

void DBHelper::parseHeader() {
  header_.count = 0;
  dataStart_ = std::string_view::npos;
  if (imageSize_ == 0) return;
  size_t end = 0;
  const size_t len = lineAt(image_.get(), imageSize_, 0, &end);
  // A header without LF ends the file: data row 1 would start at its end.
  if (len <= kMaxLineChars) dataStart_ = end < imageSize_ ? end + 1 : imageSize_;
  header_ = parseLine(std::string_view(image_.get(), std::min(len, kMaxLineChars)));
}

bool DBHelper::ensureWhole() {
  if (status_.ok() && !missing_ && !whole_) status_ = readAll();
  return status_.ok() && !missing_;
}

int32_t DBHelper::getNumRows() {
  if (!ensureWhole()) return 0;
  if (numRows_ < 0) {
    if (dataStart_ == std::string_view::npos) {
      numRows_ = 0;
    } else {
      const Scan r = scanRows(image_.get(), imageSize_, dataStart_, std::numeric_limits<int64_t>::max());
      numRows_ = static_cast<int32_t>(std::min<int64_t>(r.rows, std::numeric_limits<int32_t>::max()));
    }
  }
  return numRows_;
}

bool DBHelper::locateRow(int32_t index, size_t* start, size_t* len) {
  if (index < 1 || !ensureWhole() || dataStart_ == std::string_view::npos) return false;
  const Scan r = scanRows(image_.get(), imageSize_, dataStart_, index - 1);
  if (r.rows < index - 1 || r.next >= imageSize_) return false;
  const size_t b = r.next;
  size_t end = 0;
  const size_t l = lineAt(image_.get(), imageSize_, b, &end);
  if (l > kMaxLineChars) return false;
  *start = b;
  *len = l;
  return true;
}

DataRow DBHelper::dataRowAt(int32_t index) {
  size_t start = 0;
  size_t len = 0;
  if (locateRow(index, &start, &len)) return parseLine(std::string_view(image_.get() + start, len));
  return DataRow();
}

std::string DBHelper::headerName(int32_t position) const {
  if (position < 1 || position > header_.count) return std::string();
  return header_.fields[position - 1];
}

int32_t DBHelper::findColumn(std::string_view name) const {
  for (int32_t k = 0; k < header_.count; ++k) {
    if (header_.fields[k] == name) return k;
  }
  // A header written by another tool may hold a supplementary character as a modified
  // UTF-8 surrogate pair, which reads back as the same Java string as the 4-byte form.
  const std::string canonical = canonicalUtf8(name);
  for (int32_t k = 0; k < header_.count; ++k) {
    if (header_.fields[k].find('\xED') != std::string::npos && canonicalUtf8(header_.fields[k]) == canonical) {
      return k;
    }
  }
  return -1;
}

std::string DBHelper::getRow(int32_t index) {
  if (index < 1) return std::string();
  return renderRow(header_, dataRowAt(index));
}

Status DBHelper::parseRecordText(std::string_view text, DataRow* out) const {
  DataRow row;
  std::array<bool, kMaxFields> filled{};
  const int64_t length = static_cast<int64_t>(text.size());
  const size_t lc = text.rfind(',');
  const int64_t lastComma = lc == std::string_view::npos ? -1 : static_cast<int64_t>(lc);
  int64_t start = 0;
  int64_t end = 0;
  int32_t pairs = 0;
  while (end < length) {
    if (start < lastComma) {
      end = static_cast<int64_t>(text.find(',', static_cast<size_t>(start)));
    } else {
      end = length;
    }
    const std::string_view pair =
        trimView(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    start = end + 1;
    const size_t eq = pair.find('=');
    const std::string_view key = trimView(eq == std::string_view::npos ? pair : pair.substr(0, eq));
    const std::string_view value = trimView(eq == std::string_view::npos ? pair : pair.substr(eq + 1));
    if (pairs == kMaxFields) return Status::InvalidArgument("a record holds at most 10 pairs");
    const int32_t col = findColumn(key);
    if (col < 0) {
      if (header_.count == 0) {
        return Status::InvalidArgument("the table has no header line, so '" + std::string(key) +
                                       "' names no column");
      }
      return Status::InvalidArgument("'" + std::string(key) + "' names no column of the table");
    }
    const std::string& name = header_.fields[col];
    if (filled[col]) return Status::InvalidArgument("column '" + name + "' is given twice");
    if (value.size() > kMaxFieldChars) {
      return Status::InvalidArgument("the value of column '" + name + "' is longer than 199 characters");
    }
    if (value.find_first_of(std::string_view("|\n\0", 3)) != std::string_view::npos) {
      return Status::InvalidArgument("the value of column '" + name + "' contains '|', a line feed or NUL");
    }
    row.fields[col].assign(value);
    filled[col] = true;
    ++pairs;
  }
  row.count = pairs;
  for (int32_t k = pairs; k < kMaxFields; ++k) {
    if (!filled[k]) continue;
    for (int32_t j = 0; j < pairs; ++j) {
      if (!filled[j]) {
        return Status::InvalidArgument("column '" + header_.fields[k] + "' is given but column '" +
                                       header_.fields[j] + "' before it is not");
      }
    }
  }
  if (pairs > 0 && !row.fields[pairs - 1].empty() && row.fields[pairs - 1].back() == '\r') {
    // The reader takes a CR before the LF as part of the line end, so it would be lost.
    return Status::InvalidArgument("the value of column '" + header_.fields[pairs - 1] +
                                   "' ends with a carriage return, which the line end would swallow");
  }
  size_t lineLen = pairs > 0 ? static_cast<size_t>(pairs - 1) : 0;
  for (int32_t k = 0; k < pairs; ++k) lineLen += row.fields[k].size();
  if (lineLen > kMaxLineChars) {
    return Status::InvalidArgument("the row line would be " + std::to_string(lineLen) +
                                   " characters long; a line holds at most 99");
  }
  *out = std::move(row);
  return Status::OK();
}

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
