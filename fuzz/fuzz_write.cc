// Appends and insertions against an in-memory model. The input picks a table size (so
// writes take both the single-write and the undo-record path) and then a series of
// operations with arbitrary record text. A refused write must leave the file unchanged;
// an accepted one must add exactly one well-formed line at the right place and nothing
// else, and the table must count one more row.
#include "dbhelper/DBHelper.h"
#include "fuzz/fuzz_util.h"

namespace {

size_t lineStart(const std::string& t, int32_t line) {
  size_t p = 0;
  for (int32_t k = 0; k < line; ++k) p = t.find('\n', p) + 1;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::MemTable table;
  if (size < 2) return 0;
  // Up to 510 rows of 24 bytes: up to three pages.
  const int32_t rows0 = data[0] * 2;
  std::string model = "NAME|SCORE|DATE|X\n";
  for (int32_t i = 0; i < rows0; ++i) {
    std::string line = "r" + std::to_string(i) + "|" + std::to_string(i) + "|d";
    line.resize(23, 'z');
    model += line + "\n";
  }
  table.set(model);
  int32_t rows = rows0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  // Operations are separated by a 0xFF byte: the first byte of each is the line (0 appends),
  // the rest the record text.
  while (!rest.empty()) {
    const size_t cut = rest.find('\xff');
    std::string_view op = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    if (op.empty()) continue;
    const int32_t sel = static_cast<unsigned char>(op[0]);
    const std::string_view text = op.substr(1);
    // Lines: 0 appends; 1..200 scale to 1..rows+1; 201.. step outside the table.
    int32_t line = 0;
    if (sel > 0 && sel <= 200) line = 1 + (sel - 1) * (rows + 1) / 200;
    if (sel > 200) line = sel % 2 == 0 ? rows + 2 + (sel - 201) : -(sel - 201);
    dbhelper::Status s;
    {
      std::string trace;
      dbhelper::DBHelper t(table.path(), &trace,
                           line == 0 ? dbhelper::DBHelper::Access::kAppend : dbhelper::DBHelper::Access::kWrite);
      FUZZ_CHECK(t.status().ok());
      s = line == 0 ? t.writeRow(text) : t.writeRowToLine(text, line);
    }
    const std::string now = table.get();
    if (!s.ok()) {
      FUZZ_CHECK(s.code() == dbhelper::Status::Code::kInvalidArgument || s.code() == dbhelper::Status::Code::kOutOfRange);
      // A record is checked before its line, so a bad record at a bad line is InvalidArgument.
      if (s.code() == dbhelper::Status::Code::kOutOfRange) FUZZ_CHECK(line < 0 || line > rows + 1);
      FUZZ_CHECK(now == model);
      continue;
    }
    FUZZ_CHECK(line >= 0 && line <= rows + 1);  // a line outside the table must be refused
    const size_t at = line == 0 ? model.size() : lineStart(model, line);
    if (text.empty()) {  // an empty record is no row: nothing is written
      FUZZ_CHECK(now == model);
      continue;
    }
    FUZZ_CHECK(now.size() > model.size());
    const size_t added = now.size() - model.size();
    FUZZ_CHECK(now.compare(0, at, model, 0, at) == 0);
    FUZZ_CHECK(now.compare(at + added, std::string::npos, model, at, std::string::npos) == 0);
    const std::string newLine = now.substr(at, added);
    FUZZ_CHECK(newLine.back() == '\n' && newLine.find('\n') == added - 1);
    FUZZ_CHECK(newLine.size() - 1 <= dbhelper::kMaxLineChars);
    FUZZ_CHECK(newLine.find('\0') == std::string::npos);
    const dbhelper::DataRow row = dbhelper::parseLine(newLine);
    FUZZ_CHECK(row.count <= 4);
    model = now;
    ++rows;
    std::string trace;
    dbhelper::DBHelper check(table.path(), &trace);
    FUZZ_CHECK(check.getNumRows() == rows);
  }
  return 0;
}
