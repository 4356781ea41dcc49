// Tables past 2 GiB, where one read(2) returns less than the file holds. These need
// several GiB of disk or memory and seconds of I/O, so they run only when DBIFACE_BIG
// is set (the reliability stage does).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "dbhelper/DBHelper.h"
#include "dbhelper/recovery.h"

namespace dbhelper {
namespace {

#if !defined(_WIN32)

namespace fs = std::filesystem;

// Past 0x7ffff000, the most Linux returns from one read.
constexpr uint64_t kBig = (2ull << 30) + (8u << 20);

class LargeTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DBIFACE_BIG") == nullptr) GTEST_SKIP() << "set DBIFACE_BIG=1 to run";
    // Memory-backed when it can be: an insertion moves the whole tail twice.
    for (const fs::path& dir : {fs::path("/dev/shm"), fs::temp_directory_path()}) {
      std::error_code ec;
      if (fs::space(dir, ec).available > 3 * kBig && !ec) {
        path_ = (dir / ("dbiface-large-" + std::to_string(::getpid()))).string();
        return;
      }
    }
    GTEST_SKIP() << "needs " << 3 * kBig / (1 << 20) << " MiB free in /dev/shm or the temp directory";
  }
  void TearDown() override {
    if (!path_.empty()) fs::remove(path_);
  }

  void pwriteAt(uint64_t off, const std::string& bytes) {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(off)), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  std::string bytesAt(uint64_t off, size_t n) {
    std::string out(n, '\0');
    const int fd = ::open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    out.resize(static_cast<size_t>(std::max<ssize_t>(0, ::pread(fd, out.data(), n, static_cast<off_t>(off)))));
    ::close(fd);
    return out;
  }
  Status write(const std::string& text, int32_t line) {
    std::string trace;
    DBHelper t(path_, &trace, line == 0 ? DBHelper::Access::kAppend : DBHelper::Access::kWrite);
    if (!t.status().ok()) return t.status();
    return line == 0 ? t.writeRow(text) : t.writeRowToLine(text, line);
  }

  std::string path_;
};

TEST_F(LargeTableTest, SparseTablePastTwoGiBKeepsItsEnd) {
  const std::string head = "NAME|SCORE|DATE\na|1|x\nb|2|y\nc|3|z\n";
  std::FILE* f = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(head.c_str(), f);
  ASSERT_EQ(std::fclose(f), 0);
  fs::resize_file(path_, kBig);  // the NUL bytes make one line too long: it ends the table
  {
    DBHelper t(path_, nullptr);
    EXPECT_EQ(t.getNumRows(), 3);
    EXPECT_EQ(t.getRow(3), "NAME=c,SCORE=3,DATE=z");
  }
  const std::string last = "LAST|999|z\n";
  // The NUL line hides what follows it, so an append there is refused, past 2 GiB as
  // anywhere; LAST goes there by hand, as another program would put it.
  const Status refused = write("NAME=LAST,SCORE=999,DATE=z", 0);
  EXPECT_EQ(refused.code(), Status::Code::kIOError) << refused.ToString();
  EXPECT_NE(refused.message().find("line 5 "), std::string::npos) << refused.message();
  ASSERT_EQ(fs::file_size(path_), kBig);
  pwriteAt(kBig, "\n" + last);
  uint64_t size = fs::file_size(path_);
  ASSERT_EQ(size, kBig + 1 + last.size());
  EXPECT_EQ(bytesAt(size - last.size() - 1, last.size() + 1), "\n" + last);

  // What an insertion before LAST leaves when killed after its in-place write: the
  // moved tail, its copy and the record, all past 2 GiB.
  const std::string line = "new|1|n\n";
  UndoRecord rec;
  rec.oldSize = size;
  rec.pos = size - last.size();
  rec.copyOff = size + line.size();
  rec.tailLen = last.size();
  rec.copyComplete = true;
  char raw[kUndoRecordSize];
  encodeUndoRecord(rec, raw);
  pwriteAt(rec.pos, line + last + last);
  pwriteAt(rec.fileEnd() - kUndoRecordSize, std::string(raw, sizeof raw));
  {
    DBHelper t(path_, nullptr);
    ASSERT_TRUE(t.status().ok()) << t.status().ToString();
    EXPECT_EQ(t.getNumRows(), 3);
  }
  ASSERT_EQ(fs::file_size(path_), size);
  EXPECT_EQ(bytesAt(size - last.size(), last.size()), last);

  // Insertions at line 1 and after the last row move the whole tail, LAST included.
  const std::string first = "first|0|f\n";
  const std::string end = "end|4|e\n";
  ASSERT_TRUE(write("NAME=first,SCORE=0,DATE=f", 1).ok());
  ASSERT_TRUE(write("NAME=end,SCORE=4,DATE=e", 5).ok());
  size += first.size() + end.size();
  ASSERT_EQ(fs::file_size(path_), size);
  EXPECT_EQ(bytesAt(0, 200).substr(0, head.size() + first.size() + end.size()),
            "NAME|SCORE|DATE\nfirst|0|f\na|1|x\nb|2|y\nc|3|z\nend|4|e\n");
  EXPECT_EQ(bytesAt(size - last.size() - 1, last.size() + 1), "\n" + last);
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.getNumRows(), 5);
  EXPECT_EQ(t.getRow(5), "NAME=end,SCORE=4,DATE=e");
}

TEST_F(LargeTableTest, RowCountPastAnIntIsAnError) {
  // 2^31 + 7 empty rows: one LF each.
  std::FILE* f = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("N\n", f);
  const std::string lfs(1 << 20, '\n');
  for (int i = 0; i < 2048; ++i) ASSERT_EQ(std::fwrite(lfs.data(), 1, lfs.size(), f), lfs.size());
  std::fputs("\n\n\n\n\n\nlast\n", f);
  ASSERT_EQ(std::fclose(f), 0);
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.getNumRows(), 0);
  EXPECT_EQ(t.status().code(), Status::Code::kOverflow);
  EXPECT_NE(t.status().message().find("2147483655 rows"), std::string::npos) << t.status().message();
}

#endif  // !_WIN32

}  // namespace
}  // namespace dbhelper
