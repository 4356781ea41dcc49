// The operator's tools: the checker read whole and in chunks, replacement after an edit,
// and backups of a table with and without an unfinished write.
#include "dbhelper/table_tools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "dbhelper/DBHelper.h"
#include "dbhelper/recovery.h"
#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

using namespace std::string_literals;

class TableToolsTest : public TableTest {
 protected:
  // `table` as a write killed while it overwrote from `pos` leaves it: the new bytes
  // half in, the copy of the old ones and a record saying the copy is complete.
  static std::string unfinished(const std::string& table, uint64_t pos, const std::string& line) {
    UndoRecord rec;
    rec.oldSize = table.size();
    rec.pos = pos;
    rec.copyOff = table.size() + line.size();
    rec.tailLen = table.size() - pos;
    rec.copyComplete = true;
    std::string f(rec.fileEnd(), '\0');
    f.replace(0, table.size(), table);
    f.replace(pos, line.size() / 2, line.substr(0, line.size() / 2));
    f.replace(rec.copyOff, rec.tailLen, table.substr(pos));
    encodeUndoRecord(rec, f.data() + f.size() - kUndoRecordSize);
    return f;
  }

  static std::vector<Finding::Kind> kinds(const std::vector<Finding>& findings) {
    std::vector<Finding::Kind> out;
    for (const Finding& f : findings) out.push_back(f.kind);
    return out;
  }

  Options options_;
};

using K = Finding::Kind;

TEST_F(TableToolsTest, CheckFindsTheSameWholeAndInChunks) {
  const std::string h = "NAME|SCORE|DATE\n";
  const std::string t3 = h + "ann|10|1/1/2020\nbob|20|2/2/2020\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<K> want;
    int64_t line;  // of the first finding
  } cases[] = {
      {"clean", t3, {}, 0},
      {"clean CRLF", "N|S\r\na|1\r\n", {}, 0},
      {"clean, no final LF", h + "ann|1", {}, 0},
      {"99 bytes are allowed, a CR before LF not counted", "N|S\r\n" + std::string(99, 'a') + "\r\n", {}, 0},
      {"10 fields and a trailing bar", h + "a|b|c|d|e|f|g|h|i|j|\n", {}, 0},
      {"empty", "", {K::kNoHeader}, 0},
      {"blank header", " \na|1\n", {K::kNoHeader}, 1},
      {"100 bytes", h + "a|1\n" + std::string(100, 'x') + "\nb|2\n", {K::kLongLine}, 3},
      {"a long header", std::string(150, 'H') + "\na|1\n", {K::kLongLine}, 1},
      {"a CR at the very end counts", h + std::string(99, 'a') + "\r", {K::kLongLine}, 2},
      {"two long lines", h + std::string(120, 'x') + "\n" + std::string(300, 'y') + "\n", {K::kLongLine, K::kLongLine}, 2},
      {"11 fields", h + "a|b|c|d|e|f|g|h|i|j|k\n", {K::kTooManyFields}, 2},
      {"NUL", h + "a\0b|1\nok|2\n"s, {K::kNul}, 2},
      {"mixed", h + "a|1\r\nb|2\n", {K::kMixedLineEnds}, 2},
      {"undo record", unfinished(t3, h.size(), "dan|5|d\n"), {K::kUndoRecord}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Finding> whole = checkText(c.text, path_);
    EXPECT_EQ(kinds(whole), c.want);
    if (!whole.empty()) {
      EXPECT_EQ(whole.front().line, c.line) << whole.front().text;
    }
    // Streamed through 128-byte chunks, without the lock, and under it in one read.
    for (uint64_t limit : {uint64_t{0}, uint64_t{64} << 20}) {
      put(c.text);
      Options o;
      o.imageLimit = limit;
      std::vector<Finding> read;
      ASSERT_TRUE(checkTable(path_, o, &read).ok());
      ASSERT_EQ(read.size(), whole.size());
      for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i].text, whole[i].text);
    }
    EXPECT_EQ(get(), c.text) << "check changed the file";
  }
}

