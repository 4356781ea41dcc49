#include "dbhelper/table_writer.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <thread>

#include "dbhelper/table_format.h"

namespace dbhelper {

namespace {

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
  return Status::Changed("table " + path + " keeps growing: another program appends to it during every write");
}
Status truncatedUnder(const std::string& path) {
  return Status::Changed("table " + path +
                         " was truncated by another program during the write; it is left as that program left it");
}

}  // namespace

void noteOutsider() { sawOutsider(); }
bool outsiderSeenWithin(std::chrono::milliseconds span) {
  return nowMs() - gOutsiderSeen.load(std::memory_order_relaxed) < span.count();
}

Status truncatedDuring(const std::string& path) {
  return Status::Changed("table " + path + " was truncated by another program during the write");
}

void TableWriter::enter(State next) {
  [[maybe_unused]] const bool allowed = [&] {
    switch (next) {
      case State::kAppending:
      case State::kRecording: return state_ == State::kIdle;
      case State::kIdle: return state_ == State::kRecording;  // our record cut off others' lines: again
      case State::kCopied: return state_ == State::kRecording;
      case State::kOverwriting: return state_ == State::kCopied;
      case State::kTruncated: return state_ == State::kOverwriting;
      case State::kCommitted: return state_ == State::kAppending || state_ == State::kOverwriting;
    }
    return false;
  }();
  assert(allowed);
  state_ = next;
}

Status TableWriter::fail(Status s) {
  // Best effort throughout: when undoing fails too, the record stays for the next
  // operation, and the caller reports `s` either way.
  const bool ours = s.code() != Status::Code::kChanged;
  switch (state_) {
    case State::kIdle:
    case State::kCommitted:
      break;
    case State::kAppending:
      if (appended_ > 0) (void)file_.Truncate(oldSize_);
      break;
    case State::kRecording:
    case State::kCopied:
      if (ours) (void)file_.Truncate(oldSize_);  // nothing below oldSize was touched yet
      break;
    case State::kOverwriting:
      if (ours) undo();
      break;
    case State::kTruncated:
      cutOwnBytesFrom(pos_);
      break;
  }
  return s;
}

Status TableWriter::writeRest(uint64_t pos, std::string line, Tail* tail, TableEnd* end) {
  state_ = State::kIdle;
  end_ = end;
  tail_ = tail;
  line_ = std::move(line);
  pos_ = pos;
  rest_ = held() ? tail->bytes : std::string_view();
  // An end without LF may be another program's line caught half-way (a write crossing a
  // page is seen a page at a time): that case takes the path that looks again. A durable
  // write is whole after a power cut only within one sector.
  const uint64_t atom = options_.durable() ? kSector : kPage;
  if (held() && rest_.empty() && pos == end->size && end->lineEnded() &&
      pos / atom == (end->size + line_.size() - 1) / atom) {
    return appendInOneWrite();
  }
  return writeUnderRecord();
}

Status TableWriter::appendInOneWrite() {
  // At the end as it is at the moment of the write, in one system call.
  oldSize_ = end_->size;
  enter(State::kAppending);
  const Slice slice{line_.data(), line_.size()};
  // On shared storage at the end found under the lock: the client's idea of the end
  // may be another host's writes behind.
  Status s = file_.WriteAt(file_.shared() ? oldSize_ : File::kAtEnd, &slice, 1, &appended_);
  if (s.ok() && options_.durable()) s = file_.Sync();
  if (!s.ok()) return fail(s);
  enter(State::kCommitted);
  end_->size += line_.size();
  end_->lastByte = line_.back();
  return Status::OK();
}

