// The two writes, append and insert at a line, and the crash-safe protocol that puts
// their bytes into the file (the undo record is described in recovery.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "dbhelper/DBHelper.h"
#include "dbhelper/durability.h"
#include "dbhelper/recovery.h"
#include "dbhelper/row_scan.h"

namespace dbhelper {

namespace {

std::string rowLine(const DataRow& row, std::string_view before = {}) {
  size_t n = before.size() + kNewline.size() + static_cast<size_t>(row.count);
  for (int32_t i = 0; i < row.count; ++i) n += row.fields[i].size();
  std::string line;
  line.reserve(n);
  line += before;
  for (int32_t i = 0; i < row.count; ++i) {
    if (i > 0) line += '|';
    line += row.fields[i];
  }
  line += kNewline;
  return line;
}

// Bytes moved per system call when a tail is too large to hold in memory.
constexpr size_t kMoveChunk = 1u << 20;
// How far back from our bytes cutOwnBytesFrom() looks for where a truncation left the file.
constexpr uint64_t kLookBack = 1u << 20;

// When another program was last seen appending during one of our writes. While one is
// about, a write yields the processor before it looks at the size that its next system
// call relies on, so that it starts a fresh time slice: being preempted between the two
// would widen a window of a microsecond into a slice, and lines appended in it are lost.
// After a write of ours that held the file's lock it pauses instead (pauseIfOutsider).
std::atomic<int64_t> gOutsiderSeen{INT64_MIN / 2};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
void sawOutsider() { gOutsiderSeen.store(nowMs(), std::memory_order_relaxed); }
bool outsiderAbout() { return nowMs() - gOutsiderSeen.load(std::memory_order_relaxed) < 2000; }
void yieldIfOutsider() {
  if (outsiderAbout()) std::this_thread::yield();
}
// Before the commit looks at the size: our in-place write held the file's lock, and an
// append that waited for it now runs beside that look. Letting it finish first means the
// look sees its line and moves it, instead of the truncation cutting it off.
void pauseIfOutsider() {
  if (outsiderAbout()) std::this_thread::sleep_for(std::chrono::microseconds(20));
}

// After another program's line landed under our undo record. Cutting the record off held
// the file's lock, and that program's next append, which waited for it, now runs beside our
// next look at the size: unless we let it finish first, it lands under the next record too,
// attempt after attempt. Returns false, without waiting, once the write has tried often
// enough.
bool backOffAfterIntrusion(int attempt) {
  if (attempt >= 32) return false;
  std::this_thread::sleep_for(std::chrono::microseconds(20 << std::min(attempt, 7)));
  return true;
}

Status keepsGrowing(const std::string& path) {
  return Status::IOError("table " + path + " keeps growing: another program appends to it during every write");
}

std::atomic<SyncMode> gSyncMode{SyncMode::kOff};

bool durable() { return gSyncMode.load(std::memory_order_relaxed) == SyncMode::kFull; }

}  // namespace

void SetSyncMode(SyncMode mode) { gSyncMode.store(mode, std::memory_order_relaxed); }
SyncMode syncMode() { return gSyncMode.load(std::memory_order_relaxed); }

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
  if (row.count == 0) return missing_ ? File::CreateIfMissing(filePath_, durable()) : Status::OK();
  if (missing_) return Status::InvalidArgument("the table has no header line");
  // An unterminated last line is ended first.
  const std::string line = rowLine(row, size_ > 0 && lastByte_ != '\n' ? kNewline : std::string_view());
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
  traceLine("returning pos ", pos);
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
  traceLine("storerest:  first value of buffer is: ", std::string_view(&first, 1));
  traceLine("storerest:  last value of buffer is: ", std::string_view(&last, 1));
  return rest;
}

