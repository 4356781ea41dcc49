// Line splitting: at most 10 trimmed fields of at most 199 bytes, none holding a
// separator, LF or NUL; splitting the fields joined again gives the same fields.
#include "dbhelper/DBHelper.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const dbhelper::DataRow row = dbhelper::parseLine(line);
  FUZZ_CHECK(row.count >= 0 && row.count <= dbhelper::kMaxFields);
  std::string joined;
  for (int32_t i = 0; i < row.count; ++i) {
    const std::string& f = row.fields[i];
    FUZZ_CHECK(f.size() <= dbhelper::kMaxFieldChars);
    FUZZ_CHECK(f.find_first_of(std::string_view("|\n\0", 3)) == std::string::npos);
    // A field cut at 199 characters may end in a space (and then not split back the
    // same); table lines never get that long.
    if (size <= dbhelper::kMaxLineChars) FUZZ_CHECK(dbhelper::trim(f) == f);
    if (i > 0) joined += '|';
    joined += f;
  }
  // A last empty field is written as a trailing separator, which splits to nothing.
  if (size <= dbhelper::kMaxLineChars && row.count > 0 && !row.fields[row.count - 1].empty()) {
    const dbhelper::DataRow again = dbhelper::parseLine(joined);
    FUZZ_CHECK(again.count == row.count);
    for (int32_t i = 0; i < row.count; ++i) FUZZ_CHECK(again.fields[i] == row.fields[i]);
  }
  return 0;
}
