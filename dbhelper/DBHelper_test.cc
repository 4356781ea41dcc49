#include "dbhelper/DBHelper.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dbhelper/row_scan.h"
#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

std::vector<std::string> fieldsOf(const DataRow& row) {
  return std::vector<std::string>(row.fields.begin(), row.fields.begin() + row.count);
}

TEST(TrimTest, RemovesSpaceTabLineFeedButNotCarriageReturn) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},       {" \t\n ", ""},       {"  a b  ", "a b"}, {"\ta\n", "a"},
      {"a\r", "a\r"}, {" \r x \r", "\r x \r"},
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.in), c.out) << "input [" << c.in << "]";
}

TEST(ParseLineTest, SplitsAtBarsAndTrims) {
  const struct {
    std::string line;
    std::vector<std::string> fields;
  } cases[] = {
      {"", {}},
      {"\n", {}},
      {"   ", {""}},
      {"a||b", {"a", "", "b"}},
      {"a|b|", {"a", "b"}},
      {"|a", {"", "a"}},
      {"a| ", {"a", ""}},
      {"|", {""}},
      {"|||", {"", "", ""}},
      {"x | y", {"x", "y"}},
      {"a b|c", {"a b", "c"}},
      {"a\r|b\r", {"a\r", "b\r"}},
      {"a|b\nc|d", {"a", "b"}},
      {std::string("a|b\0c|d", 7), {"a", "b"}},
      {"1|2|3|4|5|6|7|8|9|10|11|12", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
  };
  for (const auto& c : cases) EXPECT_EQ(fieldsOf(parseLine(c.line)), c.fields) << "line [" << c.line << "]";
}

TEST(ParseLineTest, NinetyNineSeparatorsKeepTenEmptyFields) {
  const DataRow row = parseLine(std::string(99, '|'));
  EXPECT_EQ(row.count, kMaxFields);
  for (int i = 0; i < row.count; ++i) EXPECT_EQ(row.fields[i], "");
}

TEST(ParseLineTest, FieldIsCappedAt199Characters) {
  const DataRow row = parseLine(std::string(300, 'x') + "|y");
  ASSERT_EQ(row.count, 2);
  EXPECT_EQ(row.fields[0], std::string(199, 'x'));
  EXPECT_EQ(row.fields[1], "y");
}

// The scan (both variants) and the cache's row index follow one row rule: where each row
// starts, and where the table ends, at the line limit with and without CR and LF.
TEST(RowRuleTest, ScanAndIndexAgreeOnWhereRowsStart) {
  const std::string l99(99, 'a');
  const std::string l100(100, 'b');
  std::string blocks;  // rows across 64-byte blocks, then a line too long inside one
  for (int i = 0; i < 40; ++i) blocks += std::string(static_cast<size_t>(i % 9), 'c') + "\n";
  const struct {
    const char* name;
    std::string bytes;
    size_t rows;  // rows before the table ends
  } cases[] = {
      {"99 characters", l99 + "\nx\n", 2},         {"99 characters and CR LF", l99 + "\r\nx\n", 2},
      {"100 characters end it", l100 + "\nx\n", 0}, {"100 and CR LF end it", l100 + "\r\nx\n", 0},
      {"last line of 99, no LF", "x\n" + l99, 2},   {"last line of 100, no LF", "x\n" + l100, 1},
      {"last line CR, no LF", "x\n" + l99 + "\r", 1}, {"empty lines count", "\n\n\n", 3},
      {"blocks, then too long", blocks + l100 + "\nx\n", 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* d = c.bytes.data();
    const size_t n = c.bytes.size();
    std::vector<size_t> starts{0};  // the index's walk
    for (size_t next; starts.back() < n && (next = nextRowStart(d, n, starts.back())) != SIZE_MAX;) {
      starts.push_back(next);
    }
    EXPECT_EQ(starts.size() - 1, c.rows);
    for (const bool baseline : {false, true}) {
      EXPECT_EQ(scanRows(d, n, 0, INT64_MAX, baseline).rows, static_cast<int64_t>(c.rows));
      for (size_t k = 1; k < starts.size(); ++k) {
        EXPECT_EQ(scanRows(d, n, 0, static_cast<int64_t>(k), baseline).next, starts[k]) << k;
      }
    }
  }
}

using LoadTest = TableTest;

struct LoadCase {
  const char* name;
  std::string file;
  int32_t rows;
  std::vector<std::string> rendered;  // getRow(1..rows)
};

TEST_F(LoadTest, CountsAndRendersRows) {
  const std::string l99 = std::string(97, 'a') + "|b";  // 99 characters
  const std::string l100 = std::string(98, 'a') + "|b";
  const LoadCase cases[] = {
      {"three rows", "N|S|D\na|1|x\nb|2|y\nc|3|z\n", 3, {"N=a,S=1,D=x", "N=b,S=2,D=y", "N=c,S=3,D=z"}},
      {"no final LF", "N|S|D\na|1|x\nb|2|y\nc|3|z", 3, {"N=a,S=1,D=x", "N=b,S=2,D=y", "N=c,S=3,D=z"}},
      {"empty line in the middle", "N|S\na|1\n\nb|2\n", 3, {"N=a,S=1", "", "N=b,S=2"}},
      {"spaces-only line", "N|S\n  \t \n", 1, {"N="}},
      {"empty last line", "N|S\na|1\n\n", 2, {"N=a,S=1", ""}},
      {"trimmed fields", "N | S\n  a |  1  \n", 1, {"N=a,S=1"}},
      {"fewer fields than header", "N|S|D\na\n", 1, {"N=a"}},
      {"more fields than header", "N|S\na|1|extra\n", 1, {"N=a,S=1"}},
      {"CR LF line ends", "N|S\r\na|1\r\nb|2\r\n", 2, {"N=a,S=1", "N=b,S=2"}},
      {"CR inside a line stays", "N|S\na\r|1\n", 1, {"N=a\r,S=1"}},
      {"99-character line loads", "N|S\n" + l99 + "\nc|3\n", 2, {"N=" + std::string(97, 'a') + ",S=b", "N=c,S=3"}},
      {"99 characters plus CR LF loads", "N|S\n" + l99 + "\r\nc|3\n", 2,
       {"N=" + std::string(97, 'a') + ",S=b", "N=c,S=3"}},
      {"100-character line ends the table", "N|S\na|1\n" + l100 + "\nc|3\n", 1, {"N=a,S=1"}},
      {"100-character last line without LF", "N|S\na|1\n" + l100, 1, {"N=a,S=1"}},
      {"header only", "N|S\n", 0, {}},
      {"header without LF", "N|S", 0, {}},
      {"empty file", "", 0, {}},
      {"long header hides every row", std::string(120, 'H') + "\na|1\n", 0, {}},
      {"NUL ends a field list", std::string("N|S\na\0b|c\n", 10), 1, {"N=a"}},
  };
  for (const ReadMode& mode : kReadModes) for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + mode.name);
    TestEnv env(mode);
    put(c.file);
    warm(path_, env.options);
#if defined(__linux__)
    // The cached mode must really answer from the cache (the temp directory is local;
    // elsewhere freshness is never proven and every call reads).
    if (mode.cacheMinBytes == 0) {
      EXPECT_GT(TableCache::instance().bytes(), 0u);
    }
#endif
    std::string trace;
    DBHelper t(path_, &trace, DBHelper::Access::kRead, env.options);
    ASSERT_TRUE(t.status().ok()) << t.status().ToString();
    EXPECT_EQ(trace, "DBHelper constructor\n");
    EXPECT_EQ(t.getNumRows(), c.rows);
    ASSERT_EQ(static_cast<int32_t>(c.rendered.size()), c.rows);
    for (int32_t i = 1; i <= c.rows; ++i) EXPECT_EQ(t.getRow(i), c.rendered[i - 1]) << "row " << i;
    for (int32_t bad : {0, -1, c.rows + 1, c.rows + 2, INT32_MAX, INT32_MIN}) EXPECT_EQ(t.getRow(bad), "") << bad;
  }
}

