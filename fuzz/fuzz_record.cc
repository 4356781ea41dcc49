// Record parsing against a header: the input's first line is the table's header, the
// rest the record text. An accepted record must become one well-formed line of at most
// 99 characters, not ending in CR, that splits back into the same fields.
#include "dbhelper/DBHelper.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::MemTable table;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const size_t nl = in.find('\n');
  if (nl == std::string_view::npos) return 0;
  table.set(in.substr(0, nl + 1));
  std::string trace;
  dbhelper::DBHelper t(table.path(), &trace);
  FUZZ_CHECK(t.status().ok());
  dbhelper::DataRow row;
  row.count = -7;
  const dbhelper::Status s = t.parseRecordText(in.substr(nl + 1), &row);
  if (!s.ok()) {
    FUZZ_CHECK(row.count == -7);  // untouched
    FUZZ_CHECK(!s.message().empty());
    return 0;
  }
  FUZZ_CHECK(row.count >= 0 && row.count <= dbhelper::kMaxFields);
  std::string line;
  for (int32_t i = 0; i < row.count; ++i) {
    const std::string& f = row.fields[i];
    FUZZ_CHECK(f.find_first_of(std::string_view("|\n\0", 3)) == std::string::npos);
    FUZZ_CHECK(dbhelper::trim(f) == f);
    if (i > 0) line += '|';
    line += f;
  }
  FUZZ_CHECK(line.size() <= dbhelper::kMaxLineChars);
  FUZZ_CHECK(line.empty() || line.back() != '\r');  // it would read back as part of the line end
  if (row.count > 0 && !row.fields[row.count - 1].empty()) {
    const dbhelper::DataRow back = dbhelper::parseLine(line);
    FUZZ_CHECK(back.count == row.count);
    for (int32_t i = 0; i < row.count; ++i) FUZZ_CHECK(back.fields[i] == row.fields[i]);
  }
  return 0;
}
