// Descriptors of the tables this process writes, kept open from one write to the next, so
// that a write checks the path with one stat instead of opening and closing the file.
//
// A kept descriptor serves one operation at a time: the operation takes it out and gives it
// back unlocked when it is done, so two threads never lock through one open file. It is
// used again only while the path still names the file it has open, with the permission
// bits and owner that file had when it was opened (a table made read-only refuses writes
// again at once), and never in a child process that inherited it over fork.
#ifndef DBHELPER_KEPT_FILES_H_
#define DBHELPER_KEPT_FILES_H_

#include <optional>
#include <string>

#include "dbhelper/file.h"

namespace dbhelper {

// At most this many descriptors are kept; the one given back longest ago is closed first.
inline constexpr size_t kKeptFilesMax = 8;

// Returns the descriptor kept for `path`, making its calls through `sys` from now on, or
// nothing (closing one a parent process kept). The path is not looked at: the caller
// checks, once it holds the lock, that the path still names the file with
// keptFileStillFits, and opens the path afresh if not.
std::optional<File> takeKeptFile(const std::string& path, const SysCalls& sys);

// Whether `named`, a stat of the path, is the file a kept descriptor has open (`kept`, its
// openInfo) with the same permission bits and owner: a file made unwritable since is
// opened again, so that the open says so.
bool keptFileStillFits(const FileInfo& kept, const FileInfo& named);

// Keeps `file` for the next operation on `path`. REQUIRES: open for reading and writing,
// holding no lock.
void keepFile(const std::string& path, File file);

// Closes the descriptor kept for `path`, if one is kept and not taken out.
void forgetKeptFile(const std::string& path);

// Closes every kept descriptor (for tests). Whether writes keep theirs is Options::keepFiles.
void closeKeptFiles();

}  // namespace dbhelper

#endif  // DBHELPER_KEPT_FILES_H_
