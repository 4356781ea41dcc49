// Table loading from arbitrary bytes, checked against a plain model of the format: lines
// end at LF (a CR before it belongs to the line end) or at the end of the file; the first
// line is the header; the first line longer than 99 characters ends the table.
#include <cstring>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/recovery.h"
#include "fuzz/fuzz_util.h"

namespace {

std::vector<std::string_view> modelLines(std::string_view d) {
  std::vector<std::string_view> lines;
  size_t p = 0;
  while (p < d.size()) {
    size_t e = d.find('\n', p);
    const size_t next = e == std::string_view::npos ? d.size() : e + 1;
    if (e == std::string_view::npos) e = d.size();
    std::string_view l = d.substr(p, e - p);
    if (e < d.size() && !l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.size() > dbhelper::kMaxLineChars) break;
    lines.push_back(l);
    p = next;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::MemTable table;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  // A valid undo record at the end would (rightly) be rolled back; the CRC makes that rare.
  dbhelper::UndoRecord rec;
  if (size >= dbhelper::kUndoRecordSize &&
      dbhelper::decodeUndoRecord(in.data() + size - dbhelper::kUndoRecordSize, size, &rec)) {
    return 0;
  }
  table.set(in);
  std::string trace;
  dbhelper::DBHelper t(table.path(), &trace);
  FUZZ_CHECK(t.status().ok());
  const int32_t n = t.getNumRows();

  const std::vector<std::string_view> lines = modelLines(in);
  // The header line is always split, even when it is too long to end the table properly.
  const size_t hdrEnd = std::min(in.find('\n'), in.size());
  std::string_view hdr = in.substr(0, hdrEnd);
  if (hdrEnd < in.size() && !hdr.empty() && hdr.back() == '\r') hdr.remove_suffix(1);
  const dbhelper::DataRow header = dbhelper::parseLine(hdr.substr(0, dbhelper::kMaxLineChars));
  const int32_t want = lines.empty() ? 0 : static_cast<int32_t>(lines.size()) - 1;
  FUZZ_CHECK(n == want);
  for (int32_t k = 0; k < header.count; ++k) FUZZ_CHECK(t.headerName(k + 1) == header.fields[k]);

  std::vector<int32_t> probes = {-1, 0, 1, 2, n / 2, n, n + 1, INT32_MAX, INT32_MIN};
  for (const int32_t i : probes) {
    const std::string got = t.getRow(i);
    std::string expect;
    if (i >= 1 && i <= n) {
      const dbhelper::DataRow row = dbhelper::parseLine(lines[static_cast<size_t>(i)]);
      for (int32_t j = 0; j < std::min(row.count, header.count); ++j) {
        if (j > 0) expect += ',';
        expect += header.fields[j] + "=" + row.fields[j];
      }
    }
    FUZZ_CHECK(got == expect);
  }
  FUZZ_CHECK(table.get() == in);  // reading never writes
  return 0;
}