Status DBHelper::insertRowAtLine(const DataRow& row, int32_t line) {
  if (!status_.ok()) return status_;
  const int64_t pos = findLinePosition(line);
  if (!status_.ok()) return status_;
  if (pos < 0) {
    if (dataStart_ == std::string_view::npos) {  // empty, or a header too long to be one
      return Status::OutOfRange("line " + std::to_string(line) + " cannot take a row: the table has no header line for rows to follow");
    }
    const int32_t rows = getNumRows();
    if (!status_.ok()) return status_;
    return Status::OutOfRange("line " + std::to_string(line) + " is past the end of the table (the last line you can insert at is " +
                              std::to_string(static_cast<int64_t>(rows) + 1) + ")");
  }
  traceLine("before getsizeofremaining");
  const int64_t size = getSizeOfRemaining(pos);
  traceLine("before malloc");
  traceLine("before storerest");
  const std::string_view rest = storeRest(pos, size);
  if (!status_.ok()) return status_;
  traceLine("seeking to position ", pos);
  const bool joinsLast = static_cast<uint64_t>(pos) == size_ && size_ > 0 && lastByte_ != '\n';
  for (int32_t i = 0; i + 1 < row.count; ++i) traceLine("datarow[i] is ", row.fields[i]);
  const std::string text = row.count > 0 ? rowLine(row, joinsLast ? kNewline : std::string_view()) : std::string();
  traceLine("pos to write rest of file is ", pos + static_cast<int64_t>(text.size()));
  if (text.empty()) return Status::OK();
  if (tailInFile_) return writeRestStreamed(static_cast<uint64_t>(pos), text);
  return writeRest(static_cast<uint64_t>(pos), text, rest);
}

