#include "dbhelper/table_format.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "dbhelper/utf.h"

namespace dbhelper {

namespace {

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The pairs of one record text, as views into it until the whole record is known to fit.
struct Pairs {
  std::array<std::string_view, kMaxFields> values;
  std::array<bool, kMaxFields> filled{};
  int32_t count = 0;
  size_t valueBytes = 0;
};

Status noSuchColumn(const DataRow& header, std::string_view key) {
  if (header.count == 0) {
    return Status::InvalidArgument("the table has no header line, so '" + std::string(key) + "' names no column");
  }
  std::string names;
  for (int32_t k = 0; k < header.count; ++k) names += (k > 0 ? ", " : "") + header.fields[k];
  return Status::InvalidArgument("'" + std::string(key) + "' names no column of the table (columns: " + names + ")");
}

// Places `value` into column `col` of the header, or says why it cannot go there.
// `exact`: a value given as is (not cut from record text), which may not rely on the
// reader to trim it and may hold no CR at all.
Status placeValue(int32_t col, std::string_view value, const DataRow& header, Pairs* p, bool exact) {
  const std::string& name = header.fields[col];
  if (p->filled[col]) return Status::InvalidArgument("column '" + name + "' is given twice");
  if (value.size() > kMaxFieldChars) {
    return Status::InvalidArgument("the value of column '" + name + "' is longer than 199 bytes");
  }
  for (const char c : value) {
    if (c == '|' || c == '\n' || c == '\0' || (exact && c == '\r')) {
      return Status::InvalidArgument("the value of column '" + name + "' contains '|', " +
                                     (exact ? "a carriage return, " : "") + "a line feed or NUL");
    }
  }
  if (exact && !value.empty() && (isTrimmed(value.front()) || isTrimmed(value.back()))) {
    return Status::InvalidArgument("the value of column '" + name +
                                   "' starts or ends with a space or tab, which reading would trim");
  }
  p->values[col] = value;
  p->filled[col] = true;
  p->valueBytes += value.size();
  ++p->count;
  return Status::OK();
}

// Places one KEY=VALUE pair (trimmed) into its column, or says why it cannot go there.
Status placePair(std::string_view pair, const DataRow& header, Pairs* p) {
  const size_t eq = pair.find('=');
  const std::string_view key = trimView(eq == std::string_view::npos ? pair : pair.substr(0, eq));
  const std::string_view value = trimView(eq == std::string_view::npos ? pair : pair.substr(eq + 1));
  if (p->count == kMaxFields) return Status::InvalidArgument("a record holds at most 10 pairs");
  const int32_t col = findColumn(header, key);
  if (col < 0) return noSuchColumn(header, key);
  return placeValue(col, value, header, p, false);
}

// A row line holds its columns from the first on: a column given after a gap is refused.
Status checkNoGap(const DataRow& header, const Pairs& p) {
  for (int32_t k = p.count; k < kMaxFields; ++k) {
    if (!p.filled[k]) continue;
    for (int32_t j = 0; j < p.count; ++j) {
      if (!p.filled[j]) {
        return Status::InvalidArgument("column '" + header.fields[k] + "' is given but column '" + header.fields[j] +
                                       "' before it is not");
      }
    }
  }
  return Status::OK();
}

}  // namespace

std::string_view trimView(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && isTrimmed(text[b])) ++b;
  while (e > b && isTrimmed(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string trim(std::string_view text) { return std::string(trimView(text)); }

void parseLineInto(std::string_view line, DataRow* row) {
  row->count = 0;
  size_t n = line.size();  // the line ends at its first LF or NUL
  for (size_t k = 0; k < n; ++k) {
    if (line[k] == '\n' || line[k] == '\0') n = k;
  }
  for (size_t i = 0; i < n && row->count < kMaxFields;) {
    const void* bar = std::memchr(line.data() + i, '|', n - i);
    const size_t e = bar != nullptr ? static_cast<size_t>(static_cast<const char*>(bar) - line.data()) : n;
    row->fields[row->count++].assign(trimView(line.substr(i, e - i)).substr(0, kMaxFieldChars));
    i = e + 1;  // past the separator; a separator at the very end adds no field
  }
}

DataRow parseLine(std::string_view line) {
  DataRow row;
  parseLineInto(line, &row);
  return row;
}

size_t lineAt(const char* d, size_t size, size_t b, size_t* end) {
  const void* nl = std::memchr(d + b, '\n', size - b);
  if (nl == nullptr) {
    *end = size;
    return size - b;
  }
  const size_t e = static_cast<size_t>(static_cast<const char*>(nl) - d);
  *end = e;
  return (e > b && d[e - 1] == '\r') ? e - 1 - b : e - b;
}

size_t nextRowStart(const char* d, size_t size, size_t b) {
  const void* nl = std::memchr(d + b, '\n', size - b);
  if (nl == nullptr) return lastLineIsRow(b, size) ? size : SIZE_MAX;
  const size_t lf = static_cast<size_t>(static_cast<const char*>(nl) - d);
  return endedLineIsRow(d, b, lf) ? lf + 1 : SIZE_MAX;
}

int32_t findColumn(const DataRow& header, std::string_view name) {
  for (int32_t k = 0; k < header.count; ++k) {
    if (header.fields[k] == name) return k;
  }
  // A header written by another tool may hold a supplementary character as a modified
  // UTF-8 surrogate pair, which reads back as the same Java string as the 4-byte form.
  const std::string canonical = canonicalUtf8(name);
  for (int32_t k = 0; k < header.count; ++k) {
    if (header.fields[k].find('\xED') != std::string::npos && canonicalUtf8(header.fields[k]) == canonical) {
      return k;
    }
  }
  return -1;
}

std::string renderRow(const DataRow& header, const DataRow& row) {
  std::string out;
  const int32_t n = std::min(row.count, header.count);
  size_t total = 0;
  for (int32_t j = 0; j < n; ++j) total += header.fields[j].size() + row.fields[j].size() + 2;
  out.reserve(total);
  for (int32_t j = 0; j < n; ++j) {
    if (j > 0) out += ',';
    out += header.fields[j];
    out += '=';
    out += row.fields[j];
  }
  return out;
}

std::string rowLine(const DataRow& row, std::string_view before) {
  size_t n = before.size() + kNewline.size() + static_cast<size_t>(row.count);
  for (int32_t i = 0; i < row.count; ++i) n += row.fields[i].size();
  std::string line;
  line.reserve(n);
  line += before;
  for (int32_t i = 0; i < row.count; ++i) {
    if (i > 0) line += '|';
    line += row.fields[i];
  }
  line += kNewline;
  return line;
}

namespace {

// The checks every record shares once its pairs are placed, then the row.
Status finishRecord(const DataRow& header, const Pairs& p, DataRow* out) {
  Status s = checkNoGap(header, p);
  if (!s.ok()) return s;
  if (p.count > 0 && !p.values[p.count - 1].empty() && p.values[p.count - 1].back() == '\r') {
    // The reader takes a CR before the LF as part of the line end, so it would be lost.
    return Status::InvalidArgument("the value of column '" + header.fields[p.count - 1] +
                                   "' ends with a carriage return, which the line end would swallow");
  }
  const size_t lineLen = p.valueBytes + (p.count > 0 ? static_cast<size_t>(p.count - 1) : 0);
  if (lineLen > kMaxLineChars) {
    return Status::InvalidArgument("the row line would be " + std::to_string(lineLen) +
                                   " bytes long; a line holds at most 99 bytes");
  }
  // Columns 0..count-1 are exactly the ones filled: none twice, none after a gap.
  for (int32_t k = 0; k < p.count; ++k) out->fields[k].assign(p.values[k]);
  out->count = p.count;
  return Status::OK();
}

}  // namespace

Status parseRecord(std::string_view text, const DataRow& header, DataRow* out) {
  // Pairs end at a comma, except that everything after the last comma is one pair.
  Pairs p;
  const int64_t length = static_cast<int64_t>(text.size());
  const size_t lc = text.rfind(',');
  const int64_t lastComma = lc == std::string_view::npos ? -1 : static_cast<int64_t>(lc);
  for (int64_t start = 0, end = 0; end < length;) {
    end = start < lastComma ? static_cast<int64_t>(text.find(',', static_cast<size_t>(start))) : length;
    const std::string_view pair = trimView(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    start = end + 1;
    Status s = placePair(pair, header, &p);
    if (!s.ok()) return s;
  }
  return finishRecord(header, p, out);
}

Status rowFromValues(const std::vector<std::pair<std::string_view, std::string_view>>& values, const DataRow& header,
                     DataRow* out) {
  Pairs p;
  for (const auto& [key, value] : values) {
    if (p.count == kMaxFields) return Status::InvalidArgument("a record holds at most 10 values");
    const int32_t col = findColumn(header, key);
    if (col < 0) return noSuchColumn(header, key);
    Status s = placeValue(col, value, header, &p, true);
    if (!s.ok()) return s;
  }
  return finishRecord(header, p, out);
}

Status headerFromColumns(const std::vector<std::string_view>& columns, DataRow* out) {
  if (columns.empty()) return Status::InvalidArgument("a table needs at least one column");
  if (columns.size() > static_cast<size_t>(kMaxFields)) {
    return Status::InvalidArgument("a table holds at most 10 columns, not " + std::to_string(columns.size()));
  }
  DataRow header;
  size_t bytes = columns.size() - 1;
  for (const std::string_view name : columns) {
    // Record text names a column by what comes before '=' and ends a pair at ','.
    const bool bad = name.empty() || isTrimmed(name.front()) || isTrimmed(name.back()) ||
                     name.find_first_of(std::string_view("|=,\r\n\0", 7)) != std::string_view::npos;
    if (bad) {
      return Status::InvalidArgument("column name '" + std::string(name) +
                                     "' is empty, starts or ends with a space or tab, or contains '|', '=', ',', "
                                     "a carriage return, a line feed or NUL");
    }
    if (findColumn(header, name) >= 0) return Status::InvalidArgument("column '" + std::string(name) + "' is named twice");
    header.fields[header.count++].assign(name);
    bytes += name.size();
  }
  if (bytes > kMaxLineChars) {
    return Status::InvalidArgument("the header line would be " + std::to_string(bytes) +
                                   " bytes long; a line holds at most 99 bytes");
  }
  *out = std::move(header);
  return Status::OK();
}

}  // namespace dbhelper
