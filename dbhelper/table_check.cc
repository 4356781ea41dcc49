// The table checker: reads table text line by line, in chunks of any size, and names what
// hides or garbles rows.
#include <algorithm>
#include <cstring>
#include <memory>

#include "dbhelper/file.h"
#include "dbhelper/recovery.h"
#include "dbhelper/table_format.h"
#include "dbhelper/table_lock.h"
#include "dbhelper/table_tools.h"

namespace dbhelper {

namespace {

std::string plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Checks text fed to it in pieces; a line may span pieces.
class TextChecker {
 public:
  TextChecker(const std::string& name, size_t most) : name_(name), most_(most) {}

  void feed(std::string_view piece) {
    for (size_t i = 0; i < piece.size();) {
      const void* nl = std::memchr(piece.data() + i, '\n', piece.size() - i);
      const size_t e = nl ? static_cast<size_t>(static_cast<const char*>(nl) - piece.data()) : piece.size();
      take(piece.substr(i, e - i));
      if (nl == nullptr) break;
      endLine(true);
      i = e + 1;
    }
    bytes_ += piece.size();
  }

  // `record`: where a leftover undo record starts, when there is one.
  std::vector<Finding> finish(const uint64_t* record) {
    if (length_ > 0 || lineHasCr_) endLine(false);
    const int64_t lines = line_ - 1;
    if (lines == 0) {
      add(Finding::Kind::kNoHeader, 0, name_ + " has no header line" + std::string(record ? "" : ": it is empty") +
                                            "; its first line must name the columns, e.g. NAME|SCORE|DATE");
    } else if (headerEmpty_) {
      add(Finding::Kind::kNoHeader, 1, "line 1 of " + name_ + " is blank: the header line must name the columns, e.g. NAME|SCORE|DATE");
    }
    if (firstLong_ > 0) {
      // Readers stop at the first long line: it and every line after it are hidden.
      const int64_t hidden = lines - firstLong_;
      Finding f{Finding::Kind::kLongLine, firstLong_,
                "line " + std::to_string(firstLong_) + " of " + name_ + " is " + plural(firstLongLen_, "byte", "bytes") +
                    " long, over the " + std::to_string(kMaxLineChars) + "-byte line limit: every reader stops before it, so it and the " +
                    plural(hidden, "line", "lines") + " after it are hidden from every reader, and appends are refused"};
      found_.insert(found_.begin(), std::move(f));
    }
    if (crlf_ > 0 && lf_ > 0) {
      const bool fewerCrlf = crlf_ < lf_;
      add(Finding::Kind::kMixedLineEnds, fewerCrlf ? firstCrlf_ : firstLf_,
          "line ends are mixed in " + name_ + ": " + plural(crlf_, "line ends", "lines end") + " in CRLF and " +
              plural(lf_, "line", "lines") + " in LF alone; line " + std::to_string(fewerCrlf ? firstCrlf_ : firstLf_) +
              " is the first in " + (fewerCrlf ? "CRLF" : "LF"));
    }
    if (record) {
      add(Finding::Kind::kUndoRecord, lines,
          name_ + " ends in the undo record of an unfinished write (bytes " + std::to_string(*record) + " on, after line " +
              std::to_string(lines) + "): it is not table text; the next library call, or check --repair, rolls the write back");
    }
    for (const auto& [kind, extra] : more_) {
      if (extra > 0) {
        add(kind, 0, "... and " + plural(extra, "more line", "more lines") + " like that in " + name_, true);
      }
    }
    return std::move(found_);
  }

 private:
  void take(std::string_view part) {
    if (part.empty()) return;
    if (const void* nul = std::memchr(part.data(), '\0', part.size()); nul != nullptr && nulAt_ < 0) {
      nulAt_ = length_ + (static_cast<const char*>(nul) - part.data());
    }
    for (char c : part) {
      if (c == '|') {
        ++bars_;
        lastBar_ = true;
      } else if (c == '\r') {
        // A CR only counts as the line end's when LF follows; lastBar_ keeps its meaning.
      } else {
        lastBar_ = false;
      }
      if (c != ' ' && c != '\t' && c != '\r') blank_ = false;
    }
    lineHasCr_ = part.back() == '\r';
    length_ += part.size();
  }

  void endLine(bool lf) {
    const bool cr = lf && lineHasCr_;
    const int64_t len = length_ - (cr ? 1 : 0);
    if (lf) ++(cr ? crlf_ : lf_);
    if (lf && cr && firstCrlf_ == 0) firstCrlf_ = line_;
    if (lf && !cr && firstLf_ == 0) firstLf_ = line_;
    if (line_ == 1 && blank_) headerEmpty_ = true;
    if (len > static_cast<int64_t>(kMaxLineChars)) {
      if (firstLong_ == 0) {
        firstLong_ = line_;
        firstLongLen_ = len;
      } else {
        add(Finding::Kind::kLongLine, line_, "line " + std::to_string(line_) + " of " + name_ + " is " +
                                                 plural(len, "byte", "bytes") + " long, over the line limit too");
      }
    }
    if (nulAt_ >= 0) {
      add(Finding::Kind::kNul, line_, "line " + std::to_string(line_) + " of " + name_ + " holds a NUL byte at byte " +
                                          std::to_string(nulAt_ + 1) + ": readers see the line end there");
    }
    // Fields as a reader splits them; a separator at the very end adds none.
    const int64_t fields = len == 0 ? 0 : bars_ + 1 - (lastBar_ ? 1 : 0);
    if (fields > kMaxFields && nulAt_ < 0 && len <= static_cast<int64_t>(kMaxLineChars)) {
      add(Finding::Kind::kTooManyFields, line_, "line " + std::to_string(line_) + " of " + name_ + " has " +
                                                    std::to_string(fields) + " fields; a row holds " +
                                                    std::to_string(kMaxFields) + ", so readers drop the rest");
    }
    ++line_;
    length_ = 0;
    bars_ = 0;
    nulAt_ = -1;
    lastBar_ = false;
    lineHasCr_ = false;
    blank_ = true;
  }