// The one place where the bytes of a write reach the file: `line` goes to `pos` and the
// old bytes from `pos` to the end (`rest`) follow it. On failure the file is as before,
// or carries an undo record that the next operation rolls back.
//
// Other programs may write the file without our lock. Lines they append before our
// first write become part of the tail (or, for an append, come before our line); lines
// they append later are kept by commit(). A file truncated under us is left alone: the
// size is checked before every write that would lengthen it again, since a truncation
// waits for our running write and then lands just after it.
Status DBHelper::writeRest(uint64_t pos, const std::string& lineIn, std::string_view restIn) {
  // An end without LF may be another program's line caught half-way (a write crossing a
  // page is seen a page at a time): that case takes the path that looks again.
  const bool lineEnded = size_ == 0 || lastByte_ == '\n';
  // A durable write is whole after a power cut only within one sector.
  const bool full = durable();
  const uint64_t atom = full ? kSector : kPage;
  if (restIn.empty() && pos == size_ && lineEnded && pos / atom == (size_ + lineIn.size() - 1) / atom) {
    // At the end as it is at the moment of the write, in one system call.
    const Slice slice{lineIn.data(), lineIn.size()};
    size_t written = 0;
    Status s = file_.WriteAt(File::kAtEnd, &slice, 1, &written);
    if (s.ok() && full) s = file_.Sync();
    if (!s.ok()) {
      if (written > 0) file_.Truncate(size_);
      return s;
    }
    noteWritten(size_ + lineIn.size(), lineIn.back());
    return Status::OK();
  }
  std::string line = lineIn;
  std::string grownRest;
  std::string_view rest = restIn;
  for (int attempt = 0;; ++attempt) {
    Status s = takeGrowth(&pos, &line, &rest, &grownRest);
    if (!s.ok()) return s;

    const uint64_t oldSize = size_;
    const uint64_t newSize = oldSize + line.size();
    const Slice whole[2] = {{line.data(), line.size()}, {rest.data(), rest.size()}};
    size_t written = 0;
    UndoRecord rec;
    rec.oldSize = oldSize;
    rec.pos = pos;
    rec.copyOff = newSize;
    rec.tailLen = rest.size();
    if (full) {
      // Written once, before the copy: the checksums tell how far the copy got.
      rec.sums = true;
      rec.copyCrc = crc32(rest.data(), rest.size());
      rec.newCrc = crc32(rest.data(), rest.size(), crc32(line.data(), line.size()));
    }
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
    // Ends the write with `record` in its place at the end, past the zeros between.
    auto endWith = [&](const Slice& record) {
      static constexpr char kZeros[kUndoRecordSize] = {};
      slices[count++] = Slice{kZeros, static_cast<size_t>(end - kUndoRecordSize - newSize - rest.size())};
      slices[count++] = record;
    };
    if (!full && oldSize / kPage == (end - 1) / kPage) {
      // Growth, copy and record all fall in one page: one write puts them there whole or
      // not at all, and a short write leaves a prefix without a valid record.
      rec.copyComplete = true;
      encodeUndoRecord(rec, raw);
      endWith(recSlice);
      s = file_.WriteAt(oldSize, slices, count, &written);
    } else {
      bool intruded = false;
      s = writeCopyUnderRecord(&rec, &intruded, [&](const Slice& complete, bool* recorded) {
        // A truncation before the copy is found after it, by checkStillOurs(), which cuts
        // our bytes off again; it can see where that left the file only within kLookBack.
        Status c = full || oldSize > kLookBack ? checkNotShrunk(end) : Status::OK();
        if (complete.size > 0) {
          // The record saying the copy is complete ends the same write: a write cut short
          // leaves a prefix, so it is there only once the copy is.
          endWith(complete);
          *recorded = true;
        }
        if (c.ok()) c = file_.WriteAt(oldSize, slices, count, &written);
        return c;
      });
      if (s.ok() && intruded) {
        if (backOffAfterIntrusion(attempt)) continue;
        return keepsGrowing(filePath_);
      }
    }
    if (s.ok()) s = checkStillOurs(end, oldSize);
    // An append has no copy, and the write above already put its line in place.
    const bool grownInPlace = full && rest.empty() && pos == oldSize;
    if (s.ok() && full && !grownInPlace) s = file_.Sync();  // the copy on the disk before the overwrite
    if (!s.ok()) {
      if (s.errnoValue() != 0) file_.Truncate(oldSize);  // nothing below oldSize was touched yet
      return s;
    }
    if (!grownInPlace) s = file_.WriteAt(pos, whole, 2, &written);
    // The new bytes on the disk before the commit drops their copy. The commit itself is
    // not synced: after a power cut the record finds them whole and keeps them.
    if (s.ok() && full) s = file_.Sync();
    if (s.ok()) s = commit(end, newSize);
    if (!s.ok() && truncatedUnder_) cutOwnBytesFrom(pos);
    if (!s.ok() && s.errnoValue() != 0) {
      // Put back what the overwrite changed, from the copy in memory; when this fails
      // too, the record stays for the next operation.
      size_t w = 0;
      const Slice back{rest.data(), rest.size()};
      Status u = rest.empty() ? Status::OK() : file_.WriteAt(pos, &back, 1, &w);
      // Durable: a power cut must not keep the truncation and lose what was put back.
      if (u.ok() && full && !rest.empty()) u = file_.Sync();
      if (u.ok()) file_.Truncate(oldSize);
    }
    if (!s.ok()) return s;
    noteWritten(newSize, line.back());
    return Status::OK();
  }
}

