// The operator's tools (table_tools.h), apart from the checker (table_check.cc).
#include "dbhelper/table_tools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "dbhelper/DBHelper.h"
#include "dbhelper/file.h"
#include "dbhelper/table_format.h"

namespace dbhelper {

namespace {

constexpr size_t kChunk = 1u << 20;

// A file written beside `target` under a name of its own, which replaces `target` only
// once it is whole and on stable storage, and is removed if it never does.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (file_.isOpen()) file_.Close();
    if (!temp_.empty() && !committed_) (void)File::Remove(temp_);
  }

  Status Create(const std::string& target, const Options& options) {
    static std::atomic<uint64_t> counter{0};
    target_ = target;
    const size_t slash = target.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    // Unlike another process's: the clock's nanoseconds.
    const uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) % 1000000000;
    for (int attempt = 0; attempt < 16; ++attempt) {
      temp_ = dir + "." + name + "." + std::to_string(stamp) + "-" + std::to_string(counter++) + ".tmp";
      FileInfo info;
      if (File::StatPath(temp_, &info, false, *options.sys).ok()) continue;  // taken
      Status s = File::CreateIfMissing(temp_, false, *options.sys);
      bool missing = false;
      if (s.ok()) s = File::Open(temp_, File::Mode::kReadWrite, &file_, &missing, *options.sys);
      if (s.ok() && missing) s = Status::FromErrno("cannot create", temp_, ENOENT);
      if (!s.ok()) {
        temp_.clear();
        return Status::FromErrno("cannot write", target, s.errnoValue());
      }
      return s;
    }
    temp_.clear();
    return Status::FromErrno("cannot create a file beside", target, EEXIST);
  }

  Status Write(uint64_t at, const char* data, size_t n) {
    const Slice slice{data, n};
    size_t written = 0;
    Status s = n == 0 ? Status::OK() : file_.WriteAt(at, &slice, 1, &written);
    if (!s.ok()) return Status::FromErrno("cannot write", target_, s.errnoValue());
    size_ = std::max<uint64_t>(size_, at + n);
    return s;
  }
  Status Read(uint64_t at, char* out, size_t n, size_t* got) const { return file_.ReadAt(at, out, n, got); }
  Status TruncateTo(uint64_t size) {
    Status s = file_.Truncate(size);
    if (s.ok()) size_ = size;
    return s;
  }
  uint64_t size() const { return size_; }

  Status Sync() {
    Status s = synced_ == size_ ? Status::OK() : file_.Sync();
    if (s.ok()) synced_ = size_;
    return s;
  }

  // Syncs what was written since the last Sync(), gives the file the mode (and owner) of
  // `like`, and renames it over the target.
  Status Commit(const FileInfo& like, const Options& options) {
    Status s = Sync();
    file_.Close();
    if (s.ok()) s = File::Adopt(temp_, like);
    if (s.ok()) s = File::Rename(temp_, target_);
    if (!s.ok()) return s;
    committed_ = true;
    if (options.sys->dirSync(target_.c_str()) != 0) return Status::FromErrno("cannot sync the directory of", target_, errno);
    return Status::OK();
  }

 private:
  std::string target_;
  std::string temp_;
  File file_;
  uint64_t size_ = 0;
  uint64_t synced_ = UINT64_MAX;
  bool committed_ = false;
};

// Opens the table for `access`; a missing file is an error here, not an empty table.
Status openTable(const std::string& path, const Options& options, DBHelper::Access access,
                 std::unique_ptr<DBHelper>* out, std::string* trace) {
  *out = std::make_unique<DBHelper>(path, trace, access, options);
  if (!(*out)->status().ok()) return (*out)->status();
  if ((*out)->missing()) return Status::FromErrno("cannot open table", path, ENOENT);
  return Status::OK();
}

Status readAll(const DBHelper& table, std::string* bytes) {
  bytes->resize(static_cast<size_t>(table.tableSize()));
  size_t got = 0;
  Status s = table.readTableBytes(0, bytes->size(), bytes->data(), &got);
  if (s.ok() && got != bytes->size()) s = Status::IOError("the table shrank while it was read");
  return s;
}