  void add(Finding::Kind kind, int64_t line, std::string text, bool summary = false) {
    if (!summary) {
      auto it = std::find_if(more_.begin(), more_.end(), [&](const auto& m) { return m.first == kind; });
      if (it == more_.end()) it = more_.insert(more_.end(), {kind, -static_cast<int64_t>(most_)});
      if (it->second++ >= 0) return;  // counted, not listed
    }
    found_.push_back(Finding{kind, line, std::move(text)});
  }

  const std::string& name_;
  const size_t most_;
  std::vector<Finding> found_;
  // Per kind: findings beyond `most` so far, counting up from -most.
  std::vector<std::pair<Finding::Kind, int64_t>> more_;
  uint64_t bytes_ = 0;
  int64_t line_ = 1;
  int64_t length_ = 0;  // bytes of the current line so far
  int64_t bars_ = 0;
  int64_t nulAt_ = -1;
  bool lastBar_ = false;
  bool lineHasCr_ = false;
  bool blank_ = true;
  bool headerEmpty_ = false;
  int64_t firstLong_ = 0;
  int64_t firstLongLen_ = 0;
  int64_t crlf_ = 0, lf_ = 0, firstCrlf_ = 0, firstLf_ = 0;
};

}  // namespace

std::vector<Finding> checkText(std::string_view bytes, const std::string& name, size_t most) {
  TextChecker checker(name, most);
  UndoRecord rec;
  const bool record = bytes.size() >= kUndoRecordSize &&
                      decodeUndoRecord(bytes.data() + bytes.size() - kUndoRecordSize, bytes.size(), &rec);
  checker.feed(record ? bytes.substr(0, static_cast<size_t>(rec.oldSize)) : bytes);
  return checker.finish(record ? &rec.oldSize : nullptr);
}

Status checkTable(const std::string& path, const Options& options, std::vector<Finding>* findings) {
  File file;
  bool missing = false;
  Status s = File::Open(path, File::Mode::kRead, &file, &missing, *options.sys);
  if (!s.ok()) return s;
  if (missing) return Status::FromErrno("cannot open table", path, ENOENT);
  const FileInfo info = file.openInfo();
  TableLock lock;
  // A table that fits in memory is read whole under the lock and checked after it, so a
  // writer waits for one read of the file; a larger one is checked as it streams by.
  const bool locked = info.size <= options.imageLimit;
  std::string bytes;
  if (locked) {
    bytes.resize(static_cast<size_t>(info.size));  // its pages touched before the lock
    s = lock.Acquire(file, info.id, false, options.lockTimeout);
    if (!s.ok()) return s;
  }
  uint64_t size = 0;
  FileId id;
  s = file.Stat(&size, &id);
  if (!s.ok()) return s;
  if (locked && size <= options.imageLimit) {
    bytes.resize(static_cast<size_t>(size));
    size_t got = 0;
    s = file.ReadAt(0, bytes.data(), bytes.size(), &got);
    lock.Release();
    if (!s.ok()) return s;
    bytes.resize(got);
    *findings = checkText(bytes, path);
    return Status::OK();
  }
  lock.Release();  // grown past the limit since the open: streamed without the lock
  UndoRecord rec;
  bool record = false;
  if (size >= kUndoRecordSize) {
    char last[kUndoRecordSize];
    size_t got = 0;
    s = file.ReadAt(size - kUndoRecordSize, last, sizeof last, &got);
    if (!s.ok()) return s;
    record = got == sizeof last && decodeUndoRecord(last, size, &rec);
  }
  const uint64_t text = record ? rec.oldSize : size;
  TextChecker checker(path, kFindingsPerKind);
  const size_t chunk = options.streamChunk(1u << 20);
  auto buf = std::make_unique_for_overwrite<char[]>(chunk);
  for (uint64_t at = 0; at < text;) {
    size_t got = 0;
    s = file.ReadAt(at, buf.get(), static_cast<size_t>(std::min<uint64_t>(chunk, text - at)), &got);
    if (!s.ok()) return s;
    if (got == 0) break;  // shrank meanwhile (read without the lock)
    checker.feed(std::string_view(buf.get(), got));
    at += got;
  }
  *findings = checker.finish(record ? &rec.oldSize : nullptr);
  return Status::OK();
}

}  // namespace dbhelper