Status DBHelper::writeRestStreamed(uint64_t pos, const std::string& lineIn) {
  std::string line = lineIn;
  std::string_view rest;
  for (int attempt = 0;; ++attempt) {
    Status s = takeGrowth(&pos, &line, &rest, nullptr);
    if (!s.ok()) return s;
    const uint64_t oldSize = size_;
    const uint64_t newSize = oldSize + line.size();
    UndoRecord rec;
    rec.oldSize = oldSize;
    rec.pos = pos;
    rec.copyOff = newSize;
    rec.tailLen = oldSize - pos;
    const uint64_t end = rec.fileEnd();
    const size_t chunk = streamChunk(kMoveChunk);
    auto buf = std::make_unique_for_overwrite<char[]>(chunk);
    // Moves `len` bytes from `from` to `to` through the buffer; the ranges do not overlap.
    // Durable: checksums of the copy and of the new bytes, taken as the copy is made.
    const bool full = durable();
    uint32_t copyCrc = 0;
    uint32_t newCrc = crc32(line.data(), line.size());
    auto move = [&](uint64_t from, uint64_t to, uint64_t len, bool sum) {
      for (uint64_t done = 0; done < len;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, chunk));
        size_t got = 0;
        Status st = checkNotShrunk(end);
        if (st.ok()) st = file_.ReadAt(from + done, buf.get(), n, &got);
        if (st.ok() && sum) {
          copyCrc = crc32(buf.get(), n, copyCrc);
          newCrc = crc32(buf.get(), n, newCrc);
        }
        const Slice slice{buf.get(), n};
        size_t written = 0;
        if (st.ok()) st = file_.WriteAt(to + done, &slice, 1, &written);
        if (!st.ok()) return st;
        done += n;
      }
      return Status::OK();
    };

    bool intruded = false;
    s = writeCopyUnderRecord(&rec, &intruded, [&](const Slice&, bool*) {
      Status st = move(pos, rec.copyOff, rec.tailLen, full);
      rec.sums = full;
      rec.copyCrc = copyCrc;
      rec.newCrc = full ? newCrc : 0;
      return st;
    });
    if (s.ok() && intruded) {
      if (backOffAfterIntrusion(attempt)) continue;
      return keepsGrowing(filePath_);
    }
    if (s.ok()) s = checkStillOurs(end, oldSize);
    if (s.ok() && full) s = file_.Sync();  // as in writeRest
    if (!s.ok()) {
      if (s.errnoValue() != 0) file_.Truncate(oldSize);  // nothing below oldSize was touched yet
      return s;
    }
    const Slice lineSlice{line.data(), line.size()};
    size_t written = 0;
    s = file_.WriteAt(pos, &lineSlice, 1, &written);
    // The tail moves down from the copy, so the order of the chunks does not matter.
    if (s.ok()) s = move(rec.copyOff, pos + line.size(), rec.tailLen, false);
    if (s.ok() && full) s = file_.Sync();
    if (s.ok()) s = commit(end, newSize);
    if (!s.ok() && truncatedUnder_) cutOwnBytesFrom(pos);
    if (!s.ok()) {
      // The old table comes back even when the new one is whole: the call reports failure.
      // When this fails too, the record stays.
      if (s.errnoValue() != 0) rollBack(file_, rec, false);
      return s;
    }
    noteWritten(newSize, line.back());
    return Status::OK();
  }
}

template <typename Copy>
Status DBHelper::writeCopyUnderRecord(UndoRecord* rec, bool* intruded, Copy copy) {
  // The record goes to the far end first: when the file cannot grow that far nothing
  // else has been touched, and every later write lands below it. It says the copy is
  // complete only once it is.
  const uint64_t end = rec->fileEnd();
  char raw[kUndoRecordSize];
  const Slice recSlice{raw, sizeof raw};
  // With checksums known up front the record is written once, complete: the checksums
  // tell how far the copy got. Otherwise it says the copy is complete only once it is.
  const bool once = rec->sums;
  size_t written = 0;
  rec->copyComplete = once;
  encodeUndoRecord(*rec, raw);
  Status s = file_.WriteAt(end - kUndoRecordSize, &recSlice, 1, &written);
  if (s.ok()) s = claimEnd(rec->oldSize, end, intruded);
  if (!s.ok() || *intruded) return s;
  // Durable: the record on the disk before the bytes it describes, or a power cut could
  // leave them past the table's end with nothing to say where that end was.
  if (durable()) s = file_.Sync();
  // `copy` may end its last write with the record saying the copy is complete (a torn
  // buffered write is a prefix, so the record lands only after the copy); else it goes
  // in a write of its own. The caller checks the size after either.
  char done[kUndoRecordSize];
  auto encodeComplete = [&] {
    UndoRecord complete = *rec;
    complete.copyComplete = true;
    encodeUndoRecord(complete, done);
    return Slice{done, once ? 0 : sizeof done};
  };
  bool recorded = false;
  if (s.ok()) s = copy(encodeComplete(), &recorded);
  if (!s.ok() || once || recorded) return s;
  s = checkNotShrunk(end);
  if (!s.ok()) return s;
  // Encoded again: a copy that streams the tail sets the checksums as it reads it.
  const Slice doneSlice = encodeComplete();
  rec->copyComplete = true;
  return file_.WriteAt(end - kUndoRecordSize, &doneSlice, 1, &written);
}