// Other programs may write the file without our lock. Lines they append before our
// first write become part of the tail (or, for an append, come before our line); lines
// they append later are kept by commit().
Status TableWriter::writeUnderRecord() {
  const bool full = options_.durable();
  for (int attempt = 0;; ++attempt) {
    Status s = takeGrowth();
    if (!s.ok()) return s;
    plan();
    bool intruded = false;
    enter(State::kRecording);
    s = held() ? copyHeld(&intruded) : copyStreamed(&intruded);
    if (s.ok() && intruded) {
      enter(State::kIdle);
      if (backOffAfterIntrusion(attempt)) continue;
      return keepsGrowing(path_);
    }
    if (s.ok()) {
      enter(State::kCopied);
      s = checkStillOurs();
    }
    // A durable append has no copy, and the write under the record put its line in place.
    const bool grownInPlace = full && held() && rest_.empty() && pos_ == oldSize_;
    if (s.ok() && full && !grownInPlace) s = file_.Sync();  // the copy on the disk before the overwrite
    if (!s.ok()) return fail(s);
    enter(State::kOverwriting);
    s = held() ? overwriteHeld(grownInPlace) : overwriteStreamed();
    // The new bytes on the disk before the commit drops their copy (a power cut before the
    // commit is on the disk finds them whole through the record, and keeps them).
    if (s.ok() && full) s = file_.Sync();
    if (s.ok()) s = commit();
    if (!s.ok()) return fail(s);
    end_->size = newSize_;
    end_->lastByte = line_.back();
    return Status::OK();
  }
}

void TableWriter::plan() {
  oldSize_ = end_->size;
  newSize_ = oldSize_ + line_.size();
  rec_ = UndoRecord();
  rec_.oldSize = oldSize_;
  rec_.pos = pos_;
  rec_.copyOff = newSize_;
  rec_.tailLen = held() ? rest_.size() : oldSize_ - pos_;
  if (held() && options_.durable()) {
    // Written once, before the copy: the checksums tell how far the copy got.
    rec_.sums = true;
    rec_.copyCrc = crc32(rest_.data(), rest_.size());
    rec_.newCrc = crc32(rest_.data(), rest_.size(), crc32(line_.data(), line_.size()));
  }
  fileEnd_ = rec_.fileEnd();
}

Status TableWriter::takeGrowth() {
  // Read what was appended since our read: it belongs to the tail, or comes before an
  // appended line. A tail in the file simply grows. The size is looked at again after
  // every copy, so the last look comes right before the first write.
  yieldIfOutsider();
  for (int round = 0; round < 64; ++round) {
    uint64_t size = 0;
    FileId id;
    Status s = file_.Stat(&size, &id);
    if (!s.ok()) return s;
    if (size < end_->size) return truncatedDuring(path_);
    const bool append = pos_ == end_->size;
    if (size == end_->size) {
      if (!append || size == 0 || end_->lastByte == '\n' || size % kPage != 0 || round >= 3) return Status::OK();
      std::this_thread::yield();  // let a write that is half-way across a page finish
      continue;
    }
    sawOutsider();
    size_t got = 0;
    if (append) {
      char last = 0;
      s = file_.ReadAt(size - 1, &last, 1, &got);
      if (!s.ok()) return s;
      // Our line starts a line of its own: it begins with a line end only where the
      // file's last line has none.
      const bool opens = line_.compare(0, kNewline.size(), kNewline) == 0 && line_.size() > kNewline.size();
      if (last == '\n' && opens) line_.erase(0, kNewline.size());
      if (last != '\n' && !opens) line_.insert(0, kNewline);
      end_->lastByte = last;
      pos_ = size;
    } else if (held()) {
      const uint64_t more = size - end_->size;
      if (more > options_.imageLimit) {
        return Status::Changed("table " + path_ + " grew by more than " + std::to_string(options_.imageLimit) +
                               " bytes during the write");
      }
      if (rest_.data() != grown_.data()) grown_.assign(rest_.data(), rest_.size());
      const size_t have = grown_.size();
      grown_.resize(have + static_cast<size_t>(more));
      s = file_.ReadAt(end_->size, grown_.data() + have, static_cast<size_t>(more), &got);
      if (s.ok() && got != more) s = truncatedDuring(path_);
      if (!s.ok()) return s;
      rest_ = grown_;
      end_->lastByte = grown_.back();
    }
    end_->size = size;
  }
  return keepsGrowing(path_);
}

