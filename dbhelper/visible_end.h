// For tables too large to cache: remembers, per file, a moment at which every line after
// the header was a data row, so that an append need not scan the whole file each time to
// know that no line hides the row it writes (DBHelper::checkEndVisible). A moment counts
// only while freshness.h proves the file unchanged since, or changed by nothing but our
// own one-call append.
#ifndef DBHELPER_VISIBLE_END_H_
#define DBHELPER_VISIBLE_END_H_

#include "dbhelper/file.h"
#include "dbhelper/freshness.h"

namespace dbhelper {

// At most this many files are remembered; beyond that any one is dropped.
inline constexpr size_t kVisibleEndsMax = 64;

// Returns whether the file was seen with rows to its end at a moment that `now` (a
// snapshot taken just now) proves it unchanged since.
bool knownRowsToEnd(const Snapshot& now);
// Remembers that at `snap` the file's rows reached its end.
void noteRowsToEnd(const Snapshot& snap);
// Forgets what is remembered of the file.
void forgetRowsToEnd(const FileId& id);

}  // namespace dbhelper

#endif  // DBHELPER_VISIBLE_END_H_