void DBHelper::noteWritten(uint64_t newSize, char lastByte) {
  // The image no longer matches the file; later reads through this object load it again.
  size_ = newSize;
  lastByte_ = lastByte;
  whole_ = false;
  numRows_ = -1;
  dropCached();
}

Status DBHelper::claimEnd(uint64_t oldSize, uint64_t end, bool* intruded) {
  // Right after the record, [oldSize, end - 64) is a hole. Lines that another program
  // appended since takeGrowth() looked start at oldSize: cut our record off them, and
  // start over with those lines as part of the table.
  *intruded = false;
  const uint64_t hole = end - kUndoRecordSize;
  char probe[512];
  for (uint64_t at = oldSize; at < hole;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof probe, hole - at));
    size_t got = 0;
    Status s = file_.ReadAt(at, probe, n, &got);
    if (!s.ok()) return s;
    const void* nul = std::memchr(probe, '\0', got);
    if (nul != nullptr || got < n) {
      const uint64_t len = at + (nul ? static_cast<size_t>(static_cast<const char*>(nul) - probe) : got) - oldSize;
      if (len == 0) return Status::OK();
      sawOutsider();
      *intruded = true;
      pauseIfOutsider();
      return cutBackKeepingAppends(end, oldSize + len);
    }
    at += got;
  }
  *intruded = true;  // lines fill the whole space: our record is past them
  pauseIfOutsider();
  return cutBackKeepingAppends(end, hole);
}

Status DBHelper::takeGrowth(uint64_t* pos, std::string* line, std::string_view* rest, std::string* restBuf) {
  // Read what was appended since our read: it belongs to the tail, or comes before an
  // appended line. A streamed tail stays in the file and simply grows. The size is looked
  // at again after every copy, so the last look comes right before the first write.
  yieldIfOutsider();
  for (int round = 0; round < 64; ++round) {
    uint64_t size = 0;
    FileId id;
    Status s = file_.Stat(&size, &id);
    if (!s.ok()) return s;
    if (size < size_) return Status::IOError("table " + filePath_ + " was truncated by another program during the write");
    const bool append = *pos == size_;
    if (size == size_) {
      if (!append || size == 0 || lastByte_ == '\n' || size % kPage != 0 || round >= 3) return Status::OK();
      std::this_thread::yield();  // let a write that is half-way across a page finish
      continue;
    }
    sawOutsider();
    if (append) {
      char last = 0;
      size_t got = 0;
      s = file_.ReadAt(size - 1, &last, 1, &got);
      if (!s.ok()) return s;
      // Our line starts a line of its own: it begins with a line end only where the
      // file's last line has none.
      const bool opens = line->compare(0, kNewline.size(), kNewline) == 0 && line->size() > kNewline.size();
      if (last == '\n' && opens) line->erase(0, kNewline.size());
      if (last != '\n' && !opens) line->insert(0, kNewline);
      lastByte_ = last;
      *pos = size;
    } else if (restBuf != nullptr) {
      if (size - size_ > imageLimit()) {
        return Status::IOError("table " + filePath_ + " grew by more than " + std::to_string(imageLimit()) +
                               " bytes during the write");
      }
      if (rest->data() != restBuf->data()) restBuf->assign(rest->data(), rest->size());
      const size_t have = restBuf->size();
      restBuf->resize(have + static_cast<size_t>(size - size_));
      size_t got = 0;
      s = file_.ReadAt(size_, restBuf->data() + have, static_cast<size_t>(size - size_), &got);
      if (s.ok() && got != size - size_) s = Status::IOError("table " + filePath_ + " was truncated by another program during the write");
      if (!s.ok()) return s;
      *rest = *restBuf;
      lastByte_ = restBuf->back();
    }
    size_ = size;
  }
  return keepsGrowing(filePath_);
}