Status TableWriter::copyHeld(bool* intruded) {
  const bool full = options_.durable();
  // The space the table grows by, filled with its final bytes, then the copy of the tail.
  Slice slices[6];
  size_t count = 0;
  uint64_t skip = oldSize_ - pos_;  // bytes of line and tail that land below oldSize
  for (const std::string_view part : {std::string_view(line_), rest_}) {
    if (skip >= part.size()) {
      skip -= part.size();
      continue;
    }
    slices[count++] = Slice{part.data() + skip, part.size() - static_cast<size_t>(skip)};
    skip = 0;
  }
  slices[count++] = Slice{rest_.data(), rest_.size()};
  // Ends the write with `record` in its place at the end, past the zeros between.
  auto endWith = [&](const Slice& record) {
    static constexpr char kZeros[kUndoRecordSize] = {};
    slices[count++] = Slice{kZeros, static_cast<size_t>(fileEnd_ - kUndoRecordSize - newSize_ - rest_.size())};
    slices[count++] = record;
  };
  size_t written = 0;
  if (!full && oldSize_ / kPage == (fileEnd_ - 1) / kPage) {
    // Growth, copy and record all fall in one page: one write puts them there whole or
    // not at all, and a short write leaves a prefix without a valid record.
    char raw[kUndoRecordSize];
    rec_.copyComplete = true;
    encodeUndoRecord(rec_, raw);
    endWith(Slice{raw, sizeof raw});
    return file_.WriteAt(oldSize_, slices, count, &written);
  }
  return copyUnderRecord(intruded, [&](const Slice& complete, bool* recorded) {
    // A truncation before the copy is found after it, by checkStillOurs(), which cuts our
    // bytes off again; it can see where that left the file only within kLookBack.
    Status c = full || oldSize_ > kLookBack ? checkNotShrunk(fileEnd_) : Status::OK();
    if (complete.size > 0) {
      // The record saying the copy is complete ends the same write: a write cut short
      // leaves a prefix, so it is there only once the copy is.
      endWith(complete);
      *recorded = true;
    }
    if (c.ok()) c = file_.WriteAt(oldSize_, slices, count, &written);
    return c;
  });
}

Status TableWriter::copyStreamed(bool* intruded) {
  // Durable: checksums of the copy and of the new bytes, taken as the copy is made.
  const bool full = options_.durable();
  copyCrc_ = 0;
  newCrc_ = crc32(line_.data(), line_.size());
  return copyUnderRecord(intruded, [&](const Slice&, bool*) {
    Status st = moveBytes(pos_, rec_.copyOff, rec_.tailLen, full);
    rec_.sums = full;
    rec_.copyCrc = copyCrc_;
    rec_.newCrc = full ? newCrc_ : 0;
    return st;
  });
}