// Where a copy of `table` compares unequal to the first `n` bytes of `copy`: `n` when
// it does not.
Status firstDifference(const DBHelper& table, const NewFile& copy, uint64_t n, uint64_t* at) {
  auto a = std::make_unique_for_overwrite<char[]>(kChunk);
  auto b = std::make_unique_for_overwrite<char[]>(kChunk);
  for (uint64_t done = 0; done < n;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, n - done));
    size_t ga = 0, gb = 0;
    Status s = table.readTableBytes(done, want, a.get(), &ga);
    if (s.ok()) s = copy.Read(done, b.get(), want, &gb);
    if (!s.ok()) return s;
    const size_t same = std::min(ga, gb);
    const auto diff = std::mismatch(a.get(), a.get() + same, b.get());
    if (diff.first != a.get() + same || same < want) {
      *at = done + static_cast<uint64_t>(diff.first - a.get());
      return Status::OK();
    }
    done += want;
  }
  *at = n;
  return Status::OK();
}

// Copies [from, to) of the table into `copy` at the same offsets.
template <typename ReadAt>
Status copyRange(ReadAt read, NewFile* copy, uint64_t from, uint64_t to) {
  auto buf = std::make_unique_for_overwrite<char[]>(kChunk);
  for (uint64_t at = from; at < to;) {
    size_t got = 0;
    Status s = read(at, buf.get(), static_cast<size_t>(std::min<uint64_t>(kChunk, to - at)), &got);
    if (!s.ok()) return s;
    if (got == 0) break;
    s = copy->Write(at, buf.get(), got);
    if (!s.ok()) return s;
    at += got;
  }
  return Status::OK();
}

bool endsLine(std::string_view text) { return text.empty() || text.back() == '\n'; }

std::string_view firstLine(std::string_view text) { return text.substr(0, text.find('\n')); }

}  // namespace

Status repairTable(const std::string& path, const Options& options, bool* repaired) {
  std::string trace;
  std::unique_ptr<DBHelper> table;
  Status s = openTable(path, options, DBHelper::Access::kWrite, &table, &trace);
  *repaired = table->repaired();
  return s;
}

Status listRows(const std::string& path, const Options& options, std::string* texts, int64_t* rows) {
  std::string trace;
  std::unique_ptr<DBHelper> table;
  Status s = openTable(path, options, DBHelper::Access::kRead, &table, &trace);
  if (!s.ok()) return s;
  const int32_t n = table->getNumRows();
  texts->clear();
  for (int32_t i = 1; i <= n && table->status().ok(); ++i) {
    *texts += table->getRow(i);
    *texts += '\n';
  }
  *rows = n;
  return table->status();
}

Status snapshotTable(const std::string& path, const Options& options, std::string* bytes) {
  std::string trace;
  std::unique_ptr<DBHelper> table;
  Status s = openTable(path, options, DBHelper::Access::kRead, &table, &trace);
  if (!s.ok()) return s;
  if (table->tableSize() > options.imageLimit) {
    return Status::InvalidArgument("table " + path + " is " + std::to_string(table->tableSize()) +
                                   " bytes, more than the " + std::to_string(options.imageLimit >> 20) +
                                   " MiB an edit can hold");
  }
  return readAll(*table, bytes);
}

Status replaceTable(const std::string& path, const Options& options, std::string_view base, std::string_view edited,
                    int64_t* kept) {
  *kept = 0;
  // The file itself is replaced, not a symbolic link that names it.
  std::string target;
  Status s = File::RealPath(path, &target);
  if (!s.ok()) return s;

  std::string next(edited);
  // An unended last line is ended as the table's lines are.
  if (!endsLine(next)) next += base.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  std::vector<Finding> findings = checkText(next, path, 1);
  if (!findings.empty()) return Status::InvalidArgument(findings.front().text + "; the edit is not applied");
  // The new file is written and synced before the lock: under it, only what was appended
  // meanwhile is added, and the rename made.
  FileInfo like;
  s = File::StatPath(target, &like, false, *options.sys);
  NewFile out;
  if (s.ok()) s = out.Create(target, options);
  if (s.ok()) s = out.Write(0, next.data(), next.size());
  if (s.ok()) s = out.Sync();
  if (!s.ok()) return s;

  std::string trace;
  std::unique_ptr<DBHelper> table;
  s = openTable(target, options, DBHelper::Access::kWrite, &table, &trace);
  if (!s.ok()) return s;
  std::string now;
  s = readAll(*table, &now);
  if (!s.ok()) return s;
  if (now != base) {
    // Only appends since the snapshot are taken in: they follow the edited rows.
    if (now.size() <= base.size() || now.compare(0, base.size(), base) != 0) {
      return Status::Changed("table " + path + " was changed since the edit began, and not only by appended rows; "
                             "the edit is not applied");
    }
    std::string_view added = std::string_view(now).substr(base.size());
    if (!endsLine(base)) {
      // The append ended the snapshot's last line first.
      const size_t lf = added.find('\n');
      added = added.substr(lf == std::string_view::npos ? added.size() : lf + 1);
    }
    if (firstLine(edited) != firstLine(base)) {
      return Status::Changed("table " + path + " had rows appended since the edit began, and the edit changes the "
                             "header they were written under; the edit is not applied");
    }
    findings = checkText(next + std::string(added), path, 1);
    if (!findings.empty()) return Status::InvalidArgument(findings.front().text + "; the edit is not applied");
    s = out.Write(next.size(), added.data(), added.size());
    if (!s.ok()) return s;
    next.append(added);
    *kept = static_cast<int64_t>(std::count(added.begin(), added.end(), '\n')) + (endsLine(added) ? 0 : 1);
  }
  if (next == now) return Status::OK();
  // Renamed while the lock is held: a writer that waited for it finds the new file.
  s = out.Commit(like, options);
  table.reset();
  DBHelper::Forget(target, options);
  return s;
}

