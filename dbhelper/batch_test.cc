// Writes that the Table handle makes: many rows at once, rows from values by column name,
// the header of a new table, and letting go of a table.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dbhelper/DBHelper.h"
#include "dbhelper/freshness.h"
#include "dbhelper/kept_files.h"
#include "dbhelper/table_cache.h"
#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

std::vector<std::string> fieldsOf(const DataRow& row) {
  return std::vector<std::string>(row.fields.begin(), row.fields.begin() + row.count);
}

TEST(ValuesTest, StoresValuesAsGivenAndRefusesWhatReadingWouldChange) {
  const DataRow header = parseLine("NAME|SCORE|DATE");
  const std::string n60(60, 'n'), s39(39, 's');
  using Values = std::vector<std::pair<std::string_view, std::string_view>>;
  const struct {
    Values values;
    std::vector<std::string> fields;  // empty: refused
  } cases[] = {
      {{{"NAME", "Smith, J."}, {"SCORE", "900"}}, {"Smith, J.", "900"}},
      {{{"DATE", "1/1"}, {"NAME", "a=b"}, {"SCORE", ""}}, {"a=b", "", "1/1"}},
      {{{"NAME", "in side"}}, {"in side"}},
      {{{"NAME", "a|b"}}, {}},
      {{{"NAME", "a\rb"}}, {}},
      {{{"NAME", "a\nb"}}, {}},
      {{{"NAME", std::string_view("a\0b", 3)}}, {}},
      {{{"NAME", " lead"}}, {}},
      {{{"NAME", "trail\t"}}, {}},
      {{{"NICK", "x"}}, {}},
      {{{"NAME", "x"}, {"DATE", "y"}}, {}},  // a gap before DATE
      {{{"NAME", "x"}, {"NAME", "y"}}, {}},
      {{{"NAME", n60}, {"SCORE", s39}}, {}},  // a line of 100
  };
  for (const auto& c : cases) {
    DataRow row;
    const Status s = rowFromValues(c.values, header, &row);
    const std::string what = c.values.empty() ? "" : std::string(c.values[0].second);
    if (c.fields.empty()) {
      EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << "[" << what << "]";
      EXPECT_EQ(row.count, 0) << "[" << what << "]";
    } else {
      ASSERT_TRUE(s.ok()) << "[" << what << "] " << s.ToString();
      EXPECT_EQ(fieldsOf(row), c.fields);
      const std::string line = rowLine(row);
      EXPECT_EQ(fieldsOf(parseLine(std::string_view(line).substr(0, line.size() - kNewline.size()))), c.fields)
          << "reads back as written";
    }
  }
}

TEST(HeaderTest, RefusesNamesRecordTextCouldNotName) {
  using Names = std::vector<std::string_view>;
  const std::string a50(50, 'a'), b49(49, 'b'), b48(48, 'b');
  const Names refused[] = {
      {}, {""}, {"A", "A"}, {" A"}, {"A\t"}, {"A|B"}, {"A=B"}, {"A,B"}, {"A\r"}, {"A\n"},
      {std::string_view("A\0", 2)}, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"},
      {a50, b49},  // 100 bytes with the separator
  };
  for (const Names& names : refused) {
    DataRow header;
    EXPECT_EQ(headerFromColumns(names, &header).code(), Status::Code::kInvalidArgument)
        << (names.empty() ? "(none)" : std::string(names[0]));
  }
  DataRow header;
  ASSERT_TRUE(headerFromColumns({"NAME", "SCORE", "DATE"}, &header).ok());
  EXPECT_EQ(rowLine(header), std::string("NAME|SCORE|DATE") + std::string(kNewline));
  EXPECT_TRUE(headerFromColumns({a50, b48}, &header).ok());
}

class BatchTest : public TableTest {
 protected:
  std::string trace_;  // not looked at
};