// Row lines of a file as the loader must see them, one line at a time.
std::vector<std::string> referenceRows(const std::string& file) {
  std::vector<std::string> rows;
  size_t pos = 0;
  bool header = true;
  while (pos < file.size()) {
    size_t e = file.find('\n', pos);
    const bool last = e == std::string::npos;
    if (last) e = file.size();
    std::string line = file.substr(pos, e - pos);
    if (!last && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineChars) break;
    if (!header) rows.push_back(line);
    header = false;
    if (last) break;
    pos = e + 1;
  }
  return rows;
}

TEST_F(LoadTest, AgreesWithLineByLineReadingOnRandomFiles) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 300; ++round) {
    TestEnv env(kReadModes[round % 3]);
    env.options.baselineScan = round % 2 == 1;  // where the processor has a faster variant, both
    std::string file = "A|B\n";
    const int lines = static_cast<int>(rng() % 400);
    for (int i = 0; i < lines; ++i) {
      // Mostly short lines; now and then one near or over the limit, or a CR LF end.
      const size_t len = rng() % 50 == 0 ? 95 + rng() % 10 : rng() % 40;
      for (size_t k = 0; k < len; ++k) file += static_cast<char>("ab|  c"[rng() % 6]);
      if (rng() % 7 == 0) file += '\r';
      file += '\n';
    }
    if (rng() % 2) file += "tail|no lf";
    put(file);
    const std::vector<std::string> rows = referenceRows(file);
    DBHelper t(path_, nullptr, DBHelper::Access::kRead, env.options);
    ASSERT_EQ(t.getNumRows(), static_cast<int32_t>(rows.size())) << "round " << round << ", " << kReadModes[round % 3].name;
    for (size_t i = 0; i < rows.size(); i += 1 + rng() % 20) {
      DBHelper one(path_, nullptr, DBHelper::Access::kRead, env.options);
      const DataRow want = parseLine(rows[i]);
      const DataRow got = one.dataRowAt(static_cast<int32_t>(i + 1));
      ASSERT_EQ(fieldsOf(got), fieldsOf(want)) << "round " << round << " row " << i + 1;
    }
  }
}