template <typename Copy>
Status TableWriter::copyUnderRecord(bool* intruded, Copy copy) {
  // The record goes to the far end first: when the file cannot grow that far nothing
  // else has been touched, and every later write lands below it. With checksums known
  // up front it is written once, complete: they tell how far the copy got. Otherwise it
  // says the copy is complete only once it is.
  char raw[kUndoRecordSize];
  const Slice recSlice{raw, sizeof raw};
  const bool once = rec_.sums;
  size_t written = 0;
  rec_.copyComplete = once;
  encodeUndoRecord(rec_, raw);
  Status s = file_.WriteAt(fileEnd_ - kUndoRecordSize, &recSlice, 1, &written);
  if (s.ok()) s = claimEnd(intruded);
  if (!s.ok() || *intruded) return s;
  // Durable: the record on the disk before the bytes it describes, or a power cut could
  // leave them past the table's end with nothing to say where that end was.
  if (options_.durable()) s = file_.Sync();
  // `copy` may end its last write with the record saying the copy is complete (a torn
  // buffered write is a prefix, so the record lands only after the copy); else it goes
  // in a write of its own. The caller checks the size after either.
  char done[kUndoRecordSize];
  auto encodeComplete = [&] {
    UndoRecord complete = rec_;
    complete.copyComplete = true;
    encodeUndoRecord(complete, done);
    return Slice{done, once ? 0 : sizeof done};
  };
  bool recorded = false;
  if (s.ok()) s = copy(encodeComplete(), &recorded);
  if (!s.ok() || once || recorded) return s;
  s = checkNotShrunk(fileEnd_);
  if (!s.ok()) return s;
  // Encoded again: a copy that streams the tail sets the checksums as it reads it.
  const Slice doneSlice = encodeComplete();
  rec_.copyComplete = true;
  return file_.WriteAt(fileEnd_ - kUndoRecordSize, &doneSlice, 1, &written);
}

Status TableWriter::overwriteHeld(bool grownInPlace) {
  if (grownInPlace) return Status::OK();
  const Slice whole[2] = {{line_.data(), line_.size()}, {rest_.data(), rest_.size()}};
  size_t written = 0;
  return file_.WriteAt(pos_, whole, 2, &written);
}

Status TableWriter::overwriteStreamed() {
  const Slice lineSlice{line_.data(), line_.size()};
  size_t written = 0;
  Status s = file_.WriteAt(pos_, &lineSlice, 1, &written);
  // The tail moves down from the copy, so the order of the chunks does not matter.
  if (s.ok()) s = moveBytes(rec_.copyOff, pos_ + line_.size(), rec_.tailLen, false);
  return s;
}

Status TableWriter::revertCommit(Status s) {
  // The record and the copy are gone with the truncation: a held tail puts the old table
  // back from memory (unsynced, as the sync just failed); a streamed one cannot, and the
  // new table stays.
  if (!held()) return s;
  size_t w = 0;
  const Slice back{rest_.data(), rest_.size()};
  Status u = rest_.empty() ? Status::OK() : file_.WriteAt(pos_, &back, 1, &w);
  if (u.ok()) (void)file_.Truncate(oldSize_);
  return s;
}

void TableWriter::undo() {
  if (!held()) {
    // The old table comes back even when the new one is whole: the call reports failure.
    (void)rollBack(file_, rec_, false);
    return;
  }
  // Put back what the overwrite changed, from the copy in memory.
  size_t w = 0;
  const Slice back{rest_.data(), rest_.size()};
  Status u = rest_.empty() ? Status::OK() : file_.WriteAt(pos_, &back, 1, &w);
  // Durable: a power cut must not keep the truncation and lose what was put back.
  if (u.ok() && options_.durable() && !rest_.empty()) u = file_.Sync();
  if (u.ok()) (void)file_.Truncate(oldSize_);
}

Status TableWriter::moveBytes(uint64_t from, uint64_t to, uint64_t len, bool sum) {
  const size_t chunk = options_.streamChunk(kMoveChunk);
  if (moveBuf_ == nullptr) moveBuf_ = std::make_unique_for_overwrite<char[]>(chunk);
  for (uint64_t done = 0; done < len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, chunk));
    size_t got = 0;
    Status st = checkNotShrunk(fileEnd_);
    if (st.ok()) st = file_.ReadAt(from + done, moveBuf_.get(), n, &got);
    if (st.ok() && sum) {
      copyCrc_ = crc32(moveBuf_.get(), n, copyCrc_);
      newCrc_ = crc32(moveBuf_.get(), n, newCrc_);
    }
    const Slice slice{moveBuf_.get(), n};
    size_t written = 0;
    if (st.ok()) st = file_.WriteAt(to + done, &slice, 1, &written);
    if (!st.ok()) return st;
    done += n;
  }
  return Status::OK();
}

