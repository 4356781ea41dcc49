// Finding lines and counting rows in table bytes, the way the loader reads them: each
// line ends at a LF (a CR before it belongs to the line end) or at the end of the
// file, and a line longer than 99 bytes ends the table.
#ifndef DBHELPER_ROW_SCAN_H_
#define DBHELPER_ROW_SCAN_H_

#include <cstddef>
#include <cstdint>

#include "dbhelper/file.h"
#include "dbhelper/status.h"

namespace dbhelper {

inline constexpr size_t kMaxLineChars = 99;

// Returns the length of the line starting at `b` (a CR before its LF not counted) and
// sets *end to the offset of its LF, or to `size` when it runs to the end of the file.
size_t lineAt(const char* d, size_t size, size_t b, size_t* end);

struct Scan {
  int64_t rows = 0;
  uint64_t next = 0;  // offset just past the last row counted
};

// Counts data rows of `d[0, size)` from `from`, stopping after `want` rows or where the
// table ends. The end of `d` is the end of the file: a last line without LF counts.
Scan scanRows(const char* d, size_t size, size_t from, int64_t want);

// Where the processor allows a faster variant of scanRows than the baseline one, tests
// switch between the two.
void UseBaselineScan(bool on);

// Counts the rows of the file's bytes [from, size) as scanRows does, reading them through
// a fixed buffer of `chunk` bytes, so a table of any size needs no more memory than that.
// REQUIRES: chunk > kMaxLineChars + 2.
Status scanFile(const File& file, uint64_t from, uint64_t size, int64_t want, size_t chunk, Scan* out);

}  // namespace dbhelper

#endif  // DBHELPER_ROW_SCAN_H_
