// What an operator does to a live table besides reading and writing rows: list it from one
// image, check it for what hides or garbles rows, repair it, back it up and replace its
// content after a hand edit. Each takes the table's locks like any other operation, and
// holds them only for as long as a step that must be atomic needs: a server's write waits
// for the lock at most Options::lockTimeout (5 s) before it fails.
#ifndef DBHELPER_TABLE_TOOLS_H_
#define DBHELPER_TABLE_TOOLS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbhelper/options.h"
#include "dbhelper/status.h"

namespace dbhelper {

// One thing that hides or garbles rows, at a line of the file (1 = the header line; 0 for
// the file as a whole).
struct Finding {
  enum class Kind { kNoHeader, kLongLine, kTooManyFields, kNul, kUndoRecord, kMixedLineEnds };
  Kind kind;
  int64_t line = 0;
  std::string text;  // the whole sentence an operator reads, line included
};

// Checks table text: a missing header, lines over the line limit (the first one hides
// itself and every line after it from every reader), rows with more fields than a row
// holds, NUL bytes, a leftover undo record, and lines ending both in LF and in CRLF.
// `name` is the table's name in the sentences. At most `most` findings of one kind are
// reported, the last of them saying how many more there are.
inline constexpr size_t kFindingsPerKind = 20;
std::vector<Finding> checkText(std::string_view bytes, const std::string& name, size_t most = kFindingsPerKind);

// Checks the table file at `path` as it stands under a shared lock, without repairing it.
// A table over the image limit is read without the lock, in chunks; a finding at its end
// may then be a write in flight.
Status checkTable(const std::string& path, const Options& options, std::vector<Finding>* findings);

// Runs the recovery any operation runs first (rolling back an unfinished write) and
// nothing else; sets *repaired when it changed the file.
Status repairTable(const std::string& path, const Options& options, bool* repaired);

// Sets *texts to every data row as row text (as DBHelper::getRow gives it), each followed
// by "\n", all read under one shared lock: the table at one moment.
Status listRows(const std::string& path, const Options& options, std::string* texts, int64_t* rows);

// Sets *bytes to the table file's bytes at one moment, after recovery. Refuses a table
// over the image limit (an editor is no place for it).
Status snapshotTable(const std::string& path, const Options& options, std::string* bytes);

// Replaces the table's content `base` (a snapshot) by `edited`, under the table's
// exclusive lock, in one step that a crash leaves whole or not at all: a new file with the
// table's owner and mode, synced, renamed over the table. Rows appended since the snapshot
// (the table is `base` followed by more lines) are kept after the edited content; *kept
// tells how many. Any other change since the snapshot refuses the edit with Changed, as
// does a changed header when rows were appended.
Status replaceTable(const std::string& path, const Options& options, std::string_view base, std::string_view edited,
                    int64_t* kept);

// What backupTable did, for the operator and the docs.
struct BackupStats {
  uint64_t bytes = 0;       // the copy's size
  int rounds = 0;           // copies made without the lock before one was proven current
  double lockedMs = 0;      // the longest time the table's lock was held
};

// Writes the table at `path` as of one moment, after recovery, to `dest` (a directory
// takes the table's file name): copied without the lock, then compared with the table
// under a shared lock, which copies only what was appended meanwhile, or what changed;
// synced and renamed into place, so `dest` is never seen half written.
Status backupTable(const std::string& path, const std::string& dest, const Options& options, BackupStats* stats);

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_TOOLS_H_