namespace {

// Where a backup of `path` goes: `dest`, or the table's file name in it when it is a
// directory.
std::string backupTarget(const std::string& path, const std::string& dest, const Options& options) {
  FileInfo info;
  const Status looked = File::StatPath(dest, &info, false, *options.sys);
  // Windows opens a path to look at it, which a directory refuses.
  if (!(looked.ok() ? info.type == FileInfo::Type::kDirectory : looked.errnoValue() == EISDIR)) return dest;
  const size_t slash = path.find_last_of("/\\");
  return dest + (dest.empty() || dest.back() == '/' ? "" : "/") + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Under a shared lock, after recovery: compares `out` with the table and sets *diff to
// where they first differ. When the copy is the table but for appends, or `last`, it is
// made the table from there on, under the lock, and *done is set.
Status proveCopy(const std::string& path, const Options& options, bool last, NewFile* out, uint64_t* diff,
                 bool* done, BackupStats* stats) {
  const auto t0 = std::chrono::steady_clock::now();
  std::string trace;
  std::unique_ptr<DBHelper> table;
  Status s = openTable(path, options, DBHelper::Access::kRead, &table, &trace);
  if (!s.ok()) return s;
  const uint64_t size = table->tableSize();
  const uint64_t common = std::min(size, out->size());
  s = firstDifference(*table, *out, common, diff);
  if (!s.ok()) return s;
  *done = last || (*diff == common && size >= out->size());
  if (*done) {
    s = out->TruncateTo(*diff);
    if (s.ok()) {
      s = copyRange([&](uint64_t at, char* buf, size_t n, size_t* got) { return table->readTableBytes(at, n, buf, got); },
                    out, *diff, size);
    }
    if (s.ok() && out->size() != size) s = Status::IOError("table " + path + " could not be copied whole");
  }
  table.reset();
  stats->lockedMs =
      std::max(stats->lockedMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  return s;
}

}  // namespace

Status backupTable(const std::string& path, const std::string& dest, const Options& options, BackupStats* stats) {
  *stats = BackupStats();
  const std::string target = backupTarget(path, dest, options);
  File source;
  bool missing = false;
  Status s = File::Open(path, File::Mode::kRead, &source, &missing, *options.sys);
  if (s.ok() && missing) s = Status::FromErrno("cannot open table", path, ENOENT);
  if (!s.ok()) return s;
  const FileInfo like = source.openInfo();
  FileInfo named;
  if (File::StatPath(target, &named, false, *options.sys).ok() && named.id.dev == like.id.dev &&
      named.id.ino == like.id.ino) {
    return Status::InvalidArgument("the backup " + target + " would replace the table itself; name another file");
  }
  NewFile out;
  s = out.Create(target, options);
  if (!s.ok()) return s;
  // Copy without the lock, then prove the copy against the table under it: what matches
  // needs no copying under the lock, only what was appended or changed since.
  constexpr int kRounds = 3;
  uint64_t from = 0;
  for (bool done = false; !done;) {
    s = out.TruncateTo(from);
    uint64_t end = 0;
    FileId id;
    if (s.ok()) s = source.Stat(&end, &id);
    if (s.ok()) {
      s = copyRange([&](uint64_t at, char* buf, size_t n, size_t* got) { return source.ReadAt(at, buf, n, got); },
                    &out, from, end);
    }
    if (s.ok()) s = proveCopy(path, options, ++stats->rounds == kRounds, &out, &from, &done, stats);
    if (!s.ok()) return s;
  }
  stats->bytes = out.size();
  return out.Commit(like, options);
}

}  // namespace dbhelper
