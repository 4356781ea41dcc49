#include "dbhelper/DBHelper.h"

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "dbhelper/durability.h"
#include "dbhelper/kept_files.h"
#include "dbhelper/recovery.h"
#include "dbhelper/row_scan.h"
#include "dbhelper/utf.h"

namespace dbhelper {

namespace {

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Images up to this size are searched whole for a NUL that a racing truncation leaves;
// larger ones only at their end, where it most often is.
constexpr size_t kNulSearchBytes = 64u << 10;

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

std::atomic<uint64_t> gImageLimit{64u << 20};

}  // namespace

void DBHelper::SetImageLimit(uint64_t bytes) { gImageLimit = bytes; }
uint64_t DBHelper::imageLimit() { return gImageLimit.load(std::memory_order_relaxed); }
size_t DBHelper::streamChunk(size_t most) {
  // A lowered limit (in tests) also shrinks the chunks, so their edges fall inside rows.
  return static_cast<size_t>(std::clamp<uint64_t>(imageLimit(), kMaxLineChars + 29, most));
}

std::string_view trimView(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && isTrimmed(text[b])) ++b;
  while (e > b && isTrimmed(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string trim(std::string_view text) { return std::string(trimView(text)); }

void parseLineInto(std::string_view line, DataRow* row) {
  row->count = 0;
  size_t n = line.size();  // the line ends at its first LF or NUL
  for (size_t k = 0; k < n; ++k) {
    if (line[k] == '\n' || line[k] == '\0') n = k;
  }
  for (size_t i = 0; i < n && row->count < kMaxFields;) {
    const void* bar = std::memchr(line.data() + i, '|', n - i);
    const size_t e = bar != nullptr ? static_cast<size_t>(static_cast<const char*>(bar) - line.data()) : n;
    row->fields[row->count++].assign(trimView(line.substr(i, e - i)).substr(0, kMaxFieldChars));
    i = e + 1;  // past the separator; a separator at the very end adds no field
  }
}

DataRow parseLine(std::string_view line) {
  DataRow row;
  parseLineInto(line, &row);
  return row;
}

DBHelper::DBHelper(std::string_view path, std::string* trace, Access access)
    : filePath_(path), trace_(trace), access_(access) {
  if (trace_ != nullptr) trace_->reserve(trace_->size() + 256);  // room for an insertion's lines
  traceLine("DBHelper constructor");
  status_ = loadTable();
}

DBHelper::~DBHelper() {
  // Unlocking or closing first drops the file lock, so a thread woken by the in-process
  // lock never finds the file still locked by us. A writer's descriptor is kept for the
  // next write; one that cannot be unlocked is closed, which drops its lock too, unless
  // a child forked meanwhile shares the open file: then only unlocking does.
  try {
    if (access_ != Access::kRead && file_.isOpen() && keepingFiles() && file_.Unlock().ok()) {
      keepFile(filePath_, std::move(file_));
    }
  } catch (...) {  // no memory to keep it: closed below
  }
  if (lock_.forkedSinceAcquire() && file_.isOpen()) file_.Unlock();
  file_.Close();
  lock_.Release();
}

void DBHelper::traceLine(std::string_view a, std::string_view b) {
  if (trace_ != nullptr) {
    trace_->append(a).append(b).push_back('\n');
    return;
  }
  std::string line;
  line.reserve(a.size() + b.size() + 1);
  line.append(a).append(b).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void DBHelper::traceLine(std::string_view a, int64_t n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  traceLine(a, std::string_view(digits, static_cast<size_t>(end - digits)));
}

bool DBHelper::answerFromCache() {
  // No descriptor, no lock: a reader needs neither when the image is proven fresh
  // (docs/cache.md, "Reads without opening the file").
  FileInfo named;
  if (!File::StatPath(filePath_, &named, true).ok() || named.size < TableCache::minBytes() || named.size > imageLimit()) {
    return false;
  }
  std::shared_ptr<const CachedTable> hit = TableCache::instance().find(named.id);
  Snapshot now;
  if (!hit || !snapshotByPath(named, &now) || !provenUnchanged(hit->snap, now)) return false;
  id_ = named.id;
  useCached(std::move(hit));
  return true;
}

Status DBHelper::loadTable() {
  const bool write = access_ != Access::kRead;
  if (!write && answerFromCache()) return Status::OK();
  // A leftover undo record is rolled back and the file read again; so is a file that
  // changed while it was read (another program writing without our lock). A few rounds
  // are plenty unless something keeps at it, which is then reported or answered as read.
  for (int attempt = 0; attempt < 6; ++attempt) {
    lock_.Release();
    file_.Close();
    image_.reset();
    cached_.reset();
    imageSize_ = 0;
    whole_ = false;
    streamed_ = false;
    resized_ = false;
    size_ = 0;
    numRows_ = -1;
    header_.count = 0;
    // A writer reuses the descriptor an earlier write kept, when the path still names it.
    FileInfo info;
    std::optional<File> kept;
    if (write && attempt == 0 && keepingFiles()) kept = takeKeptFile(filePath_, &info);
    Status s;
    if (kept) {
      file_ = std::move(*kept);
      missing_ = false;
    } else {
      s = File::Open(filePath_, write ? File::Mode::kReadWrite : File::Mode::kRead, &file_, &missing_);
      if (!s.ok() || missing_) return s;
      info = file_.openInfo();
    }
    uint64_t size = info.size;
    id_ = info.id;
    s = lock_.Acquire(file_, id_, write);
    if (!s.ok()) return s;
    // The size seen before the lock may be stale: another writer may have appended, or
    // committed and dropped its undo record. Both readers below find the real end.
    size_ = size;
    // Large enough that proving it unchanged costs less than reading it: try the cache.
    Snapshot snap;
    const bool provable = access_ != Access::kAppend && size >= TableCache::minBytes() &&
                          size <= imageLimit() && takeSnapshot(filePath_, file_, &snap);
    if (provable) {
      std::shared_ptr<const CachedTable> hit = TableCache::instance().find(id_);
      if (hit && provenUnchanged(hit->snap, snap)) {
        useCached(std::move(hit));
        return Status::OK();
      }
    }
    // An appender reads one page at the start (a file of one page is read whole).
    // A reader whose image is not proven by the cache looks for what a racing truncation
    // leaves in it; a writer finds such a truncation before its first write.
    s = access_ == Access::kAppend ? readEdges() : readAll(access_ == Access::kRead && !provable);
    if (!s.ok()) return s;
    bool repaired = false;
    s = repairIfNeeded(&repaired);
    if (!s.ok()) return s;
    if (repaired) continue;
    // A reader that could not repair shows the repaired table from memory, its file closed.
    if (provable && whole_ && file_.isOpen()) {
      Snapshot after;
      if (takeSnapshot(filePath_, file_, &after) && provenUnchanged(snap, after)) {
        offerToCache(snap);
        return Status::OK();
      }
      resized_ = true;  // changed while we read: the image may mix two states
    }
    if (!resized_ || attempt == 5) return Status::OK();
  }
  return Status::FromErrno("cannot repair table", filePath_, EAGAIN);
}

void DBHelper::useCached(std::shared_ptr<const CachedTable> table) {
  image_ = table->bytes;
  imageSize_ = table->size;
  size_ = table->size;
  whole_ = true;
  lastByte_ = size_ > 0 ? image_[size_ - 1] : '\n';
  parseHeader();
  cached_ = std::move(table);
}

void DBHelper::offerToCache(const Snapshot& snap) {
  auto table = std::make_shared<CachedTable>();
  table->bytes = image_;
  table->size = imageSize_;
  table->dataStart = dataStart_ == std::string_view::npos ? SIZE_MAX : dataStart_;
  table->snap = snap;
  if (TableCache::instance().put(id_, table)) cached_ = std::move(table);  // else no index either
}

void DBHelper::dropCached() {
  // Our own write makes the entry stale; its watch would say so too, but the memory
  // can go now.
  TableCache::instance().erase(id_);
  cached_.reset();
}

Status DBHelper::readAll(bool lookForNul) {
  cached_.reset();
  // The size from fstat is a hint: another program may change the file without our
  // lock, so read until a short read shows the end.
  if (size_ > imageLimit()) {
    streamed_ = true;
    return readEdges();
  }
  size_t cap = static_cast<size_t>(size_) + 1;
  auto buf = std::make_shared_for_overwrite<char[]>(cap);
  size_t total = 0;
  for (;;) {
    size_t got = 0;
    Status s = file_.ReadAt(total, buf.get() + total, cap - total, &got);
    if (!s.ok()) return s;
    total += got;
    if (total < cap) break;
    if (cap > imageLimit()) {  // it grew past the limit while we read
      streamed_ = true;
      return readEdges();
    }
    resized_ = true;  // several reads of a file that grew: they may see different states
    const size_t bigger = cap * 2;
    auto grown = std::make_shared_for_overwrite<char[]>(bigger);
    std::memcpy(grown.get(), buf.get(), total);
    buf = std::move(grown);
    cap = bigger;
  }
  const bool nul = total > 0 && (buf[total - 1] == '\0' ||
                                 (lookForNul && total <= kNulSearchBytes && std::memchr(buf.get(), '\0', total)));
  if (nul && !resized_) {
    // A read that races another program's truncation can copy the page while the kernel
    // zeroes it past the new end: table text holds no NUL, so look whether it shrank.
    uint64_t now = 0;
    FileId id;
    Status s = file_.Stat(&now, &id);
    if (!s.ok()) return s;
    resized_ = now != total;
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
  cached_.reset();
  haveLast_ = false;
  // One byte more than a page tells whether the page is the whole file; only a larger
  // file needs its size, asked under the lock, to find its end.
  auto head = std::make_shared_for_overwrite<char[]>(kPage + 1);
  size_t got = 0;
  Status s = file_.ReadAt(0, head.get(), kPage + 1, &got);
  if (!s.ok()) return s;
  image_ = std::move(head);
  if (got <= kPage && !(streamed_ && got > imageLimit())) {
    imageSize_ = got;
    size_ = got;
    whole_ = true;
    lastByte_ = got > 0 ? image_[got - 1] : '\n';
  } else {
    // The size seen before the lock (in size_) is off by what other writers did meanwhile.
    // A read of the page from just before it finds the real end, and the bytes the undo
    // record would be, when the end moved by less than that; else the size is asked for.
    if (size_ >= kUndoRecordSize) {
      char window[kPage];
      const uint64_t from = size_ - kUndoRecordSize;
      size_t in = 0;
      s = file_.ReadAt(from, window, sizeof window, &in);
      if (!s.ok()) return s;
      if (in >= kUndoRecordSize && in < sizeof window) {
        size_ = from + in;
        std::memcpy(last_, window + in - kUndoRecordSize, kUndoRecordSize);
        haveLast_ = true;
      }
    }
    if (!haveLast_) {
      FileId id;
      s = file_.Stat(&size_, &id);
      if (!s.ok()) return s;
    }
    imageSize_ = std::min<size_t>(got, kPage);
    whole_ = false;
    if (size_ > 0 && size_ <= got) lastByte_ = image_[size_ - 1];  // else repairIfNeeded reads it
  }
  if (whole_) streamed_ = false;
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
  } else if (haveLast_) {
    std::memcpy(last, last_, kUndoRecordSize);
    lastByte_ = last[kUndoRecordSize - 1];
  } else {
    size_t got = 0;
    Status s = file_.ReadAt(size_ - kUndoRecordSize, last, kUndoRecordSize, &got);
    if (!s.ok()) return s;
    if (got != kUndoRecordSize) return Status::FromErrno("cannot read table", filePath_, EIO);
    lastByte_ = last[kUndoRecordSize - 1];
  }
  UndoRecord rec;
  if (!decodeUndoRecord(last, size_, &rec)) {
    // What a power cut leaves of a durable write's first step; never looked for otherwise,
    // so a table that ends in NULs of its own is left alone.
    bool torn = false;
    if (syncMode() == SyncMode::kFull) {
      Status s = findTornTrailer(file_, size_, last, &torn, &rec);
      if (!s.ok()) return s;
    }
    if (!torn) return Status::OK();
  }

  if (access_ != Access::kRead) {
    Status s = rollBack(file_, rec);
    if (!s.ok()) return s;
    *repaired = true;
    return Status::OK();
  }
  // A reader cannot write through its descriptor: repair with a writer of our own and
  // read again. Where the file cannot be written at all, show from memory the table the
  // repair would leave.
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
  if (!whole_) return Status::IOError("table " + filePath_ + " holds an unfinished write that cannot be rolled back");
  // As rollBack decides, on the bytes in memory.
  char* bytes = image_.get();
  Undo what = Undo::kCut;
  decideUndo(rec, true,
             [bytes](uint64_t off, uint64_t len, uint32_t want, bool* yes) {
               *yes = crc32(bytes + off, len) == want;
               return Status::OK();
             },
             &what);
  if (what == Undo::kRestore) std::memmove(bytes + rec.pos, bytes + rec.copyOff, rec.tailLen);
  size_ = what == Undo::kKeepNew ? rec.copyOff : rec.oldSize;
  imageSize_ = size_;
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
  parseLineInto(std::string_view(image_.get(), std::min(len, kMaxLineChars)), &header_);
}

bool DBHelper::ensureWhole() {
  if (status_.ok() && !missing_ && !whole_ && !streamed_) status_ = readAll();
  return status_.ok() && !missing_;
}

bool DBHelper::scanFromStart(int64_t want, Scan* out) {
  *out = Scan();
  if (!ensureWhole() || dataStart_ == std::string_view::npos) return false;
  if (whole_ && cached_ != nullptr) {
    // The index finds the row at most kRowStride - 1 rows before; the scan goes the rest.
    const auto& starts = cached_->rowStarts();
    const size_t k = static_cast<size_t>(std::min<int64_t>(want / CachedTable::kRowStride,
                                                            static_cast<int64_t>(starts.size()) - 1));
    const int64_t skipped = static_cast<int64_t>(k) * CachedTable::kRowStride;
    *out = scanRows(image_.get(), imageSize_, starts[k], want - skipped);
    out->rows += skipped;
    return true;
  }
  if (whole_) {
    *out = scanRows(image_.get(), imageSize_, dataStart_, want);
    return true;
  }
  status_ = scanFile(file_, dataStart_, size_, want, streamChunk(2u << 20), out);
  return status_.ok();
}

int32_t DBHelper::getNumRows() {
  if (numRows_ < 0 && cached_ != nullptr && whole_) {
    const int64_t rows = cached_->rowCount();
    if (rows <= std::numeric_limits<int32_t>::max()) numRows_ = static_cast<int32_t>(rows);
  }
  if (numRows_ < 0) {
    Scan r;
    if (!scanFromStart(std::numeric_limits<int64_t>::max(), &r)) return 0;
    if (r.rows > std::numeric_limits<int32_t>::max()) {
      status_ = Status::Overflow("table " + filePath_ + " has " + std::to_string(r.rows) +
                                   " rows, more than 2147483647 (the most an int can count)");
      return 0;
    }
    numRows_ = static_cast<int32_t>(r.rows);
  }
  return numRows_;
}

bool DBHelper::locateRow(int32_t index, std::string_view* line) {
  Scan r;
  if (index < 1 || !scanFromStart(index - 1, &r)) return false;
  if (r.rows < index - 1 || r.next >= size_) return false;
  const char* d = image_.get();
  size_t b = static_cast<size_t>(r.next);
  size_t n = imageSize_;
  if (!whole_) {
    size_t got = 0;
    status_ = file_.ReadAt(r.next, rowBuf_, sizeof rowBuf_, &got);
    if (!status_.ok()) return false;
    d = rowBuf_;
    b = 0;
    n = got;
  }
  size_t end = 0;
  const size_t l = lineAt(d, n, b, &end);
  if (l > kMaxLineChars) return false;
  *line = std::string_view(d + b, l);
  return true;
}

DataRow DBHelper::dataRowAt(int32_t index) {
  std::string_view line;
  if (locateRow(index, &line)) return parseLine(line);
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

}  // namespace dbhelper