TEST_F(LoadTest, LongHeaderKeepsFirst99Characters) {
  put(std::string(99, 'H') + "XYZ|B\na|1\n");
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.headerName(1), std::string(99, 'H'));
  EXPECT_EQ(t.getNumRows(), 0);
}

TEST_F(LoadTest, ManyRowsHaveNoFixedLimit) {
  std::string file = "NAME|SCORE\n";
  for (int i = 1; i <= 5000; ++i) file.append("p").append(std::to_string(i)).append("|").append(std::to_string(i * 3)).append("\n");
  put(file);
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.getNumRows(), 5000);
  EXPECT_EQ(t.getRow(51), "NAME=p51,SCORE=153");
  EXPECT_EQ(t.getRow(5000), "NAME=p5000,SCORE=15000");
  EXPECT_EQ(t.getRow(5001), "");
}

TEST_F(LoadTest, HeaderLookups) {
  put("NAME|SCORE|DATE\n");
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.findColumn("NAME"), 0);
  EXPECT_EQ(t.findColumn("DATE"), 2);
  EXPECT_EQ(t.findColumn("name"), -1);
  EXPECT_EQ(t.findColumn(""), -1);
  EXPECT_EQ(t.headerName(2), "SCORE");
  EXPECT_EQ(t.headerName(0), "");
  EXPECT_EQ(t.headerName(4), "");
}