Status TableWriter::checkNotShrunk(uint64_t expect) {
  uint64_t size = 0;
  FileId id;
  Status s = file_.Stat(&size, &id);
  if (s.ok() && size < expect) {
    if (state_ == State::kOverwriting) enter(State::kTruncated);
    s = truncatedUnder(path_);
  }
  return s;
}

Status TableWriter::checkStillOurs() {
  if (oldSize_ == 0) return checkNotShrunk(fileEnd_);
  // One read of the table's old last byte tells both ways a truncation can have come: cut
  // below it, the byte is gone; waited for our last write, which then lengthened the file
  // again, the size looks right and the byte is a hole. (A cut between oldSize and the
  // end is found by the commit, which looks at the size.)
  char last = 0;
  size_t got = 0;
  Status s = file_.ReadAt(oldSize_ - 1, &last, 1, &got);
  if (!s.ok()) return s;
  if (got == 1 && last == end_->lastByte) return Status::OK();
  if (got == 1 && !cutOwnBytesFrom(oldSize_)) return Status::OK();  // no hole: not truncated after all
  return truncatedUnder(path_);
}

bool TableWriter::cutOwnBytesFrom(uint64_t pos) {
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
  (void)file_.Truncate(pos - n + keep);  // best effort: the caller reports the truncation
  return true;
}

Status TableWriter::claimEnd(bool* intruded) {
  // Right after the record, [oldSize, end - 64) is a hole. Lines that another program
  // appended since takeGrowth() looked start at oldSize: cut our record off them, and
  // start over with those lines as part of the table.
  *intruded = false;
  const uint64_t hole = fileEnd_ - kUndoRecordSize;
  char probe[512];
  for (uint64_t at = oldSize_; at < hole;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof probe, hole - at));
    size_t got = 0;
    Status s = file_.ReadAt(at, probe, n, &got);
    if (!s.ok()) return s;
    const void* nul = std::memchr(probe, '\0', got);
    if (nul != nullptr || got < n) {
      const uint64_t len = at + (nul ? static_cast<size_t>(static_cast<const char*>(nul) - probe) : got) - oldSize_;
      if (len == 0) return Status::OK();
      sawOutsider();
      *intruded = true;
      pauseIfOutsider();
      return cutBackKeepingAppends(oldSize_ + len);
    }
    at += got;
  }
  *intruded = true;  // lines fill the whole space: our record is past them
  pauseIfOutsider();
  return cutBackKeepingAppends(hole);
}

Status TableWriter::cutBackKeepingAppends(uint64_t keep, const uint64_t* knownSize) {
  // Only a line appended between the last look and the truncation, a microsecond apart,
  // is lost. Lines are moved only while they stay below the record, so that a kill in the
  // middle still finds it whole.
  const uint64_t end = fileEnd_;
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
  if (moved > 0 && options_.durable()) {
    Status s = file_.Sync();
    if (!s.ok()) return s;
  }
  return file_.Truncate(keep + moved);
}

Status TableWriter::commit() {
  // One stat of the path tells both whether another program renamed a file over it and,
  // when none did, how long ours is now.
  pauseIfOutsider();
  bool same = true;
  FileInfo named;
  Status s = file_.StillAt(&same, &named);
  if (s.ok()) s = cutBackKeepingAppends(newSize_, same ? &named.size : nullptr);  // drops the copy and the record
  if (!s.ok()) return s;
  enter(State::kCommitted);
  // Durable: the truncation on the disk before we return. The next write lands at the new
  // end, on top of where the record was; were the truncation still only in memory, a power
  // cut could leave that write over a torn record, which recovery can neither undo nor keep.
  if (options_.durable()) {
    Status synced = file_.Sync();
    if (!synced.ok()) return revertCommit(synced);
  }
  if (!same) {
    return Status::Changed("table " + path_ +
                           " was replaced by another program during the write; the row went to the old file");
  }
  return Status::OK();
}

}  // namespace dbhelper