TEST_F(BatchTest, HeaderGoesOnlyIntoAnEmptyFile) {
  DataRow header;
  ASSERT_TRUE(headerFromColumns({"NAME", "SCORE"}, &header).ok());
  const std::string nl(kNewline);
  const struct {
    std::string before;
    bool ok;
    std::string after;
  } cases[] = {
      {"", true, "NAME|SCORE" + nl},
      {"NAME|SCORE\na|1\n", true, "NAME|SCORE\na|1\n"},
      {"NAME|SCORE\r\n", true, "NAME|SCORE\r\n"},
      {"NAME|SCORE|DATE\n", false, "NAME|SCORE|DATE\n"},
      {"SCORE|NAME\n", false, "SCORE|NAME\n"},
      {"\n", false, "\n"},
  };
  for (const auto& c : cases) {
    put(c.before);
    Status s;
    {
      DBHelper t(path_, &trace_, DBHelper::Access::kWrite);
      ASSERT_TRUE(t.status().ok());
      s = t.writeHeader(header);
    }
    EXPECT_EQ(s.ok(), c.ok) << "[" << c.before << "] " << s.ToString();
    if (!c.ok) {
      EXPECT_NE(s.message().find("\"NAME|SCORE\""), std::string::npos) << s.message();
    }
    EXPECT_EQ(get(), c.after);
  }
}

TEST_F(BatchTest, AppendsEveryRowInOneWriteInEveryReadMode) {
  for (const ReadMode& mode : kReadModes) {
    for (const int n : {1, 3, 600}) {  // 600 rows cross several pages
      for (const std::string before : {"N|S\na|1\n", "N|S\na|1"}) {
        SCOPED_TRACE(std::string(mode.name) + " " + std::to_string(n) + " rows after [" + before + "]");
        TestEnv env(mode);
        put(before);
        warm(path_, env.options);
        std::vector<std::string> texts;
        std::string want = before.back() == '\n' ? before : before + std::string(kNewline);
        for (int i = 0; i < n; ++i) {
          texts.push_back("S=" + std::to_string(i) + ", N=p" + std::to_string(i));
          want += "p" + std::to_string(i) + "|" + std::to_string(i) + std::string(kNewline);
        }
        {
          DBHelper t(path_, &trace_, DBHelper::Access::kAppend, env.options);
          ASSERT_TRUE(t.writeRecords(std::vector<std::string_view>(texts.begin(), texts.end())).ok());
        }
        EXPECT_EQ(get(), want);
        DBHelper r(path_, &trace_, DBHelper::Access::kRead, env.options);
        EXPECT_EQ(r.getNumRows(), n + 1);
        EXPECT_EQ(r.getRow(n + 1), "N=p" + std::to_string(n - 1) + ",S=" + std::to_string(n - 1));
      }
    }
  }
}

TEST_F(BatchTest, OneRefusedRecordWritesNothing) {
  const std::vector<std::vector<std::string_view>> batches = {
      {"N=a", "X=b", "N=c"}, {"N=a", "", "N=c"}, {"N=a", "N=b|c"}, {"N=a", "S=1"}};
  for (const auto& batch : batches) {
    put("N|S\na|1\n");
    Status s;
    {
      DBHelper t(path_, &trace_, DBHelper::Access::kAppend);
      s = t.writeRecords(batch);
    }
    EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << batch[1];
    EXPECT_EQ(s.message().rfind("record 2 of " + std::to_string(batch.size()) + ": ", 0), 0u) << s.message();
    EXPECT_EQ(get(), "N|S\na|1\n");
  }
  DBHelper t(path_, &trace_, DBHelper::Access::kAppend);
  EXPECT_TRUE(t.writeRecords({}).ok());
  EXPECT_EQ(t.writeRecords({""}).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(get(), "N|S\na|1\n");
}

#if defined(__linux__)
TEST_F(BatchTest, ForgetLetsGoOfDescriptorImageAndWatch) {
  TestEnv env;
  put("N|S\na|1\n");
  closeKeptFiles();
  {
    DBHelper t(path_, &trace_, DBHelper::Access::kAppend, env.options);
    ASSERT_TRUE(t.writeRow("N=b").ok());
  }
  warm(path_, env.options);
  FileInfo info;
  ASSERT_TRUE(File::StatPath(path_, &info, true).ok());
  Snapshot snap;
  ASSERT_NE(TableCache::instance().find(info.id), nullptr);
  ASSERT_TRUE(snapshotByPath(info, env.sys, &snap)) << "watched";
  DBHelper::Forget(path_, env.options);
  EXPECT_EQ(TableCache::instance().find(info.id), nullptr);
  EXPECT_FALSE(snapshotByPath(info, env.sys, &snap)) << "no longer watched";
  EXPECT_FALSE(takeKeptFile(path_, env.sys).has_value());
  DBHelper r(path_, &trace_, DBHelper::Access::kRead, env.options);  // and reads it afresh
  EXPECT_EQ(r.getRow(2), "N=b");
}
#endif

}  // namespace
}  // namespace dbhelper
