// The table text format, in one place: the limits, line ends, how a line splits into
// fields, which lines count as data rows, how a row is rendered for reading and written
// as a line, and the record text that writes take.
//
// A table file is a text file: the first line names the columns, every further line is
// one data row; fields are separated by "|" and trimmed of spaces, tabs and line feeds.
// A CR directly before the LF belongs to the line end.
#ifndef DBHELPER_TABLE_FORMAT_H_
#define DBHELPER_TABLE_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbhelper/status.h"

namespace dbhelper {

// Bytes of one line, its line end excluded. The first longer line ends the table.
inline constexpr size_t kMaxLineChars = 99;
inline constexpr int kMaxFields = 10;
inline constexpr size_t kMaxFieldChars = 199;
// Line end the writers use: CR LF where text files have it, LF elsewhere.
#if defined(_WIN32)
inline constexpr std::string_view kNewline = "\r\n";
#else
inline constexpr std::string_view kNewline = "\n";
#endif

// One line split into fields; slots 0..count-1 are valid.
struct DataRow {
  std::array<std::string, kMaxFields> fields;
  int32_t count = 0;
};

// Returns `text` without leading and trailing spaces, tabs and line feeds. Carriage
// returns are kept.
std::string trim(std::string_view text);
std::string_view trimView(std::string_view text);

// Returns the line split at "|" into at most 10 trimmed fields; fields beyond the tenth
// are dropped. The line ends at its first line feed or NUL. An empty line has no fields;
// a separator at the very end adds no empty field.
DataRow parseLine(std::string_view line);
// As parseLine, into *row, reusing its buffers.
void parseLineInto(std::string_view line, DataRow* row);

// The row rule. A line ending in LF at `lf` and starting at `start` is a data row when
// it is at most kMaxLineChars long, a CR before the LF not counted; the first longer line
// ends the table. A last line without LF is a data row when it is not empty and at most
// kMaxLineChars long (a CR at its very end then counts).
inline bool endedLineIsRow(const char* d, size_t start, size_t lf) {
  size_t len = lf - start;
  if (len > 0 && d[lf - 1] == '\r') --len;
  return len <= kMaxLineChars;
}
inline bool lastLineIsRow(size_t start, size_t size) { return start < size && size - start <= kMaxLineChars; }

// Returns the length of the line starting at `b` (a CR before its LF not counted) and
// sets *end to the offset of its LF, or to `size` when it runs to the end of the file.
size_t lineAt(const char* d, size_t size, size_t b, size_t* end);

// Returns where the data row after the one starting at `b` starts (`size` after the last
// row), or SIZE_MAX when no row starts at `b` under the row rule.
size_t nextRowStart(const char* d, size_t size, size_t b);

// Returns the 0-based index of the first header field equal to `name`, or -1. A header
// field in modified UTF-8 equals the same characters in standard UTF-8.
int32_t findColumn(const DataRow& header, std::string_view name);

// Returns `row` as COLUMN=value pairs joined by ",", for the positions `header` names.
std::string renderRow(const DataRow& header, const DataRow& row);

// Returns `before` and the row's fields joined by "|", with kNewline after them.
std::string rowLine(const DataRow& row, std::string_view before = {});

// Parses record text (KEY=VALUE pairs separated by ",", spaces allowed) into a row in
// `header` column order. Returns InvalidArgument, with *row untouched, for a record that
// cannot be written as one well-formed line of the table.
Status parseRecord(std::string_view text, const DataRow& header, DataRow* row);

// As parseRecord, for (column name, value) pairs. The values are stored as given, so
// what the row format holds but record text cannot say (a comma, an '=') is allowed, and
// what reading would change is refused: a CR anywhere, a leading or trailing space or tab.
Status rowFromValues(const std::vector<std::pair<std::string_view, std::string_view>>& values, const DataRow& header,
                     DataRow* row);

// Returns in *header the header line's fields for a new table with `columns`, or
// InvalidArgument for names that record text could not name, repeated names, more than
// 10 columns or a header line over 99 bytes.
Status headerFromColumns(const std::vector<std::string_view>& columns, DataRow* header);

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_FORMAT_H_