TEST_F(LoadTest, MissingFileIsAnEmptyTable) {
  std::string trace;
  DBHelper t(path_, &trace);
  EXPECT_TRUE(t.status().ok());
  EXPECT_EQ(t.getNumRows(), 0);
  EXPECT_EQ(t.getRow(1), "");
  EXPECT_EQ(trace, "DBHelper constructor\n");
  EXPECT_FALSE(exists());
}

TEST_F(LoadTest, UnreadablePathIsAnError) {
#if !defined(_WIN32)
  // None of these may block or be read: a FIFO would wait for a writer, /dev/zero never ends.
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> notFiles[] = {
      {dir_.string(), "irectory"}, {fifo, "is a FIFO"}, {"/dev/zero", "is a character device"}};
#else
  const std::pair<std::string, std::string> notFiles[] = {{dir_.string(), "irectory"}};
#endif
  for (const auto& [path, what] : notFiles) {
    for (const auto access : {DBHelper::Access::kRead, DBHelper::Access::kWrite, DBHelper::Access::kAppend}) {
      std::string trace;
      DBHelper t(path, &trace, access);
      EXPECT_EQ(t.status().code(), Status::Code::kIOError) << path;
      EXPECT_NE(t.status().ToString().find(what), std::string::npos) << t.status().ToString();
      EXPECT_EQ(t.getNumRows(), 0);
    }
  }
#if !defined(_WIN32)
  if (::geteuid() != 0) {  // root reads anything
    put("N\na\n");
    std::filesystem::permissions(path_, std::filesystem::perms::none);
    DBHelper denied(path_, nullptr);
    EXPECT_EQ(denied.status().code(), Status::Code::kIOError);
  }
#endif
}

#if !defined(_WIN32)
// The first read races another program's truncation to `gCutTo` bytes: it returns the old
// length with the bytes past the cut zeroed, as the kernel zeroes the page under a copy,
// but for the last `gCopiedFirst`, which the copy overtaking the zeroing got first.
std::string gRacedPath;
uint64_t gCutTo;
size_t gCopiedFirst;
bool gRaced;
long racingPread(int fd, void* buf, size_t n, int64_t off) {
  const long got = realSysCalls().pread(fd, buf, n, off);
  if (gRaced || got <= 0 || static_cast<uint64_t>(off) + static_cast<uint64_t>(got) <= gCutTo) return got;
  gRaced = true;
  if (::truncate(gRacedPath.c_str(), static_cast<off_t>(gCutTo)) != 0) return -1;
  const uint64_t from = std::max<uint64_t>(gCutTo, static_cast<uint64_t>(off)) - static_cast<uint64_t>(off);
  std::memset(static_cast<char*>(buf) + from, 0, static_cast<size_t>(got) - from - gCopiedFirst);
  return got;
}

TEST_F(LoadTest, ReadRacingATruncationAnswersTheTruncatedTable) {
  const std::string before = "N|S\na|1\nb|2\nc|3\n";
  const std::pair<uint64_t, size_t> races[] = {{0, 0}, {9, 0}, {12, 0}, {4, 3}, {9, 2}};
  for (const auto& [cut, copiedFirst] : races) {
    SCOPED_TRACE("cut to " + std::to_string(cut) + ", " + std::to_string(copiedFirst) + " copied first");
    put(before);
    TestEnv env;
    gRacedPath = path_;
    gCutTo = cut;
    gCopiedFirst = copiedFirst;
    gRaced = false;
    env.sys.pread = racingPread;
    int32_t rows = -1;
    std::string last;
    {
      DBHelper t(path_, nullptr, DBHelper::Access::kRead, env.options);
      rows = t.getNumRows();
      last = t.getRow(rows);
    }
    ASSERT_TRUE(gRaced);
    DBHelper fresh(path_, nullptr);
    EXPECT_EQ(rows, fresh.getNumRows());
    EXPECT_EQ(last, fresh.getRow(rows));
  }
}
#endif

}  // namespace
}  // namespace dbhelper