Status DBHelper::checkNotShrunk(uint64_t expect) {
  uint64_t size = 0;
  FileId id;
  Status s = file_.Stat(&size, &id);
  if (s.ok() && size < expect) {
    truncatedUnder_ = true;
    s = Status::IOError("table " + filePath_ + " was truncated by another program during the write; it is left as that program left it");
  }
  return s;
}

Status DBHelper::checkStillOurs(uint64_t end, uint64_t oldSize) {
  if (oldSize == 0) return checkNotShrunk(end);
  // One read of the table's old last byte tells both ways a truncation can have come: cut
  // below it, the byte is gone; waited for our last write, which then lengthened the file
  // again, the size looks right and the byte is a hole. (A cut between oldSize and `end`
  // is found by the commit, which looks at the size.)
  char last = 0;
  size_t got = 0;
  Status s = file_.ReadAt(oldSize - 1, &last, 1, &got);
  if (!s.ok()) return s;
  if (got == 1 && last == lastByte_) return Status::OK();
  if (got == 1 && !cutOwnBytesFrom(oldSize)) return Status::OK();  // no hole: not truncated after all
  truncatedUnder_ = true;
  return Status::IOError("table " + filePath_ + " was truncated by another program during the write; it is left as that program left it");
}

bool DBHelper::cutOwnBytesFrom(uint64_t pos) {
  // The in-place write landed in a file that another program had just truncated, and
  // lengthened it again: [their bytes][a hole up to pos][ours]. Cut back to where the
  // hole starts, which is where that program left the file.
  const size_t n = static_cast<size_t>(std::min<uint64_t>(pos, kLookBack));
  std::string before(n, '\0');
  size_t got = 0;
  if (!file_.ReadAt(pos - n, before.data(), n, &got).ok() || got != n) return false;
  size_t keep = n;
  while (keep > 0 && before[keep - 1] == '\0') --keep;
  if (keep == n) return false;  // no hole before our bytes: the truncation came after them
  file_.Truncate(pos - n + keep);
  return true;
}

Status DBHelper::cutBackKeepingAppends(uint64_t end, uint64_t keep, const uint64_t* knownSize) {
  // Only a line appended between the last look and the truncation, a microsecond apart,
  // is lost. Lines are moved only while they stay below the record, so that a kill in the
  // middle still finds it whole.
  uint64_t moved = 0;  // bytes from `end` on already at `keep`
  std::string extra;
  for (int round = 0; round < 64; ++round) {
    uint64_t size = 0;
    if (round == 0 && knownSize != nullptr) {
      size = *knownSize;
    } else {
      FileId id;
      Status s = file_.Stat(&size, &id);
      if (!s.ok()) return s;
    }
    if (size < end) return checkNotShrunk(end);
    if (size - end == moved || size - end > kMoveChunk || keep + (size - end) > end - kUndoRecordSize) break;
    sawOutsider();
    extra.resize(static_cast<size_t>(size - end));
    size_t got = 0;
    Status s = file_.ReadAt(end + moved, extra.data() + moved, extra.size() - static_cast<size_t>(moved), &got);
    if (!s.ok()) return s;
    const Slice slice{extra.data() + moved, got};
    size_t written = 0;
    s = file_.WriteAt(keep + moved, &slice, 1, &written);
    if (!s.ok()) return s;
    moved += got;
  }
  // Durable: the moved lines on the disk before the truncation drops where they were.
  if (moved > 0 && durable()) {
    Status s = file_.Sync();
    if (!s.ok()) return s;
  }
  return file_.Truncate(keep + moved);
}

Status DBHelper::commit(uint64_t end, uint64_t newSize) {
  // One stat of the path tells both whether another program renamed a file over it and,
  // when none did, how long ours is now.
  pauseIfOutsider();
  bool same = true;
  uint64_t size = 0;
  Status s = file_.StillAt(&same, &size);
  if (s.ok()) s = cutBackKeepingAppends(end, newSize, same ? &size : nullptr);  // drops the copy and the record
  if (!s.ok()) return s;
  if (!same) {
    return Status::IOError("table " + filePath_ + " was replaced by another program during the write; the row went to the old file");
  }
  return Status::OK();
}

}  // namespace dbhelper
