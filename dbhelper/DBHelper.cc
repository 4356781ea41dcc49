#include "dbhelper/DBHelper.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

#include "dbhelper/freshness.h"
#include "dbhelper/kept_files.h"
#include "dbhelper/recovery.h"
#include "dbhelper/shared_storage.h"
#include "dbhelper/table_cache.h"
#include "dbhelper/visible_end.h"

namespace dbhelper {

DBHelper::DBHelper(std::string_view path, std::string* trace, Access access, const Options& options)
    : filePath_(path), options_(options), access_(access), trace_(trace) {
  trace_.line("DBHelper constructor");
  status_ = loadTable();
}

DBHelper::~DBHelper() {
  // Unlocking or closing first drops the file lock, so a thread woken by the in-process
  // lock never finds the file still locked by us. A writer's descriptor is kept for the
  // next write; one that cannot be unlocked is closed, which drops its lock too, unless
  // a child forked meanwhile shares the open file: then only unlocking does.
  // On shared storage, bytes still in the client (a repair's, a failed write's) go to the
  // server before another host can take the lock.
  if (file_.isOpen() && file_.shared() && file_.unsynced()) (void)file_.Sync();
  try {
    if (access_ != Access::kRead && file_.isOpen() && options_.keepFiles && file_.Unlock().ok()) {
      keepFile(filePath_, std::move(file_));
    }
  } catch (...) {  // no memory to keep it: closed below
  }
  if (lock_.forkedSinceAcquire() && file_.isOpen()) (void)file_.Unlock();  // closing drops it otherwise
  file_.Close();
  lock_.Release();
}

void DBHelper::Forget(const std::string& path, const Options& options) {
  forgetKeptFile(path);
  FileInfo named;
  if (!File::StatPath(path, &named, false, *options.sys).ok()) return;
  TableCache::instance().erase(named.id);
  forgetRowsToEnd(named.id);
  stopWatching(named.id, *options.sys);
}

Status DBHelper::loadTable() {
  if (access_ == Access::kRead && image_.useFreshCached(filePath_, &id_)) return Status::OK();
  // A leftover undo record is rolled back and the file read again; so is a file that
  // changed while it was read (another program writing without our lock). A few rounds
  // are plenty unless something keeps at it, which is then reported or answered as read.
  for (int attempt = 0; attempt < 6; ++attempt) {
    bool again = false;
    Status s = loadOnce(attempt, &again);
    if (!s.ok() || !again) return s;
  }
  return Status::FromErrno("cannot repair table", filePath_, EAGAIN);
}

Status DBHelper::openFile(int attempt, FileInfo* info, bool* kept) {
  const bool write = access_ != Access::kRead;
  // A writer reuses the descriptor an earlier write kept; lockFile checks that the path
  // still names its file.
  std::optional<File> keptFile;
  if (write && attempt == 0 && options_.keepFiles) keptFile = takeKeptFile(filePath_, *options_.sys);
  *kept = keptFile.has_value();
  if (*kept) {
    file_ = std::move(*keptFile);
    *info = file_.openInfo();  // its size is refreshed under the lock
    return Status::OK();
  }
  bool missing = false;
  Status s = File::Open(filePath_, write ? File::Mode::kReadWrite : File::Mode::kRead, &file_, &missing,
                        *options_.sys);
  missing_ = missing;
  if (s.ok() && !missing) *info = file_.openInfo();
  return s;
}

Status DBHelper::lockFile(int attempt, bool kept, FileInfo* info, bool* again) {
  const bool write = access_ != Access::kRead;
  Status s = file_.shared() ? checkSharedStorage(file_, options_.singleProcess) : Status::OK();
  if (s.ok()) s = lock_.Acquire(file_, id_, write, options_.lockTimeout, options_.singleProcess);
  if (!s.ok() || !write) return s;
  // A file renamed over the path since we opened it (an operator's edit, made under this
  // lock, while we waited for it or between our open and our lock) is the table now: a
  // write into the old one would be lost. A kept descriptor's file must also have kept its
  // permissions and owner.
  bool same = true;
  FileInfo named;
  s = file_.StillAt(&same, &named);
  if (!s.ok()) return s;
  if (same && (!kept || keptFileStillFits(file_.openInfo(), named))) {
    info->size = named.size;
    return s;
  }
  *again = attempt < 5;
  if (*again) return Status::OK();
  return Status::Changed("table " + filePath_ + " keeps being replaced by another program");
}

Status DBHelper::loadOnce(int attempt, bool* again) {
  lock_.Release();
  file_.Close();
  image_.reset();
  FileInfo info;
  bool kept = false;
  Status s = openFile(attempt, &info, &kept);
  if (!s.ok() || !file_.isOpen()) return s;  // a missing file is an empty table
  id_ = info.id;
  s = lockFile(attempt, kept, &info, again);
  if (!s.ok() || *again) return s;
  // The size seen before the lock may be stale: another writer may have appended, or
  // committed and dropped its undo record. Both reads below find the real end.
  image_.end().size = info.size;
  if (file_.shared()) {
    // Another host's writes reach this client's caches only through a refresh.
    s = file_.Refresh(&image_.end().size);
    if (!s.ok()) return s;
  }
  Snapshot snap;
  bool provable = false;
  if (useProvenCache(info.size, &snap, &provable)) return Status::OK();
  // An appender reads one page at the start (a file of one page is read whole). A reader
  // whose image is not proven by the cache looks for what a racing truncation leaves in
  // it; a writer finds such a truncation before its first write.
  bool changed = false;
  s = access_ == Access::kAppend ? image_.readEdges() : image_.readAll(access_ == Access::kRead && !provable, &changed);
  if (s.ok()) s = repairIfNeeded(again);
  if (!s.ok() || *again) return s;
  // A reader that could not repair shows the repaired table from memory, its file closed.
  if (provable && access_ != Access::kAppend && image_.whole() && file_.isOpen()) {
    // The sizes agree too: a truncation moves the size before its time stamps and its
    // event, so snapshots on both sides of a read that spans one can agree with each
    // other and not with what was read. (The path was checked before the read; which
    // file it names now does not change what this open file held.)
    Snapshot after;
    if (snapshotOpen(file_, &after) && provenUnchanged(snap, after) && image_.end().size == snap.size) {
      image_.offerToCache(id_, snap);
      return Status::OK();
    }
    changed = true;  // changed while we read: the image may mix two states
  }
  *again = changed && attempt < 5;
  return Status::OK();
}

bool DBHelper::useProvenCache(uint64_t size, Snapshot* snap, bool* provable) {
  *provable = false;
  if (size < options_.cacheMinBytes || size > options_.imageLimit) return false;
  std::shared_ptr<const CachedTable> hit = TableCache::instance().find(id_);
  // An appender reads no more than the file's edges, which costs less than a proof,
  // unless there is an image to keep up to date; its file is watched already then.
  if (access_ == Access::kAppend) {
    *provable = hit != nullptr && snapshotOpen(file_, snap);
  } else {
    *provable = takeSnapshot(filePath_, file_, snap);
  }
  if (!*provable) return false;
  if (hit != nullptr && provenUnchanged(hit->snap, *snap)) {
    image_.useCached(std::move(hit), snap);
    return true;
  }
  image_.end().size = snap->size;  // fresher than the size seen before the lock
  return false;
}

Status DBHelper::repairIfNeeded(bool* repaired) {
  *repaired = false;
  const uint64_t size = image_.end().size;
  if (size < kUndoRecordSize) return Status::OK();
  char last[kUndoRecordSize];
  Status s = image_.lastBytes(last);
  if (!s.ok()) return s;
  UndoRecord rec;
  if (!decodeUndoRecord(last, size, &rec)) {
    // What a power cut leaves of a durable write's first step; never looked for otherwise,
    // so a table that ends in NULs of its own is left alone.
    bool torn = false;
    if (options_.durable()) {
      s = findTornTrailer(file_, size, last, &torn, &rec);
      if (!s.ok()) return s;
    }
    if (!torn) return Status::OK();
  }
  if (access_ == Access::kRead) return repairAsReader(rec, repaired);
  s = rollBack(file_, rec);
  if (!s.ok()) return s;
  *repaired = repaired_ = true;
  return Status::OK();
}

Status DBHelper::repairAsReader(const UndoRecord& rec, bool* repaired) {
  lock_.Release();
  file_.Close();
  {
    std::string ignored;
    DBHelper writer(filePath_, &ignored, Access::kWrite, options_);
    if (writer.status().ok()) {
      *repaired = repaired_ = writer.repaired();
      return Status::OK();
    }
  }
  if (!image_.whole()) return Status::IOError("table " + filePath_ + " holds an unfinished write that cannot be rolled back");
  image_.showUndone(rec);
  return Status::OK();
}

Status DBHelper::readTableBytes(uint64_t pos, size_t n, char* out, size_t* got) const {
  *got = 0;
  if (!status_.ok()) return status_;
  const uint64_t size = image_.end().size;
  if (pos >= size || missing_) return Status::OK();
  const size_t want = static_cast<size_t>(std::min<uint64_t>(n, size - pos));
  if (image_.whole()) {
    const std::string_view b = image_.bytes(pos, want);
    std::copy(b.begin(), b.end(), out);
    *got = b.size();
    return Status::OK();
  }
  return file_.ReadAt(pos, out, want, got);
}

int32_t DBHelper::getNumRows() {
  if (!status_.ok()) return 0;
  int64_t rows = 0;
  status_ = image_.countRows(&rows);
  if (!status_.ok()) return 0;
  if (rows > std::numeric_limits<int32_t>::max()) {
    status_ = Status::Overflow("table " + filePath_ + " has " + std::to_string(rows) +
                               " rows, more than 2147483647 (the most an int can count)");
    return 0;
  }
  return static_cast<int32_t>(rows);
}

DataRow DBHelper::dataRowAt(int32_t index) {
  DataRow row;
  rowAt(index, &row);
  return row;
}

bool DBHelper::rowAt(int32_t index, DataRow* row) {
  std::string_view line;
  bool found = false;
  if (status_.ok() && index >= 1) status_ = image_.locateRow(index, &line, &found);
  if (found) parseLineInto(line, row);
  return found;
}

std::string DBHelper::headerName(int32_t position) const {
  const DataRow& header = image_.header();
  if (position < 1 || position > header.count) return std::string();
  return header.fields[position - 1];
}

int32_t DBHelper::findColumn(std::string_view name) const { return dbhelper::findColumn(image_.header(), name); }

std::string DBHelper::getRow(int32_t index) {
  if (index < 1) return std::string();
  return renderRow(image_.header(), dataRowAt(index));
}

Status DBHelper::parseRecordText(std::string_view text, DataRow* row) const {
  return parseRecord(text, image_.header(), row);
}

}  // namespace dbhelper
