// The cache across this process's own writes: an append or insertion keeps the image
// current when nothing else is seen, and drops it when anything else is.
#include "dbhelper/table_cache.h"

#include <gtest/gtest.h>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

using OwnWriteTest = TableTest;

// A reader that cannot read the file: it answers only from a cached image.
long noPread(int, void*, size_t, int64_t) {
  errno = EIO;
  return -1;
}

std::string rowText(int k) { return "NAME=p" + std::to_string(k) + ",SCORE=" + std::to_string(k * 7) + ",DATE=d"; }
std::string record(int k) { return "NAME=p" + std::to_string(k) + ", SCORE=" + std::to_string(k * 7) + ", DATE=d"; }

// Expects every row of the table, read through `options`, to be `rows`.
void expectRows(const std::string& path, const Options& options, const std::vector<std::string>& rows) {
  DBHelper t(path, nullptr, DBHelper::Access::kRead, options);
  ASSERT_TRUE(t.status().ok()) << t.status().ToString();
  ASSERT_EQ(t.getNumRows(), static_cast<int32_t>(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(t.getRow(static_cast<int32_t>(i + 1)), rows[i]) << "row " << i + 1;
  EXPECT_EQ(t.getRow(static_cast<int32_t>(rows.size() + 1)), "");
}

FileId idOf(const std::string& path) {
  FileInfo info;
  EXPECT_TRUE(File::StatPath(path, &info).ok());
  return info.id;
}

TEST_F(OwnWriteTest, AppendsKeepTheImageAndInsertionsDropIt) {
  // Start sizes around the index stride (8 rows), appends and insertions at random
  // lines: after every append a reader that cannot read the file must see the table as
  // written; after an insertion (several system calls) the entry is gone.
  for (const int start : {0, 1, 7, 8, 9, 63, 200}) {
    SCOPED_TRACE("start rows " + std::to_string(start));
    std::vector<std::string> model;
    std::string text = "NAME|SCORE|DATE\n";
    for (int k = 0; k < start; ++k) {
      text += "p" + std::to_string(k) + "|" + std::to_string(k * 7) + "|d\n";
      model.push_back(rowText(k));
    }
    put(text);
    TestEnv writer;
    writer.options.outsiderQuiet = std::chrono::milliseconds(0);
    TestEnv reader;
    reader.sys.pread = noPread;
    // The first read fills the cache, and builds its index every other round.
    {
      DBHelper t(path_, nullptr, DBHelper::Access::kRead, writer.options);
      if (start % 2 == 0) t.getRow(1);
      EXPECT_EQ(t.getNumRows(), start);
    }
    std::mt19937 rng(static_cast<unsigned>(start));
    for (int w = 0; w < 40; ++w) {
      const int k = 1000 + w;
      const bool append = rng() % 3 == 0;
      const int32_t line = static_cast<int32_t>(rng() % (model.size() + 1)) + 1;
      {
        DBHelper t(path_, nullptr, append ? DBHelper::Access::kAppend : DBHelper::Access::kWrite, writer.options);
        ASSERT_TRUE((append ? t.writeRow(record(k)) : t.writeRowToLine(record(k), line)).ok());
      }
      const bool atEnd = append || line == static_cast<int32_t>(model.size()) + 1;
      model.insert(append ? model.end() : model.begin() + (line - 1), rowText(k));
      if (atEnd) {
        expectRows(path_, reader.options, model);
      } else {
        EXPECT_EQ(TableCache::instance().find(idOf(path_)), nullptr);
        expectRows(path_, writer.options, model);  // read again: cached, its index built
      }
    }
    expectRows(path_, TestEnv(kReadModes[0]).options, model);  // and the file says the same
  }
}

TEST_F(OwnWriteTest, ImageKeptAcrossAppendsStaysNearTheFileSize) {
  put("NAME|SCORE|DATE\n");
  TestEnv env;
  env.options.outsiderQuiet = std::chrono::milliseconds(0);
  // An append that crosses a page takes several system calls and drops the image; a
  // read in between, as a server's, caches it again.
  int kept = 0;
  for (int k = 0; k < 3000; ++k) {
    if (TableCache::instance().find(idOf(path_)) == nullptr) warm(path_, env.options);
    {
      DBHelper t(path_, nullptr, DBHelper::Access::kAppend, env.options);
      ASSERT_TRUE(t.writeRow(record(k)).ok());
    }
    kept += TableCache::instance().find(idOf(path_)) != nullptr;
  }
  EXPECT_GT(kept, 2700);
  if (TableCache::instance().find(idOf(path_)) == nullptr) warm(path_, env.options);
  const std::shared_ptr<const CachedTable> entry = TableCache::instance().find(idOf(path_));
  ASSERT_NE(entry, nullptr);
  const std::string file = get();
  ASSERT_EQ(entry->size, file.size());
  EXPECT_EQ(std::string(entry->bytes.get(), entry->size), file);
  EXPECT_LE(entry->capacity, file.size() + std::max<size_t>(kPage, file.size() / 8));
  EXPECT_EQ(entry->rowCount(), 3000);
}

// Writes the change of another program right after our write's first system call.
struct Intrusion {
  const char* name;
  void (*apply)(const std::string& path);
  std::string rowsAfter;  // the extra row a reader must then see, if any
};
std::string gPath;
const Intrusion* gIntrusion = nullptr;
long intrudingPwritev(int fd, const Slice* slices, int count, int64_t off) {
  const long w = realSysCalls().pwritev(fd, slices, count, off);
  if (gIntrusion != nullptr) {
    const Intrusion* once = gIntrusion;
    gIntrusion = nullptr;
    once->apply(gPath);
  }
  return w;
}

TEST_F(OwnWriteTest, AnythingElseSeenDuringTheWriteDropsTheImage) {
  const Intrusion cases[] = {
      {"append by another program", [](const std::string& p) {
         const int fd = ::open(p.c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(::write(fd, "x|1|d\n", 6), 6);
         ::close(fd);
       }, "NAME=x,SCORE=1,DATE=d"},
      {"chmod", [](const std::string& p) { ASSERT_EQ(::chmod(p.c_str(), 0640), 0); }, ""},
      {"times set", [](const std::string& p) { ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), nullptr, 0), 0); }, ""},
  };
  for (const Intrusion& c : cases) {
    SCOPED_TRACE(c.name);
    put("NAME|SCORE|DATE\na|1|d\n");
    TestEnv env;
    env.options.outsiderQuiet = std::chrono::milliseconds(0);
    env.sys.pwritev = intrudingPwritev;
    warm(path_, env.options);
    gPath = path_;
    gIntrusion = &c;
    {
      DBHelper t(path_, nullptr, DBHelper::Access::kAppend, env.options);
      ASSERT_TRUE(t.writeRow(record(5)).ok());
    }
    EXPECT_EQ(gIntrusion, nullptr);
    EXPECT_EQ(TableCache::instance().find(idOf(path_)), nullptr) << "image kept";
    std::vector<std::string> rows = {"NAME=a,SCORE=1,DATE=d", rowText(5)};
    if (!c.rowsAfter.empty()) rows.push_back(c.rowsAfter);
    expectRows(path_, env.options, rows);
  }
}

