// A line longer than the limit ends the table for every reader: writes that would land
// at or after it are refused, so no write succeeds that no read can see.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "dbhelper/DBHelper.h"
#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

class HiddenRowsTest : public TableTest {
 protected:
  std::string trace_;  // not looked at
};

TEST_F(HiddenRowsTest, WritesPastALongLineAreRefusedAndBeforeItAllowed) {
  const std::string longLine(113, 'x');
  const struct {
    const char* name;
    std::string table;
    int32_t line;       // 0: writeRow, -1: writeRows of two, else writeRowToLine
    bool refused;
    const char* names;  // the line the refusal names
    int32_t rows;       // rows read afterwards
  } cases[] = {
      {"append after a long line", "N|S\na|1\n" + longLine + "\nb|2\n", 0, true, "line 3 ", 1},
      {"batch after a long line", "N|S\na|1\n" + longLine + "\nb|2\n", -1, true, "line 3 ", 1},
      {"insert after a long line", "N|S\na|1\n" + longLine + "\nb|2\n", 3, true, "line 3 ", 1},
      {"insert just before a long line", "N|S\na|1\n" + longLine + "\nb|2\n", 2, false, "", 2},
      {"insert at row 1", "N|S\na|1\n" + longLine + "\n", 1, false, "", 2},
      {"append after a long last line", "N|S\na|1\n" + longLine + "\n", 0, true, "line 3 ", 1},
      {"append after a long unterminated last line", "N|S\na|1\n" + longLine, 0, true, "line 3 ", 1},
      {"append under a long header", "N|" + longLine + "\na|1\n", 0, true, "(the header) is longer", 0},
      {"append to rows that reach the end", "N|S\na|1\n" + std::string(99, 'y') + "\n", 0, false, "", 3},
      {"batch after an unterminated last row", "N|S\na|1", -1, false, "", 3},
  };
  for (const ReadMode& mode : kReadModes) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(mode.name) + ": " + c.name);
      TestEnv env(mode);
      put(c.table);
      warm(path_, env.options);
      Status s;
      {
        DBHelper t(path_, &trace_, c.line == 0 ? DBHelper::Access::kAppend : DBHelper::Access::kWrite, env.options);
        ASSERT_TRUE(t.status().ok());
        s = c.line == 0 ? t.writeRow("N=new") : c.line < 0 ? t.writeRecords({"N=n1", "N=n2"}) : t.writeRowToLine("N=new", c.line);
      }
      if (c.refused) {
        EXPECT_EQ(s.code(), Status::Code::kIOError) << s.ToString();
        EXPECT_NE(s.message().find(c.names), std::string::npos) << s.message();
        EXPECT_EQ(get(), c.table) << "nothing written";
      } else {
        EXPECT_TRUE(s.ok()) << s.ToString();
        EXPECT_NE(get(), c.table);
      }
      DBHelper r(path_, &trace_, DBHelper::Access::kRead, env.options);
      EXPECT_EQ(r.getNumRows(), c.rows);
    }
  }
}

std::atomic<uint64_t> gReadBytes{0};
long countingPread(int fd, void* buf, size_t n, int64_t off) {
  const long got = realSysCalls().pread(fd, buf, n, off);
  if (got > 0) gReadBytes += static_cast<uint64_t>(got);
  return got;
}

#if defined(__linux__)
TEST_F(HiddenRowsTest, StreamedTableIsScannedOnceWhileOnlyOurAppendsChangeIt) {
  TestEnv env;
  env.options.imageLimit = 0;  // every table streamed
  env.sys.pread = countingPread;
  std::string table = "N|S\n";
  for (int i = 0; i < 20000; ++i) table += "r" + std::to_string(i) + "|" + std::to_string(i) + "\n";
  // Both appends below stay within one page: one that crosses a page takes several
  // system calls and drops what the scan found.
  while (table.size() % kPage != kPage / 2) table += "p\n";
  put(table);
  auto append = [&](const char* text) {
    DBHelper t(path_, &trace_, DBHelper::Access::kAppend, env.options);
    return t.writeRow(text);
  };
  ASSERT_TRUE(append("N=a").ok());  // scans the file once
  gReadBytes = 0;
  ASSERT_TRUE(append("N=b").ok());
  EXPECT_LT(gReadBytes.load(), table.size() / 4) << "the second append scanned the table again";
  // Another program's change to the file is seen: a long line in the middle hides the end.
  std::string edited = get();
  edited.replace(edited.find("r10000|10000"), 12, std::string(120, 'x'));
  put(edited);
  const Status s = append("N=c");
  EXPECT_EQ(s.code(), Status::Code::kIOError) << s.ToString();
  EXPECT_EQ(get(), edited);
}
#endif

}  // namespace
}  // namespace dbhelper