TEST_F(TableToolsTest, CheckListsAFewOfAKindAndCountsTheRest) {
  std::string t = "N|S\n";
  for (int i = 0; i < 30; ++i) t += "a\0|1\n"s;
  const std::vector<Finding> f = checkText(t, "t", 5);
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f.back().text, "... and 25 more lines like that in t");
}

TEST_F(TableToolsTest, RepairRollsBackAnUnfinishedWriteAndNothingElse) {
  const std::string t = "N|S\na|1\r\nb\0|2\n"s;
  for (const bool leftover : {true, false}) {
    put(leftover ? unfinished(t, 4, "zz|9\n") : t);
    bool repaired = !leftover;
    ASSERT_TRUE(repairTable(path_, options_, &repaired).ok());
    EXPECT_EQ(repaired, leftover);
    EXPECT_EQ(get(), t);  // the NUL and the mixed line ends stay
  }
  bool repaired = false;
  EXPECT_FALSE(repairTable(path_ + ".none", options_, &repaired).ok());
  EXPECT_FALSE(std::filesystem::exists(path_ + ".none"));
}

TEST_F(TableToolsTest, ListIsEveryRowAsRowText) {
  put("NAME|SCORE\nann|10\n\nbob\n");
  std::string texts;
  int64_t rows = 0;
  ASSERT_TRUE(listRows(path_, options_, &texts, &rows).ok());
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(texts, "NAME=ann,SCORE=10\n\nNAME=bob\n");
  EXPECT_FALSE(listRows(path_ + ".none", options_, &texts, &rows).ok());
}

TEST_F(TableToolsTest, ReplaceKeepsAppendsAndRefusesOtherChanges) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows cannot rename a file over one that is open";
#endif
  const std::string base = "N|S\na|1\nb|2\n";
  const std::string edited = "N|S\na|9\n";
  const struct {
    const char* name;
    std::string now;     // the table when the edit is applied
    std::string edited;
    Status::Code code;
    std::string after;   // the table afterwards
    int64_t kept;
  } cases[] = {
      {"unchanged meanwhile", base, edited, Status::Code::kOk, edited, 0},
      {"rows appended meanwhile", base + "c|3\nd|4\n", edited, Status::Code::kOk, edited + "c|3\nd|4\n", 2},
      {"edit without a final LF", base + "c|3\n", "N|S\na|9", Status::Code::kOk, "N|S\na|9\nc|3\n", 1},
      {"a row inserted meanwhile", "N|S\nz|0\na|1\nb|2\n", edited, Status::Code::kChanged, "N|S\nz|0\na|1\nb|2\n", 0},
      {"a row changed meanwhile", "N|S\na|1\nb|3\n", edited, Status::Code::kChanged, "N|S\na|1\nb|3\n", 0},
      {"truncated meanwhile", "N|S\na|1\n", edited, Status::Code::kChanged, "N|S\na|1\n", 0},
      {"the header changed, with appends", base + "c|3\n", "N|T\na|1\n", Status::Code::kChanged, base + "c|3\n", 0},
      {"the header changed, no appends", base, "N|T\na|1\n", Status::Code::kOk, "N|T\na|1\n", 0},
      {"an edit that hides rows", base, "N|S\n" + std::string(200, 'x') + "\na|1\n", Status::Code::kInvalidArgument,
       base, 0},
      {"an edit without a header", base, "", Status::Code::kInvalidArgument, base, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    put(c.now);
    std::filesystem::permissions(path_, std::filesystem::perms(0640));
    int64_t kept = -1;
    const Status s = replaceTable(path_, options_, base, c.edited, &kept);
    EXPECT_EQ(s.code(), c.code) << s.ToString();
    EXPECT_EQ(get(), c.after);
    if (s.ok()) {
      EXPECT_EQ(kept, c.kept);
    }
#if !defined(_WIN32)
    EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0640));
#endif
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "a temporary file was left";
  }
}

