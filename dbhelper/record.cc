// Record text: KEY=VALUE pairs separated by ",", placed into header column order.
#include <array>
#include <string>

#include "dbhelper/DBHelper.h"

namespace dbhelper {

Status DBHelper::parseRecordText(std::string_view text, DataRow* out) const {
  // Values stay views into `text` until the whole record is known to fit.
  std::array<std::string_view, kMaxFields> values;
  std::array<bool, kMaxFields> filled{};
  const int64_t length = static_cast<int64_t>(text.size());
  const size_t lc = text.rfind(',');
  const int64_t lastComma = lc == std::string_view::npos ? -1 : static_cast<int64_t>(lc);
  int64_t start = 0;
  int64_t end = 0;
  int32_t pairs = 0;
  size_t lineLen = 0;
  while (end < length) {
    if (start < lastComma) {
      end = static_cast<int64_t>(text.find(',', static_cast<size_t>(start)));
    } else {
      end = length;
    }
    const std::string_view pair =
        trimView(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    start = end + 1;
    const size_t eq = pair.find('=');
    const std::string_view key = trimView(eq == std::string_view::npos ? pair : pair.substr(0, eq));
    const std::string_view value = trimView(eq == std::string_view::npos ? pair : pair.substr(eq + 1));
    if (pairs == kMaxFields) return Status::InvalidArgument("a record holds at most 10 pairs");
    const int32_t col = findColumn(key);
    if (col < 0) {
      if (header_.count == 0) {
        return Status::InvalidArgument("the table has no header line, so '" + std::string(key) +
                                       "' names no column");
      }
      std::string names;
      for (int32_t k = 0; k < header_.count; ++k) names += (k > 0 ? ", " : "") + header_.fields[k];
      return Status::InvalidArgument("'" + std::string(key) + "' names no column of the table (columns: " + names + ")");
    }
    const std::string& name = header_.fields[col];
    if (filled[col]) return Status::InvalidArgument("column '" + name + "' is given twice");
    if (value.size() > kMaxFieldChars) {
      return Status::InvalidArgument("the value of column '" + name + "' is longer than 199 bytes");
    }
    for (const char c : value) {
      if (c == '|' || c == '\n' || c == '\0') {
        return Status::InvalidArgument("the value of column '" + name + "' contains '|', a line feed or NUL");
      }
    }
    values[col] = value;
    filled[col] = true;
    lineLen += value.size();
    ++pairs;
  }
  for (int32_t k = pairs; k < kMaxFields; ++k) {
    if (!filled[k]) continue;
    for (int32_t j = 0; j < pairs; ++j) {
      if (!filled[j]) {
        return Status::InvalidArgument("column '" + header_.fields[k] + "' is given but column '" +
                                       header_.fields[j] + "' before it is not");
      }
    }
  }
  if (pairs > 0 && !values[pairs - 1].empty() && values[pairs - 1].back() == '\r') {
    // The reader takes a CR before the LF as part of the line end, so it would be lost.
    return Status::InvalidArgument("the value of column '" + header_.fields[pairs - 1] +
                                   "' ends with a carriage return, which the line end would swallow");
  }
  if (pairs > 0) lineLen += static_cast<size_t>(pairs - 1);
  if (lineLen > kMaxLineChars) {
    return Status::InvalidArgument("the row line would be " + std::to_string(lineLen) +
                                   " bytes long; a line holds at most 99 bytes");
  }
  // Columns 0..pairs-1 are exactly the ones filled: none twice, none after a gap.
  for (int32_t k = 0; k < pairs; ++k) out->fields[k].assign(values[k]);
  out->count = pairs;
  return Status::OK();
}

}  // namespace dbhelper
