#include "dbhelper/table_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dbhelper/table_writer.h"

namespace dbhelper {

namespace {

// Images up to this size are searched whole for a NUL that a racing truncation leaves;
// larger ones only at their end, where it most often is.
constexpr size_t kNulSearchBytes = 64u << 10;

}  // namespace

void TableImage::reset() {
  extent_ = Extent::kNone;
  image_.reset();
  cached_.reset();
  proof_ = Snapshot();
  imageSize_ = 0;
  end_.size = 0;
  lastAt_ = UINT64_MAX;
  header_.count = 0;
  dataStart_ = std::string_view::npos;
  numRows_ = -1;
}

Status TableImage::readAll(bool lookForNul, bool* changed) {
  cached_.reset();
  proof_ = Snapshot();
  *changed = false;
  // The size from fstat is a hint: another program may change the file without our
  // lock, so read until a short read shows the end.
  if (end_.size > options_.imageLimit) {
    extent_ = Extent::kStreamed;
    return readEdges();
  }
  // Room past the end for appends of ours, should the image be cached (withRowAppended).
  size_t cap = static_cast<size_t>(end_.size) + std::max<size_t>(kPage, static_cast<size_t>(end_.size) / 8);
  auto buf = std::make_shared_for_overwrite<char[]>(cap);
  size_t total = 0;
  for (;;) {
    size_t got = 0;
    Status s = file_.ReadAt(total, buf.get() + total, cap - total, &got);
    if (!s.ok()) return s;
    total += got;
    if (total < cap) break;
    if (cap > options_.imageLimit) {  // it grew past the limit while we read
      extent_ = Extent::kStreamed;
      return readEdges();
    }
    *changed = true;  // several reads of a file that grew: they may see different states
    const size_t bigger = cap * 2;
    auto grown = std::make_shared_for_overwrite<char[]>(bigger);
    std::memcpy(grown.get(), buf.get(), total);
    buf = std::move(grown);
    cap = bigger;
  }
  const bool nul = total > 0 && (buf[total - 1] == '\0' ||
                                 (lookForNul && total <= kNulSearchBytes && std::memchr(buf.get(), '\0', total)));
  if (nul && !*changed) {
    // A read that races another program's truncation can copy the page while the kernel
    // zeroes it past the new end: table text holds no NUL, so look whether it shrank.
    uint64_t now = 0;
    FileId id;
    Status s = file_.Stat(&now, &id);
    if (!s.ok()) return s;
    *changed = now != total;
  }
  image_ = std::move(buf);
  imageSize_ = total;
  imageCap_ = cap;
  end_.size = total;
  end_.lastByte = total > 0 ? image_[total - 1] : '\n';
  extent_ = Extent::kWhole;
  parseHeader();
  numRows_ = -1;
  return Status::OK();
}

Status TableImage::readEdges() {
  cached_.reset();
  proof_ = Snapshot();
  lastAt_ = UINT64_MAX;
  const bool streamed = extent_ == Extent::kStreamed;
  // One byte more than a page tells whether the page is the whole file; only a larger
  // file needs its size, asked under the lock, to find its end.
  auto head = std::make_shared_for_overwrite<char[]>(kPage + 1);
  imageCap_ = kPage + 1;
  size_t got = 0;
  Status s = file_.ReadAt(0, head.get(), kPage + 1, &got);
  if (!s.ok()) return s;
  image_ = std::move(head);
  if (got <= kPage && !(streamed && got > options_.imageLimit)) {
    imageSize_ = got;
    end_.size = got;
    end_.lastByte = got > 0 ? image_[got - 1] : '\n';
    extent_ = Extent::kWhole;
  } else {
    s = readEnd(got);
    if (!s.ok()) return s;
    imageSize_ = std::min<size_t>(got, kPage);
    extent_ = streamed ? Extent::kStreamed : Extent::kEdges;
  }
  parseHeader();
  numRows_ = -1;
  return Status::OK();
}

Status TableImage::readEnd(size_t got) {
  // The size seen before the lock is off by what other writers did meanwhile. A read of
  // the page from just before it finds the real end, and the bytes the undo record would
  // be, when the end moved by less than that; else the size is asked for.
  if (end_.size >= kUndoRecordSize) {
    char window[kPage];
    const uint64_t from = end_.size - kUndoRecordSize;
    size_t in = 0;
    Status s = file_.ReadAt(from, window, sizeof window, &in);
    if (!s.ok()) return s;
    if (in >= kUndoRecordSize && in < sizeof window) {
      end_.size = from + in;
      std::memcpy(last_, window + in - kUndoRecordSize, kUndoRecordSize);
      lastAt_ = end_.size;
    }
  }
  if (lastAt_ == UINT64_MAX) {
    FileId id;
    Status s = file_.Stat(&end_.size, &id);
    if (!s.ok()) return s;
  }
  if (end_.size > 0 && end_.size <= got) end_.lastByte = image_[end_.size - 1];  // else lastBytes() reads it
  return Status::OK();
}

bool TableImage::useFreshCached(const std::string& path, FileId* id) {
  // No descriptor, no lock: a reader needs neither when the image is proven fresh
  // (docs/cache.md, "Reads without opening the file").
  FileInfo named;
  if (!File::StatPath(path, &named, true, *options_.sys).ok() || named.size < options_.cacheMinBytes ||
      named.size > options_.imageLimit) {
    return false;
  }
  std::shared_ptr<const CachedTable> hit = TableCache::instance().find(named.id);
  Snapshot now;
  if (!hit || !snapshotByPath(named, *options_.sys, &now) || !provenUnchanged(hit->snap, now)) return false;
  *id = named.id;
  useCached(std::move(hit));
  return true;
}

void TableImage::useCached(std::shared_ptr<const CachedTable> table, const Snapshot* proof) {
  proof_ = proof != nullptr ? *proof : Snapshot();
  image_ = table->bytes;
  imageSize_ = table->size;
  imageCap_ = table->capacity;
  end_.size = table->size;
  end_.lastByte = end_.size > 0 ? image_[end_.size - 1] : '\n';
  extent_ = Extent::kWhole;
  parseHeader();
  cached_ = std::move(table);
}

void TableImage::offerToCache(const FileId& id, const Snapshot& snap) {
  auto table = std::make_shared<CachedTable>();
  table->bytes = image_;
  table->size = imageSize_;
  table->capacity = imageCap_;
  table->dataStart = dataStart_ == std::string_view::npos ? SIZE_MAX : dataStart_;
  table->snap = snap;
  if (TableCache::instance().put(id, table)) {
    cached_ = std::move(table);
    proof_ = snap;
  }  // else no index either
}

Status TableImage::lastBytes(char out[kUndoRecordSize]) {
  if (whole()) {
    std::memcpy(out, image_.get() + end_.size - kUndoRecordSize, kUndoRecordSize);
    return Status::OK();
  }
  if (lastAt_ == end_.size) {
    std::memcpy(out, last_, kUndoRecordSize);
  } else {
    size_t got = 0;
    Status s = file_.ReadAt(end_.size - kUndoRecordSize, out, kUndoRecordSize, &got);
    if (!s.ok()) return s;
    if (got != kUndoRecordSize) return Status::FromErrno("cannot read table", path_, EIO);
  }
  end_.lastByte = out[kUndoRecordSize - 1];
  return Status::OK();
}

void TableImage::showUndone(const UndoRecord& rec) {
  // As rollBack decides, on the bytes in memory.
  char* bytes = image_.get();
  Undo what = Undo::kCut;
  auto matches = [bytes](uint64_t off, uint64_t len, uint32_t want, bool* yes) {
    *yes = crc32(bytes + off, len) == want;
    return Status::OK();
  };
  (void)decideUndo(rec, true, matches, &what);  // cannot fail: the bytes are in memory
  if (what == Undo::kRestore) std::memmove(bytes + rec.pos, bytes + rec.copyOff, rec.tailLen);
  end_.size = what == Undo::kKeepNew ? rec.copyOff : rec.oldSize;
  imageSize_ = end_.size;
  end_.lastByte = end_.size > 0 ? image_[end_.size - 1] : '\n';
  parseHeader();
}

void TableImage::noteWritten(const FileId& id) {
  if (extent_ == Extent::kWhole) extent_ = Extent::kEdges;
  numRows_ = -1;
  // Our own write makes the entry stale; its watch would say so too, but the memory
  // can go now.
  TableCache::instance().erase(id);
  cached_.reset();
  proof_ = Snapshot();
}

void TableImage::keepOwnWrite(const FileId& id, uint64_t pos, std::string_view line, uint64_t changes) {
  // One system call that appended one row to the proven image, every line of which is a
  // row and the last one ended: the table is the old rows and one more. Several calls
  // (an insertion) raise events that merge with each other and would hide another
  // program's among them, so those drop the image. The file must have grown by exactly
  // the line: what others appended was taken in otherwise.
  const CachedTable* old = cached_.get();
  const bool simple = old != nullptr && proof_.watch != 0 && changes == 1 && pos == old->size && old->size > 0 &&
                      old->bytes[old->size - 1] == '\n' && old->allLinesRows() && !line.empty() &&
                      line.back() == '\n' && std::memchr(line.data(), '\n', line.size() - 1) == nullptr &&
                      endedLineIsRow(line.data(), 0, line.size() - 1) && end_.size == old->size + line.size() &&
                      !outsiderSeenWithin(options_.outsiderQuiet);
  Snapshot after;
  if (!simple || !snapshotOpen(file_, &after)) {
    noteWritten(id);
    return;
  }
  if (!onlyOwnWrites(proof_, after, changes) || after.size != end_.size) {
    noteOutsider();  // caught changing the file while we held the lock
    noteWritten(id);
    return;
  }
  std::shared_ptr<const CachedTable> table = old->withRowAppended(line, after);
  TableCache::instance().put(id, table);
  useCached(std::move(table), &after);
}

std::string_view TableImage::bytes(uint64_t pos, uint64_t n) const {
  return std::string_view(image_.get() + pos, static_cast<size_t>(n));
}

void TableImage::parseHeader() {
  header_.count = 0;
  dataStart_ = std::string_view::npos;
  if (imageSize_ == 0) return;
  size_t end = 0;
  const size_t len = lineAt(image_.get(), imageSize_, 0, &end);
  // A header without LF ends the file: data row 1 would start at its end.
  if (len <= kMaxLineChars) dataStart_ = end < imageSize_ ? end + 1 : imageSize_;
  parseLineInto(std::string_view(image_.get(), std::min(len, kMaxLineChars)), &header_);
}

Status TableImage::ensureRows() {
  if (extent_ != Extent::kEdges) return Status::OK();
  bool changed = false;
  return readAll(false, &changed);
}

Status TableImage::scanFromStart(int64_t want, Scan* out, bool* any) {
  *out = Scan();
  *any = false;
  Status s = ensureRows();
  if (!s.ok() || extent_ == Extent::kNone || dataStart_ == std::string_view::npos) return s;
  *any = true;
  if (whole() && cached_ != nullptr) {
    // The index finds the row at most kRowStride - 1 rows before; the scan goes the rest.
    const auto& starts = cached_->rowStarts();
    const size_t k = static_cast<size_t>(std::min<int64_t>(want / CachedTable::kRowStride,
                                                            static_cast<int64_t>(starts.size()) - 1));
    const int64_t skipped = static_cast<int64_t>(k) * CachedTable::kRowStride;
    *out = scanRows(image_.get(), imageSize_, starts[k], want - skipped, options_.baselineScan);
    out->rows += skipped;
    return Status::OK();
  }
  if (whole()) {
    *out = scanRows(image_.get(), imageSize_, dataStart_, want, options_.baselineScan);
    return Status::OK();
  }
  return scanFile(file_, dataStart_, end_.size, want, options_.streamChunk(2u << 20), out, options_.baselineScan);
}

Status TableImage::countRows(int64_t* rows) {
  if (numRows_ < 0 && cached_ != nullptr && whole()) numRows_ = cached_->rowCount(options_.baselineScan);
  if (numRows_ < 0) {
    Scan r;
    bool any = false;
    Status s = scanFromStart(INT64_MAX, &r, &any);
    *rows = 0;
    if (!s.ok() || !any) return s;
    numRows_ = r.rows;
  }
  *rows = numRows_;
  return Status::OK();
}

Status TableImage::hiddenLine(int64_t* line) {
  *line = -1;
  if (cached_ != nullptr && whole() && cached_->allLinesRows()) return Status::OK();
  Status s = ensureRows();
  if (!s.ok() || extent_ == Extent::kNone || end_.size == 0) return s;
  if (dataStart_ == std::string_view::npos) {  // the header itself is too long
    *line = 0;
    return Status::OK();
  }
  Scan r;
  bool any = false;
  s = scanFromStart(INT64_MAX, &r, &any);
  if (!s.ok() || !any) return s;
  numRows_ = r.rows;
  if (r.next < end_.size) *line = r.rows + 1;
  return Status::OK();
}

Status TableImage::locateRow(int32_t index, std::string_view* line, bool* found) {
  *found = false;
  Scan r;
  bool any = false;
  if (index < 1) return Status::OK();
  Status s = scanFromStart(index - 1, &r, &any);
  if (!s.ok() || !any || r.rows < index - 1 || r.next >= end_.size) return s;
  const char* d = image_.get();
  size_t b = static_cast<size_t>(r.next);
  size_t n = imageSize_;
  if (!whole()) {
    size_t got = 0;
    s = file_.ReadAt(r.next, rowBuf_, sizeof rowBuf_, &got);
    if (!s.ok()) return s;
    d = rowBuf_;
    b = 0;
    n = got;
  }
  size_t end = 0;
  const size_t l = lineAt(d, n, b, &end);
  if (l > kMaxLineChars) return Status::OK();
  *line = std::string_view(d + b, l);
  *found = true;
  return Status::OK();
}

Status TableImage::linePosition(int32_t line, int64_t* pos) {
  *pos = -1;
  Status s = ensureRows();
  if (!s.ok() || extent_ == Extent::kNone) return s;
  if (line <= 0) {
    *pos = 0;
  } else if (line == 1) {
    if (dataStart_ != std::string_view::npos) *pos = static_cast<int64_t>(dataStart_);
  } else {
    Scan r;
    bool any = false;
    s = scanFromStart(line - 1, &r, &any);
    if (s.ok() && any && r.rows == line - 1) *pos = static_cast<int64_t>(r.next);
  }
  return s;
}

}  // namespace dbhelper