TEST_F(TableToolsTest, ReplaceThroughASymbolicLinkReplacesTheFileItNames) {
#if defined(_WIN32)
  GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
  put("N|S\na|1\n");
  const std::string link = (dir_ / "link.txt").string();
  std::filesystem::create_symlink(path_, link);
  int64_t kept = 0;
  ASSERT_TRUE(replaceTable(link, options_, "N|S\na|1\n", "N|S\na|2\n", &kept).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(get(), "N|S\na|2\n");
}

// Renames PATH.new over PATH once, just before the first exclusive lock is asked for.
std::string gReplaceBeforeLock;
int replacingLock(int fd, int type, int region) {
  if (type == 2 && !gReplaceBeforeLock.empty()) {
    const std::string path = std::exchange(gReplaceBeforeLock, std::string());
    std::filesystem::rename(path + ".new", path);
  }
  return realSysCalls().lock(fd, type, region);
}

TEST_F(TableToolsTest, AWriteAfterAReplacementGoesToTheNewFile) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows cannot rename a file over one that is open";
#endif
  put("N|S\na|1\n");
  std::string trace;
  Status written;
  {
    // Hold the table's lock as an edit does, and rename a new file over it meanwhile.
    std::optional<DBHelper> holder;
    holder.emplace(path_, &trace, DBHelper::Access::kWrite, options_);
    ASSERT_TRUE(holder->status().ok());
    std::thread writer([&] {
      std::string t;
      DBHelper w(path_, &t, DBHelper::Access::kWrite, options_);
      written = w.status().ok() ? w.writeRow("N=late") : w.status();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer waits for the lock
    put(path_ + ".new", "N|S\nb|2\n");
    std::filesystem::rename(path_ + ".new", path_);
    holder.reset();
    writer.join();
  }
  ASSERT_TRUE(written.ok()) << written.ToString();
  EXPECT_EQ(get(), "N|S\nb|2\nlate\n");

  // An edit that locked, renamed and let go between a writer's open and its lock: the
  // writer never waits, and must still write into the new file.
  put("N|S\na|1\n");
  put(path_ + ".new", "N|S\nc|3\n");
  gReplaceBeforeLock = path_;
  TestEnv env;
  env.sys.lock = replacingLock;
  written = DBHelper(path_, &trace, DBHelper::Access::kWrite, env.options).writeRow("N=late");
  ASSERT_TRUE(written.ok()) << written.ToString();
  EXPECT_TRUE(gReplaceBeforeLock.empty());
  EXPECT_EQ(get(), "N|S\nc|3\nlate\n");
}

TEST_F(TableToolsTest, BackupIsTheTableAfterRecoveryAndNeverTheTableItself) {
  const std::string t = "N|S\na|1\nb|2\n";
  const std::string dest = (dir_ / "b.txt").string();
  BackupStats stats;
  for (const std::string& file : {t, unfinished(t, 4, "zz|9\n")}) {
    put(file);
    ASSERT_TRUE(backupTable(path_, dest, options_, &stats).ok());
    EXPECT_EQ(get(dest), t);
    EXPECT_EQ(stats.bytes, t.size());
    EXPECT_EQ(stats.rounds, file == t ? 1 : 2);  // the unlocked copy held the record
  }
  // Into a directory: the table's own name there.
  std::filesystem::create_directory(dir_ / "sub");
  ASSERT_TRUE(backupTable(path_, (dir_ / "sub").string(), options_, &stats).ok());
  EXPECT_EQ(get((dir_ / "sub" / "table.txt").string()), t);
  // Refused: the table itself (by another name), a missing directory, a missing table.
  EXPECT_EQ(backupTable(path_, dir_.string(), options_, &stats).code(), Status::Code::kInvalidArgument);
  EXPECT_FALSE(backupTable(path_, (dir_ / "no" / "b.txt").string(), options_, &stats).ok());
  EXPECT_FALSE(backupTable(path_ + ".none", dest, options_, &stats).ok());
  EXPECT_EQ(get(), t);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 3) << "a temporary file was left";
}

}  // namespace
}  // namespace dbhelper