TEST_F(OwnWriteTest, ChangeBeforeTheWriteIsSeen) {
  put("NAME|SCORE|DATE\na|1|d\n");
  TestEnv env;
  env.options.outsiderQuiet = std::chrono::milliseconds(0);
  warm(path_, env.options);
  {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "b", 1, 16), 1);  // same size, another program
    ::close(fd);
  }
  {
    DBHelper t(path_, nullptr, DBHelper::Access::kAppend, env.options);
    ASSERT_TRUE(t.writeRow(record(5)).ok());
  }
  expectRows(path_, env.options, {"NAME=b,SCORE=1,DATE=d", rowText(5)});
}

TEST_F(OwnWriteTest, OutsiderCaughtDuringAWriteStopsKeepingForAWhile) {
  put("NAME|SCORE|DATE\na|1|d\n");
  const Intrusion append = {"append", [](const std::string& p) {
                              const int fd = ::open(p.c_str(), O_WRONLY | O_APPEND);
                              ASSERT_EQ(::write(fd, "x|1|d\n", 6), 6);
                              ::close(fd);
                            }, ""};
  TestEnv env;  // the default quiet time
  env.sys.pwritev = intrudingPwritev;
  gPath = path_;
  for (const bool intrude : {true, false}) {
    warm(path_, env.options);
    gIntrusion = intrude ? &append : nullptr;
    DBHelper t(path_, nullptr, DBHelper::Access::kAppend, env.options);
    ASSERT_TRUE(t.writeRow(record(5)).ok());
    EXPECT_EQ(TableCache::instance().find(idOf(path_)), nullptr) << (intrude ? "caught" : "just after");
  }
}

}  // namespace
}  // namespace dbhelper

#endif
