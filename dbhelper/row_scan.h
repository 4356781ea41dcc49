// Counting rows in table bytes under the row rule of table_format.h, fast: 64 bytes a
// step, in memory or through the file.
#ifndef DBHELPER_ROW_SCAN_H_
#define DBHELPER_ROW_SCAN_H_

#include <cstddef>
#include <cstdint>

#include "dbhelper/file.h"
#include "dbhelper/status.h"
#include "dbhelper/table_format.h"

namespace dbhelper {

struct Scan {
  int64_t rows = 0;
  uint64_t next = 0;  // offset just past the last row counted
};

// Counts data rows of `d[0, size)` from `from`, stopping after `want` rows or where the
// table ends. The end of `d` is the end of the file: a last line without LF counts.
// `baseline`: the baseline variant even where the processor allows a faster one (tests
// compare the two).
Scan scanRows(const char* d, size_t size, size_t from, int64_t want, bool baseline = false);

// Counts the rows of the file's bytes [from, size) as scanRows does, reading them through
// a fixed buffer of `chunk` bytes, so a table of any size needs no more memory than that.
// REQUIRES: chunk > kMaxLineChars + 2.
Status scanFile(const File& file, uint64_t from, uint64_t size, int64_t want, size_t chunk, Scan* out,
                bool baseline = false);

}  // namespace dbhelper

#endif  // DBHELPER_ROW_SCAN_H_
