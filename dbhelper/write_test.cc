#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "dbhelper/DBHelper.h"
#include "dbhelper/durability.h"
#include "dbhelper/kept_files.h"
#include "dbhelper/recovery.h"
#include "dbhelper/shared_storage.h"
#include "dbhelper/test_util.h"

namespace dbhelper {
namespace {

const char kScores[] = "NAME|SCORE|DATE\na|1|x\nb|2|y\nc|3|z\nd|4|w\n";

using RecordTest = TableTest;

TEST_F(RecordTest, PlacesPairsInHeaderOrder) {
  put("NAME|SCORE|DATE\n");
  DBHelper t(path_, nullptr);
  const struct {
    std::string text;
    std::vector<std::string> fields;
  } cases[] = {
      {"", {}},
      {"NAME=player, SCORE=120, DATE=9/13/2006", {"player", "120", "9/13/2006"}},
      {"DATE=9/13/2006,NAME=player,SCORE=120", {"player", "120", "9/13/2006"}},
      {" \t NAME \t = \t x \t ", {"x"}},
      {"NAME=a=b", {"a=b"}},
      {"NAME=p, SCORE=1", {"p", "1"}},
      {"NAME", {"NAME"}},
      {"NAME=", {""}},
      {"NAME=a\r,SCORE=1", {"a\r", "1"}},
  };
  for (const auto& c : cases) {
    DataRow row;
    const Status s = t.parseRecordText(c.text, &row);
    ASSERT_TRUE(s.ok()) << "[" << c.text << "] " << s.ToString();
    EXPECT_EQ(std::vector<std::string>(row.fields.begin(), row.fields.begin() + row.count), c.fields)
        << "[" << c.text << "]";
  }
}

TEST_F(RecordTest, RefusesWhatCannotBePlaced) {
  put("NAME|SCORE|DATE|A|B|C|D|E|F|G\n");
  DBHelper t(path_, nullptr);
  const std::string cases[] = {
      "NICK=x",                                // unknown key
      "name=x",                                // keys are case-sensitive
      "NAME=x,",                               // empty last pair
      ",NAME=x",                               // key starting with a comma
      "NAME=x,,SCORE=1",                       // the pair after ",," keeps its comma
      "NAME=a, NAME=b",                        // same column twice
      "NAME=a, DATE=b",                        // gap: SCORE missing
      "NAME=" + std::string(200, 'v'),         // value too long
      "NAME=a|b",                              // separator inside a value
      "NAME=a\nb",                             // line feed inside a value
      std::string("NAME=a\0b", 8),             // NUL inside a value
      "NAME=1,SCORE=2,DATE=3,A=4,B=5,C=6,D=7,E=8,F=9,G=10,NAME=11",  // 11 pairs
      "NAME=" + std::string(60, 'n') + ",SCORE=" + std::string(39, 's'),  // line of 100
      "   ",                                   // one empty pair
      "NAME=a,SCORE=b\r",                       // a last value ending in CR would lose it
  };
  for (const auto& text : cases) {
    DataRow row;
    const Status s = t.parseRecordText(text, &row);
    EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << "[" << text << "]";
    EXPECT_FALSE(s.message().empty());
  }
  DataRow row;
  EXPECT_TRUE(t.parseRecordText("NAME=" + std::string(60, 'n') + ",SCORE=" + std::string(38, 's'), &row).ok());
}

TEST_F(RecordTest, ModifiedUtf8HeaderMatchesStandardKey) {
  put("N\xED\xA0\xBD\xED\xB8\x80|S\n");
  DBHelper t(path_, nullptr);
  DataRow row;
  ASSERT_TRUE(t.parseRecordText("S=1, N\xF0\x9F\x98\x80=a", &row).ok());
  EXPECT_EQ(row.fields[0], "a");
  EXPECT_EQ(row.fields[1], "1");
  EXPECT_EQ(t.parseRecordText("N\xED\xA0\xBD=a", &row).code(), Status::Code::kInvalidArgument);
}

TEST_F(RecordTest, EmptyFileHasNoColumnToName) {
  put("");
  DBHelper t(path_, nullptr);
  DataRow row;
  EXPECT_EQ(t.parseRecordText("NAME=x", &row).code(), Status::Code::kInvalidArgument);
  EXPECT_TRUE(t.parseRecordText("", &row).ok());
}

using WriteTest = TableTest;

// Runs one write through a fresh writer and returns its status and trace.
Status write(const std::string& path, const std::string& text, int32_t line, std::string* trace,
             const Options& options = Options()) {
  DBHelper t(path, trace, DBHelper::Access::kWrite, options);
  if (!t.status().ok()) return t.status();
  return line == 0 ? t.writeRow(text) : t.writeRowToLine(text, line);
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string text;
  int32_t line;  // 0: append
  std::string after;
  std::string trace;
};

TEST_F(WriteTest, AppendsAndInsertsInPlace) {
#if defined(_WIN32)
  GTEST_SKIP() << "byte expectations are for LF line ends; see NewRowsEndWithThePlatformLineEnd";
#endif
  const std::string ctor = "DBHelper constructor\n";
  const WriteCase cases[] = {
      {"append", "NAME|SCORE|DATE\na|1|x\nb|2|y\n", "NAME=player, SCORE=120, DATE=9/13/2006", 0,
       "NAME|SCORE|DATE\na|1|x\nb|2|y\nplayer|120|9/13/2006\n", ctor},
      {"append ends an unterminated last line", "N|S\na|1", "N=b,S=2", 0, "N|S\na|1\nb|2\n", ctor},
      {"append after an empty last row", "N|S\na|1\n\n", "N=b", 0, "N|S\na|1\n\nb\n", ctor},
      {"append to a header without LF", "N|S", "S=2,N=b", 0, "N|S\nb|2\n", ctor},
      {"empty text appends nothing", "N|S\na|1", "", 0, "N|S\na|1", ctor},
      {"insert at line 3 of four rows", kScores, "NAME=n,SCORE=9,DATE=q", 3,
       "NAME|SCORE|DATE\na|1|x\nb|2|y\nn|9|q\nc|3|z\nd|4|w\n",
       ctor + "returning pos 28\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "storerest:  first value of buffer is: c\nstorerest:  last value of buffer is: \n\n"
              "seeking to position 28\ndatarow[i] is n\ndatarow[i] is 9\npos to write rest of file is 34\n"},
      {"insert at line 1", "N|S\na|1\n", "N=b, S=2", 1, "N|S\nb|2\na|1\n",
       ctor + "returning pos 4\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "storerest:  first value of buffer is: a\nstorerest:  last value of buffer is: \n\n"
              "seeking to position 4\ndatarow[i] is b\npos to write rest of file is 8\n"},
      {"insert after the last line appends", "N|S\na|1\n", "N=b,S=2", 2, "N|S\na|1\nb|2\n",
       ctor + "returning pos 8\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "seeking to position 8\ndatarow[i] is b\npos to write rest of file is 12\n"},
      {"insert at the end of an unterminated file", "N|S\na|1", "N=b,S=2", 2, "N|S\na|1\nb|2\n",
       ctor + "returning pos 7\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "seeking to position 7\ndatarow[i] is b\npos to write rest of file is 12\n"},
      {"insert keeps a CR LF tail", "N|S\r\na|1\r\nb|2", "N=c", 2, "N|S\r\na|1\r\nc\nb|2",
       ctor + "returning pos 10\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "storerest:  first value of buffer is: b\nstorerest:  last value of buffer is: 2\n"
              "seeking to position 10\npos to write rest of file is 12\n"},
      {"empty text inserts nothing", "N|S\na|1\n", "", 1, "N|S\na|1\n",
       ctor + "returning pos 4\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
              "storerest:  first value of buffer is: a\nstorerest:  last value of buffer is: \n\n"
              "seeking to position 4\npos to write rest of file is 4\n"},
  };
  for (const ReadMode& mode : kReadModes) for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + mode.name);
    TestEnv env(mode);
    put(c.before);
    warm(path_, env.options);
    std::string trace;
    const Status s = write(path_, c.text, c.line, &trace, env.options);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(get(), c.after);
    EXPECT_EQ(trace, c.trace);
  }
}

TEST_F(WriteTest, NewRowsEndWithThePlatformLineEnd) {
  const std::string nl(kNewline);
  put("N|S" + nl + "a|1" + nl);
  std::string trace;
  ASSERT_TRUE(write(path_, "N=c", 0, &trace).ok());
  ASSERT_TRUE(write(path_, "N=b,S=2", 2, &trace).ok());
  EXPECT_EQ(get(), "N|S" + nl + "a|1" + nl + "b|2" + nl + "c" + nl);
  DBHelper t(path_, nullptr);
  EXPECT_EQ(t.getNumRows(), 3);
  EXPECT_EQ(t.getRow(2), "N=b,S=2");
}

TEST_F(WriteTest, AppendedRowIsReadBack) {
  put("NAME|SCORE|DATE\na|1|x\nb|2|y\n");
  DBHelper t(path_, nullptr, DBHelper::Access::kWrite);
  ASSERT_TRUE(t.writeRow("NAME=player, SCORE=120, DATE=9/13/2006").ok());
  EXPECT_EQ(t.getNumRows(), 3);
  EXPECT_EQ(t.getRow(3), "NAME=player,SCORE=120,DATE=9/13/2006");
}

TEST_F(WriteTest, RefusalsLeaveTheFileAlone) {
  const struct {
    const char* name;
    std::string text;
    int32_t line;
    Status::Code code;
    std::string trace;
    std::string message;
  } cases[] = {
      {"bad record", "NICK=x", 1, Status::Code::kInvalidArgument, "DBHelper constructor\n",
       "'NICK' names no column of the table (columns: N, S)"},
      {"line 0", "N=x", 0, Status::Code::kOutOfRange, "DBHelper constructor\n", "line 0 is not a data row"},
      {"negative line", "N=x", -5, Status::Code::kOutOfRange, "DBHelper constructor\n", "line -5 is not"},
      {"past the end", "N=x", 4, Status::Code::kOutOfRange, "DBHelper constructor\nreturning pos -1\n",
       "line 4 is past the end of the table (the last line you can insert at is 2)"},
      {"far past the end", "N=x", INT32_MAX, Status::Code::kOutOfRange, "DBHelper constructor\nreturning pos -1\n",
       "the last line you can insert at is 2)"},
      {"line too long", "N=" + std::string(98, 'x') + ",S=1", 1, Status::Code::kInvalidArgument,
       "DBHelper constructor\n", "the row line would be 100 bytes long; a line holds at most 99 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = "N|S\na|1\n";
    put(before);
    std::string trace;
    DBHelper t(path_, &trace, DBHelper::Access::kWrite);
    const Status s = t.writeRowToLine(c.text, c.line);
    EXPECT_EQ(s.code(), c.code);
    EXPECT_NE(s.message().find(c.message), std::string::npos) << s.message();
    EXPECT_EQ(get(), before);
    EXPECT_EQ(trace, c.trace);
  }
}

TEST_F(WriteTest, MissingFile) {
  std::string trace;
  EXPECT_EQ(write(path_, "NAME=x", 0, &trace).code(), Status::Code::kInvalidArgument);
  EXPECT_FALSE(exists());
  const Status s = write(path_, "", 1, &trace);
  EXPECT_EQ(s.code(), Status::Code::kOutOfRange);
  EXPECT_EQ(s.message(), "line 1 cannot take a row: the table has no header line for rows to follow");
  EXPECT_FALSE(exists());
  ASSERT_TRUE(write(path_, "", 0, &trace).ok());
  EXPECT_TRUE(exists());
  EXPECT_EQ(get(), "");
}

// A path names exactly its file: one past MAX_PATH works, and bytes that are no UTF-8 are
// a name of their own on Linux and refused on Windows, never another file.
TEST_F(WriteTest, PathsNameTheirOwnFile) {
  std::filesystem::create_directories(dir_ / "d");
  std::string longPath = dir_.string();  // over 260 characters that lead back to path_
  while (longPath.size() < 300) longPath += "/d/..";
  longPath += "/table.txt";
  const std::string odd = (dir_ / "a").string() + "\xff" + "b.txt";
  std::string trace;
  put("N\na\n");
  EXPECT_TRUE(write(longPath, "N=b", 0, &trace).ok());
  const std::string after = "N\na\nb" + std::string(kNewline);
  EXPECT_EQ(get(), after);
  const Status s = write(odd, "N=c", 0, &trace);
#if defined(_WIN32)
  EXPECT_EQ(s.errnoValue(), EINVAL);
#else
  EXPECT_EQ(s.code(), Status::Code::kInvalidArgument);  // a missing table has no column N
#endif
  EXPECT_EQ(get(), after);
}

int gWritesLeft;  // pwritev calls that still succeed
int gFailErrno;
int gStatFailsAt;  // the statx of the path that fails, counted down; 0: none

// Writes, syncs and truncations in order: [from, to) of a write, the new size of a truncation.
struct Event {
  char kind;
  uint64_t from, to;
};
std::vector<Event> gEvents;

long countingPwritev(int fd, const Slice* s, int n, int64_t off) {
  if (gWritesLeft-- <= 0) {
    errno = gFailErrno;
    return -1;
  }
  const long w = realSysCalls().pwritev(fd, s, n, off);
  if (w > 0) gEvents.push_back({'W', static_cast<uint64_t>(off), static_cast<uint64_t>(off + w)});
  return w;
}
int recordingFtruncate(int fd, int64_t size) {
  const int r = realSysCalls().ftruncate(fd, size);
  if (r == 0) gEvents.push_back({'T', 0, static_cast<uint64_t>(size)});
  return r;
}
int recordingDataSync(int fd) {
  gEvents.push_back({'S', 0, 0});
  return realSysCalls().dataSync(fd);
}
int failingStatPath(const char* path, FileInfo* info, bool times) {
  if (gStatFailsAt > 0 && --gStatFailsAt == 0) {
    errno = EIO;
    return -1;
  }
  return realSysCalls().statPath(path, info, times);
}

// The injectors above, every one passing through until told otherwise.
struct InjectingEnv : TestEnv {
  InjectingEnv() {
    gWritesLeft = 1 << 30;
    gStatFailsAt = 0;
    gEvents.clear();
    sys.pwritev = countingPwritev;
    sys.ftruncate = recordingFtruncate;
    sys.dataSync = recordingDataSync;
    sys.statPath = failingStatPath;
  }
};

// Returns what a power cut could tear: a truncation made while a write below the new
// size was not synced, so that the disk may keep the one and lose the other. Empty: none.
std::string truncationBeforeItsSync() {
  std::vector<Event> unsynced;
  for (const Event& e : gEvents) {
    if (e.kind == 'S') unsynced.clear();
    if (e.kind == 'W') unsynced.push_back(e);
    if (e.kind != 'T') continue;
    for (const Event& w : unsynced) {
      if (w.from < e.to) {
        return "truncation to " + std::to_string(e.to) + " before the write at " + std::to_string(w.from) + " was synced";
      }
    }
  }
  return "";
}

// Options belong to the object they are handed to: another object's sync mode, and the
// system calls of the write that last kept a descriptor, do not carry over.
TEST_F(WriteTest, OptionsStayWithTheirObject) {
  put("N|S\na|1\n");
  std::string trace;
  for (const SyncMode sync : {SyncMode::kFull, SyncMode::kOff}) {
    SCOPED_TRACE(sync == SyncMode::kFull ? "durable" : "not durable");
    ASSERT_TRUE(write(path_, "N=p", 0, &trace).ok());  // keeps its descriptor, real calls
    InjectingEnv env;
    env.options.sync = sync;
    ASSERT_TRUE(write(path_, "N=q", 0, &trace, env.options).ok());  // takes that descriptor
    ASSERT_TRUE(write(path_, "N=r", 2, &trace).ok());  // not durable, real calls again
    const auto syncs = std::count_if(gEvents.begin(), gEvents.end(), [](const Event& e) { return e.kind == 'S'; });
    const auto writes = std::count_if(gEvents.begin(), gEvents.end(), [](const Event& e) { return e.kind == 'W'; });
    EXPECT_EQ(writes, 1);  // the append through the kept descriptor went through env.sys
    EXPECT_EQ(syncs, sync == SyncMode::kFull ? 1 : 0);
  }
  std::string rows;
  for (const char* row : {"r", "r", "p", "q", "p", "q"}) rows += row + std::string(kNewline);
  EXPECT_EQ(get(), "N|S\na|1\n" + rows);
}

TEST_F(WriteTest, FailedWriteAtAnyStepLeavesTheTableAsItWas) {
  // A big tail makes the insertion take the undo-record path (several writes).
  std::string big = "N|S\n";
  for (int i = 0; i < 2000; ++i) big.append("r").append(std::to_string(i)).append("|").append(std::to_string(i)).append("\n");
  // A write from the n-th on fails with ENOSPC, or the n-th statx of the path (one is the
  // commit's look) with EIO.
  for (const SyncMode sync : {SyncMode::kOff, SyncMode::kFull})
  for (const bool failStat : {false, true})
  for (const ReadMode& mode : kReadModes) for (const std::string& before : {std::string("N|S\na|1\nb|2\n"), big}) {
    const bool streamed = mode.imageLimit == 0;
    // Streamed, the tail moves in chunks of 128 bytes: many more writes.
    const int steps = failStat ? 4 : streamed ? 400 : 6;
    for (int ok = 0; ok < steps; ok += (streamed && ok > 8 ? 37 : 1)) {
      SCOPED_TRACE("table of " + std::to_string(before.size()) + " bytes, " +
                   (failStat ? "statx " + std::to_string(ok + 1) + " fails, " : std::to_string(ok) + " writes succeed, ") +
                   mode.name + (sync == SyncMode::kFull ? ", durable" : ""));
      TestEnv plain(mode);
      put(before);
      warm(path_, plain.options);
      Status s;
      std::string torn;
      {
        InjectingEnv env;
        env.use(mode);
        env.options.sync = sync;
        if (failStat) gStatFailsAt = ok + 1;
        else gWritesLeft = ok;
        gFailErrno = ENOSPC;
        std::string trace;
        s = write(path_, "N=new,S=9", 2, &trace, env.options);
        if (sync == SyncMode::kFull) torn = truncationBeforeItsSync();
      }
      EXPECT_EQ(torn, "");
      if (s.ok()) {
        EXPECT_EQ(get().size(), before.size() + 5 + kNewline.size());
      } else {
        EXPECT_EQ(s.code(), Status::Code::kIOError);
        EXPECT_EQ(s.errnoValue(), failStat ? EIO : ENOSPC);
        // Restoring may itself have failed; the next operation then rolls back.
        DBHelper next(path_, nullptr, DBHelper::Access::kRead, plain.options);
        EXPECT_TRUE(next.status().ok());
        EXPECT_EQ(get(), before);
      }
    }
  }
}

#if !defined(_WIN32)
int gOpens;
int countingOpen(const char* path, int how, int unused) {
  ++gOpens;
  return realSysCalls().open(path, how, unused);
}

// A write reuses the descriptor the previous write kept only while the path names the same
// file with the same permissions and owner, and never in a forked child.
TEST_F(WriteTest, KeptDescriptorFollowsThePath) {
  const std::string other = (dir_ / "other.txt").string();
  struct Case {
    const char* name;
    std::function<void()> between;  // what happens between the two writes
    int opens;                      // by the second write
  };
  const Case cases[] = {
      {"nothing", [] {}, 0},
      {"rename over", [&] { put(other, "N\nz\n"); std::filesystem::rename(other, path_); }, 1},
      {"unlink and recreate", [&] { std::filesystem::remove(path_); put("N\nz\n"); }, 1},
      {"chmod", [&] { std::filesystem::permissions(path_, std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_write); }, 1},
      {"unlink", [&] { std::filesystem::remove(path_); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put("N\na\n");
    std::string trace;
    ASSERT_TRUE(write(path_, "N=b", 0, &trace).ok());
    c.between();
    const std::string before = exists() ? get() : "";
    TestEnv counting;
    counting.sys.open = countingOpen;
    gOpens = 0;
    const Status s = write(path_, "N=c", 0, &trace, counting.options);
    EXPECT_EQ(gOpens, c.opens);
    if (before.empty()) {
      EXPECT_EQ(s.code(), Status::Code::kInvalidArgument);  // a missing table has no column N
    } else {
      EXPECT_TRUE(s.ok()) << s.ToString();
      EXPECT_EQ(get(), before + "c\n");
    }
  }
  // A child of fork opens its own: the parent's descriptor shares its locks.
  put("N\na\n");
  std::string trace;
  ASSERT_TRUE(write(path_, "N=b", 0, &trace).ok());
  const pid_t pid = ::fork();
  if (pid == 0) {
    TestEnv counting;
    counting.sys.open = countingOpen;
    gOpens = 0;
    std::string t;
    _exit(write(path_, "N=c", 0, &t, counting.options).ok() && gOpens == 1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(get(), "N\na\nb\nc\n");
  // A writer that does not own the table may not skip access times; it writes all the same.
  if (::geteuid() == 0) {
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    std::filesystem::permissions(path_, std::filesystem::perms::all & ~std::filesystem::perms::others_exec);
    const pid_t stranger = ::fork();
    if (stranger == 0) {
      std::string t;
      _exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && write(path_, "N=d", 0, &t).ok() &&
                    write(path_, "N=e", 1, &t).ok() ? 0 : 1);
    }
    ASSERT_EQ(::waitpid(stranger, &status, 0), stranger);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(get(), "N\ne\na\nb\nc\nd\n");
  }
  // Past the most tables kept, the one given back longest ago is closed.
  std::vector<std::string> paths;
  for (size_t i = 0; i <= kKeptFilesMax; ++i) {
    paths.push_back((dir_ / ("t" + std::to_string(i))).string());
    put(paths.back(), "N\na\n");
    ASSERT_TRUE(write(paths.back(), "N=b", 0, &trace).ok());
  }
  for (const size_t i : {kKeptFilesMax, size_t{0}}) {
    TestEnv counting;
    counting.sys.open = countingOpen;
    gOpens = 0;
    ASSERT_TRUE(write(paths[i], "N=c", 0, &trace, counting.options).ok());
    EXPECT_EQ(gOpens, i == 0 ? 1 : 0) << paths[i];
  }
}

int throwingLock(int, int, int) { throw std::bad_alloc(); }

// What other threads and forks do around a call: its locks end with it, whatever else ends.
TEST_F(WriteTest, LocksEndWithTheCall) {
  put("N\na\n");
  std::string trace;
  TestEnv env;
  env.options.lockTimeout = std::chrono::milliseconds(300);
  // A reader forked over: the child shares its open file, so closing it keeps the lock.
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::optional<DBHelper> reader(std::in_place, path_, nullptr, DBHelper::Access::kRead, env.options);
  const pid_t child = ::fork();
  if (child == 0) {
    char c;
    ::close(gate[1]);
    _exit(::read(gate[0], &c, 1) >= 0 ? 0 : 1);  // until the parent is done
  }
  ::close(gate[0]);
  reader.reset();
  EXPECT_TRUE(write(path_, "N=b", 0, &trace, env.options).ok());
  ::close(gate[1]);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  // A lock call that runs out of memory leaves the in-process lock free.
  {
    TestEnv throwing;
    throwing.options.lockTimeout = env.options.lockTimeout;
    throwing.sys.lock = throwingLock;
    EXPECT_THROW(DBHelper(path_, nullptr, DBHelper::Access::kWrite, throwing.options), std::bad_alloc);
  }
  EXPECT_TRUE(write(path_, "N=c", 0, &trace, env.options).ok());
  EXPECT_EQ(get(), "N\na\nb\nc\n");
  // Exiting while other threads are inside calls: nothing they use is destroyed under them.
  for (int run = 0; run < 10; ++run) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int t = 0; t < 4; ++t) {
        const std::string p = path_ + std::to_string(t);
        put(p, "N\n" + std::string(70000, 'a') + "\n");
        std::thread([p, t] {
          for (std::string tr;; tr.clear()) {
            DBHelper h(p, &tr, t % 2 == 0 ? DBHelper::Access::kRead : DBHelper::Access::kAppend);
            if (t % 2 != 0) (void)h.writeRow("N=x");
          }
        }).detach();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      std::exit(0);
    }
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": status " << status;
  }
}
#endif

#if !defined(_WIN32)
// Another program truncates the table to gCutTo bytes just before our N-th write.
std::string gCutPath;
uint64_t gCutTo;
int gWritesBeforeCut;
long truncatingPwritev(int fd, const Slice* s, int n, int64_t off) {
  if (gWritesBeforeCut-- == 0 && ::truncate(gCutPath.c_str(), static_cast<off_t>(gCutTo)) != 0) return -1;
  return realSysCalls().pwritev(fd, s, n, off);
}

TEST_F(WriteTest, TruncationBeforeAnyWriteLeavesWhatItLeft) {
  std::string big = "N|S\n";  // a copy that spans pages
  for (int i = 0; i < 800; ++i) big.append("r").append(std::to_string(i)).append("|x\n");
  for (const std::string& before : {std::string("N|S\na|1\nb|2\nc|3\n"), big}) {
    for (const uint64_t cut : {uint64_t{0}, uint64_t{9}}) {
      for (int n = 0;; ++n) {
        SCOPED_TRACE(std::to_string(before.size()) + " bytes cut to " + std::to_string(cut) + " before write " +
                     std::to_string(n));
        put(before);
        Status s;
        {
          TestEnv env;
          gCutPath = path_;
          gCutTo = cut;
          gWritesBeforeCut = n;
          env.sys.pwritev = truncatingPwritev;
          std::string trace;
          s = write(path_, "N=new", 2, &trace, env.options);
        }
        if (gWritesBeforeCut >= 0) break;  // the write made fewer than n + 1 writes
        EXPECT_FALSE(s.ok());
        // Cut exactly where the row goes, just before the in-place write, the truncation
        // leaves no trace for that write to find, and the whole new table is written.
        std::string grown = before;
        grown.insert(before.find('\n', before.find('\n') + 1) + 1, "new\n");
        const std::string after = get();
        EXPECT_TRUE(after == before.substr(0, cut) || (after == grown && cut > 0)) << after.substr(0, 40);
      }
    }
  }
}
#if !defined(_WIN32)
// Where the kernel has no RWF_APPEND (qemu-user too), an append still lands at the end as
// it is when written: a program that cut the file first leaves no hole before our bytes.
// Positioned writes on the descriptor afterwards go where they are told.
TEST_F(WriteTest, AppendWithoutTheFlagGoesToTheEndAsWrittenAndLeavesNoAppendMode) {
  struct Case {
    std::string before;
    uint64_t cut;  // another program's truncation after our size was read; -1: none
    std::string want;
  };
  const Case cases[] = {{"N|S\na|1\nb|2\n", uint64_t(-1), "Z|S\na|1\nb|2\nc|3\n"},
                        {"N|S\na|1\nb|2\n", 8, "Z|S\na|1\nc|3\n"},
                        {"N|S\na|1\nb|2\n", 0, "Z|3\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cut));
    put(c.before);
    const int fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (c.cut != uint64_t(-1)) {
      ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(c.cut)), 0);
    }
    char row[] = "c|3\n";
    const iovec iov{row, 4};
    EXPECT_EQ(appendWithoutFlag(fd, &iov, 1), 4);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_APPEND, 0);
    EXPECT_EQ(::pwrite(fd, "Z", 1, 0), 1);
    ::close(fd);
    EXPECT_EQ(get(), c.want);
  }
}
#endif

// Before our N-th write another program renames a copy of the table over its path.
int gWritesBeforeRename;
long renamingPwritev(int fd, const Slice* s, int n, int64_t off) {
  if (gWritesBeforeRename-- == 0) {
    std::filesystem::copy_file(gCutPath, gCutPath + ".new", std::filesystem::copy_options::overwrite_existing);
    if (::rename((gCutPath + ".new").c_str(), gCutPath.c_str()) != 0) return -1;
  }
  return realSysCalls().pwritev(fd, s, n, off);
}

// A change by another program is told apart from a failure of our own: Changed, no errno.
TEST_F(WriteTest, ChangeByAnotherProgramIsReportedAsChanged) {
  const struct {
    const char* name;
    decltype(&truncatingPwritev) pwritev;
    const char* says;
  } cases[] = {{"truncated before the overwrite", truncatingPwritev, "truncated by another program"},
               {"replaced before the overwrite", renamingPwritev, "replaced by another program"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    put("N|S\na|1\nb|2\nc|3\n");
    TestEnv env;
    env.sys.pwritev = c.pwritev;
    gCutPath = path_;
    gCutTo = 4;
    gWritesBeforeCut = gWritesBeforeRename = 1;  // the write under the record goes first
    std::string trace;
    const Status s = write(path_, "N=new", 2, &trace, env.options);
    EXPECT_EQ(s.code(), Status::Code::kChanged) << s.ToString();
    EXPECT_EQ(s.errnoValue(), 0);
    EXPECT_NE(s.message().find(c.says), std::string::npos) << s.message();
  }
}
#endif

TEST_F(WriteTest, LeftoverUndoRecordIsRolledBackByTheNextReader) {
  const std::string old = "N|S\na|1\nb|2\n";
  // What a writer killed after overwriting leaves: new bytes in place, then room, the
  // copy of the old tail and the record.
  const uint64_t pos = 8;  // start of "b|2\n"
  const std::string line = "new|9\n";
  std::string file = old.substr(0, pos) + line + old.substr(pos);
  const std::string tail = old.substr(pos);
  UndoRecord rec;
  rec.oldSize = old.size();
  rec.pos = pos;
  rec.copyOff = old.size() + line.size();
  rec.tailLen = tail.size();
  rec.copyComplete = true;
  file += tail;
  file.resize(rec.fileEnd() - kUndoRecordSize, '\0');
  char raw[kUndoRecordSize];
  encodeUndoRecord(rec, raw);
  file.append(raw, sizeof raw);
  put(file);

  DBHelper t(path_, nullptr);
  ASSERT_TRUE(t.status().ok()) << t.status().ToString();
  EXPECT_EQ(t.getNumRows(), 2);
  EXPECT_EQ(get(), old);
}

int gOpenCalls;
int refusingReadWriteOpen(const char* path, int how, int unused) {
  ++gOpenCalls;
  if (how == kOpenReadWrite) {
    errno = EACCES;
    return -1;
  }
  return realSysCalls().open(path, how, unused);
}

TEST_F(WriteTest, DurableRecoveryTurnsWhatAPowerCutLeavesIntoATable) {
  const std::string old = "N|S\na|1\nb|2\nc|3\n";
  const uint64_t pos = 8;  // an insertion before "b|2\n"
  const std::string line = "new|9\n";
  const std::string tail = old.substr(pos);
  const std::string now = old.substr(0, pos) + line + tail;
  UndoRecord rec;
  rec.oldSize = old.size();
  rec.pos = pos;
  rec.copyOff = now.size();
  rec.tailLen = tail.size();
  rec.copyComplete = rec.sums = true;
  rec.copyCrc = crc32(tail.data(), tail.size());
  rec.newCrc = crc32(now.data() + pos, now.size() - pos);
  char raw[kUndoRecordSize];
  encodeUndoRecord(rec, raw);
  const std::string record(raw, sizeof raw);
  // [table][growth][copy][zeros][record], each part as a power cut may leave it.
  auto file = [&](const std::string& table, const std::string& growth, const std::string& copy, const std::string& r) {
    std::string f = table + growth + copy;
    f.resize(rec.fileEnd() - kUndoRecordSize, '\0');
    return f + r;
  };
  const std::string hole(line.size(), '\0');
  const std::string noCopy(tail.size(), '\0');
  auto zeroed = [&](size_t from, size_t n) { return record.substr(0, from) + std::string(n, '\0') + record.substr(from + n); };
  struct Case {
    const char* what;
    std::string bytes;
    const std::string* want;
  } cases[] = {
      {"record only", file(old, hole, noCopy, record), &old},
      {"half the copy", file(old, hole, tail.substr(0, 4) + noCopy.substr(4), record), &old},
      {"copy whole, overwrite not begun", file(old, tail.substr(tail.size() - line.size()), tail, record), &old},
      {"copy whole, overwrite half done", file(now.substr(0, 12) + old.substr(12), hole, tail, record), &old},
      {"overwrite whole, commit lost", file(now.substr(0, old.size()), now.substr(old.size()), tail, record), &now},
      {"record zeroed", file(old, hole, noCopy, std::string(kUndoRecordSize, '\0')), &old},
      {"record's first half zeroed", file(old, hole, noCopy, zeroed(0, 32)), &old},
      {"record's checksum zeroed", file(old, hole, noCopy, zeroed(56, 4)), &old},
      {"record's end zeroed", file(old, hole, noCopy, zeroed(60, 4)), &old},
      {"a zeroed page past the record", file(old, hole, noCopy, record) + std::string(4096, '\0'), &old},
      {"zeros short of the record", old + std::string(85, '\0'), &old},
      {"a zeroed page, no record", old + std::string(4096, '\0'), &old},
  };
  for (const Case& c : cases) {
    // Repaired by a reader, whose own writes must survive a second power cut; and shown
    // by a reader that cannot write, which repairs only what it shows.
    for (const bool readOnly : {false, true}) {
      put(c.bytes);
      InjectingEnv env;
      env.use(kReadModes[2]);  // cached
      env.options.sync = SyncMode::kFull;
      gOpenCalls = 0;
      if (readOnly) {
        closeKeptFiles();  // the descriptor the last repair kept
        env.sys.open = refusingReadWriteOpen;
      }
      DBHelper t(path_, nullptr, DBHelper::Access::kRead, env.options);
      EXPECT_TRUE(t.status().ok()) << c.what << ": " << t.status().ToString();
      EXPECT_EQ(t.getNumRows(), std::count(c.want->begin(), c.want->end(), '\n') - 1) << c.what;
      if (t.getNumRows() > 2) {
        EXPECT_EQ(t.getRow(3), *c.want == old ? "N=c,S=3" : "N=b,S=2") << c.what;
      }
      EXPECT_EQ(get(), readOnly ? c.bytes : *c.want) << c.what;
      EXPECT_EQ(truncationBeforeItsSync(), "") << c.what;
      if (readOnly) {
        EXPECT_EQ(gOpenCalls, 2) << c.what;  // one read, one refused repair: no more rounds
      }
    }
  }
  // Without durable writes no power cut is looked for: NULs of a table's own stay.
  put(old + std::string(100, '\0'));
  { DBHelper t(path_, nullptr); EXPECT_TRUE(t.status().ok()); }
  EXPECT_EQ(get(), old + std::string(100, '\0'));
}

#if !defined(_WIN32)
// What a table operation asks of the file: 'L' the table locked, 'U' unlocked, 'W' a write
// (from: its offset, UINT64_MAX at the end), 'T' a truncation, 'S' a sync, 'F' a forced
// stat, 'D' cached pages dropped.
uint64_t gFsType;
int gFsErrno;
int gLockErrno;  // non-zero: every lock is refused with it
int gSyncErrno;
std::vector<Event> gCalls;
int fakeFsType(int, uint64_t* type) {
  if (gFsErrno != 0) {
    errno = gFsErrno;
    return -1;
  }
  *type = gFsType;
  return 0;
}
int loggingLock(int fd, int type, int region) {
  if (gLockErrno != 0 && type != 0) {
    errno = gLockErrno;
    return -1;
  }
  const int r = realSysCalls().lock(fd, type, region);
  if (r == 0 && region == kLockTable) gCalls.push_back({type == 0 ? 'U' : 'L', 0, 0});
  return r;
}
long loggingPwritev(int fd, const Slice* s, int n, int64_t off) {
  gCalls.push_back({'W', off < 0 ? UINT64_MAX : static_cast<uint64_t>(off), 0});
  return realSysCalls().pwritev(fd, s, n, off);
}
int loggingFtruncate(int fd, int64_t size) {
  gCalls.push_back({'T', static_cast<uint64_t>(size), 0});
  return realSysCalls().ftruncate(fd, size);
}
int loggingDataSync(int fd) {
  gCalls.push_back({'S', 0, 0});
  return realSysCalls().dataSync(fd);
}
int loggingFreshSize(int fd, uint64_t* size) {
  gCalls.push_back({'F', 0, 0});
  return realSysCalls().freshSize(fd, size);
}
int loggingDropCache(int fd) {
  gCalls.push_back({'D', 0, 0});
  return realSysCalls().dropCache(fd);
}
struct SharedEnv : TestEnv {
  SharedEnv(uint64_t type, int fsErrno) {
    gFsType = type;
    gFsErrno = fsErrno;
    gLockErrno = 0;
    gCalls.clear();
    closeKeptFiles();  // a kept descriptor knows the file system it was opened on
    sys.fsType = fakeFsType;
    sys.lock = loggingLock;
    sys.pwritev = loggingPwritev;
    sys.ftruncate = loggingFtruncate;
    sys.dataSync = loggingDataSync;
    sys.freshSize = loggingFreshSize;
    sys.dropCache = loggingDropCache;
  }
};

// On a file system not known to be local: under the lock, a refresh before any read or
// write; writes at explicit offsets; everything written synced before the unlock. On a
// local one none of it: appends at the end in one call, no sync with sync=off.
TEST_F(WriteTest, SharedStorageRefreshesUnderTheLockAndSyncsBeforeTheUnlock) {
  struct Case {
    const char* name;
    uint64_t type;
    int fsErrno;
    bool shared;
  };
  const Case cases[] = {
      {"ext4", 0xEF53, 0, false},       {"tmpfs", 0x01021994, 0, false},  {"xfs", 0x58465342, 0, false},
      {"FUSE", 0x65735546, 0, true},    {"NFS", 0x6969, 0, true},         {"CIFS", 0xFF534D42, 0, true},
      {"no type on this OS", 0, ENOSYS, false}, {"statfs fails", 0, EIO, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(kScores);
    SharedEnv env(c.type, c.fsErrno);
    std::string trace;
    {
      DBHelper t(path_, &trace, DBHelper::Access::kAppend, env.options);
      ASSERT_TRUE(t.status().ok());
      EXPECT_TRUE(t.writeRow("NAME=e,SCORE=5,DATE=v").ok());
    }
    EXPECT_TRUE(write(path_, "NAME=f,SCORE=6,DATE=u", 2, &trace, env.options).ok());
    {
      DBHelper t(path_, &trace, DBHelper::Access::kRead, env.options);
      EXPECT_EQ(t.getNumRows(), 6);
    }
    EXPECT_EQ(get(), "NAME|SCORE|DATE\na|1|x\nf|6|u\nb|2|y\nc|3|z\nd|4|w\ne|5|v\n");
    int locks = 0, refreshes = 0, drops = 0, syncs = 0, atEnd = 0, writes = 0;
    bool refreshed = false, dirty = false;
    for (const Event& e : gCalls) {
      switch (e.kind) {
        case 'L': ++locks; refreshed = false; break;
        case 'F': ++refreshes; refreshed = true; break;
        case 'D': ++drops; break;
        case 'S': ++syncs; dirty = false; break;
        case 'W':
        case 'T':
          ++writes;
          atEnd += e.kind == 'W' && e.from == UINT64_MAX;
          if (c.shared) {
            EXPECT_TRUE(refreshed) << "a write before the refresh, call " << writes;
          }
          dirty = true;
          break;
        case 'U':
          if (c.shared) {
            EXPECT_FALSE(dirty) << "unlocked with bytes not synced";
          }
          break;
      }
    }
    EXPECT_EQ(locks, 3);
    EXPECT_GT(writes, 1);
    EXPECT_EQ(refreshes, c.shared ? locks : 0);
    EXPECT_EQ(drops, c.shared ? locks : 0);
    EXPECT_EQ(atEnd, c.shared ? 0 : 1);  // the append
    EXPECT_GE(syncs, c.shared ? 2 + locks : 0);  // one per refresh, one per write
    EXPECT_LE(syncs, c.shared ? 99 : 0);
  }
  // A reader's refresh on a file system that cannot sync its descriptor goes on; any other
  // failure of the sync is the call's.
  for (const auto& [err, readable] : {std::pair{EROFS, true}, {EINVAL, true}, {EIO, false}}) {
    SharedEnv env(0x6969, 0);
    env.options.cacheMinBytes = SIZE_MAX;  // the image an earlier case cached would answer
    gSyncErrno = err;
    env.sys.dataSync = [](int) {
      errno = gSyncErrno;
      return -1;
    };
    DBHelper t(path_, nullptr, DBHelper::Access::kRead, env.options);
    EXPECT_EQ(t.status().ok(), readable) << std::strerror(err) << ": " << t.status().ToString();
  }
  closeKeptFiles();
}

// A file system that refuses the file lock: a writer fails, naming it, and leaves the table
// alone, unless no other process uses the table; a reader goes on either way.
TEST_F(WriteTest, RefusedFileLockFailsWritesUnlessSingleProcess) {
  for (const int err : {EINVAL, ENOLCK, EOPNOTSUPP}) {
    for (const bool single : {false, true}) {
      SCOPED_TRACE(std::string(std::strerror(err)) + (single ? ", single process" : ""));
      put(kScores);
      SharedEnv env(0xEF53, 0);
      gLockErrno = err;
      env.options.singleProcess = single;
      std::string trace;
      const Status appended = write(path_, "NAME=e,SCORE=5,DATE=v", 0, &trace, env.options);
      const Status inserted = write(path_, "NAME=f,SCORE=6,DATE=u", 1, &trace, env.options);
      DBHelper reader(path_, &trace, DBHelper::Access::kRead, env.options);
      EXPECT_TRUE(reader.status().ok()) << reader.status().ToString();
      EXPECT_EQ(reader.getNumRows(), single ? 6 : 4);
      for (const Status& s : {appended, inserted}) {
        EXPECT_EQ(s.ok(), single) << s.ToString();
        if (single) continue;
        EXPECT_EQ(s.code(), Status::Code::kIOError);
        EXPECT_NE(s.message().find("refuses byte-range locks"), std::string::npos) << s.message();
        EXPECT_NE(s.message().find(" at /"), std::string::npos) << "names the mount: " << s.message();
        EXPECT_NE(s.message().find("gameserver.dbiface.singleProcess=true"), std::string::npos);
      }
      if (!single) {
        EXPECT_EQ(get(), kScores);
      }
    }
  }
  closeKeptFiles();
}

// The mount a file is on, from /proc/self/mountinfo, and the client translators of a
// GlusterFS volume that keep contents no refresh reaches.
TEST(SharedStorageTest, FindsTheMountAndTheCachesThatStayStale) {
  const std::string info =
      "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "40 22 0:42 / /mnt/my\\040games rw,relatime shared:9 master:2 - fuse.glusterfs host:/vol rw,user_id=0\n"
      "41 22 0:43 / /srv/nfs rw - nfs4 srv:/export rw,vers=4.2,local_lock=none\n"
      "bad line\n";
  struct Case {
    uint64_t dev;
    bool found;
    const char* point;
    const char* type;
    const char* source;
  };
  const Case cases[] = {
      {(254ull << 32) | 1, true, "/", "ext4", "/dev/vda"},
      {42, true, "/mnt/my games", "fuse.glusterfs", "host:/vol"},
      {43, true, "/srv/nfs", "nfs4", "srv:/export"},
      {44, false, "", "", ""},
      {(42ull << 32), false, "", "", ""},
  };
  for (const Case& c : cases) {
    MountEntry m;
    ASSERT_EQ(findMount(info, c.dev, &m), c.found) << c.dev;
    if (!c.found) continue;
    EXPECT_EQ(m.point, c.point);
    EXPECT_EQ(m.type, c.type);
    EXPECT_EQ(m.source, c.source);
  }
  const std::string volfile =
      "volume v-write-behind\n    type performance/write-behind\nend-volume\n"
      "volume v-quick-read\n    type performance/quick-read\n    subvolumes v-write-behind\nend-volume\n"
      "volume v-md-cache\n    type performance/md-cache\nend-volume\n"
      "volume v-io-cache\n    type performance/io-cache\nend-volume\n"
      "volume v-ra\n    type performance/read-ahead\nend-volume\n"
      "volume v-io-threads\n    type performance/io-threads\nend-volume\n";
  EXPECT_EQ(staleContentCaches(volfile), (std::vector<std::string>{"quick-read", "io-cache", "read-ahead"}));
  EXPECT_TRUE(staleContentCaches("volume v\n    type performance/write-behind\nend-volume\n").empty());
  EXPECT_TRUE(staleContentCaches("").empty());
  EXPECT_TRUE(localFileSystem(0xEF53));
  EXPECT_FALSE(localFileSystem(0x65735546));
}
#endif

TEST(UndoRecordTest, Crc32MatchesTheBitwiseDefinitionAtEveryLengthAndSplit) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  std::string bytes;
  for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<char>(i * 37 + 11));
  for (size_t n = 0; n <= bytes.size(); ++n) {
    uint32_t want = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      want ^= static_cast<unsigned char>(bytes[i]);
      for (int k = 0; k < 8; ++k) want = (want & 1) ? 0xEDB88320u ^ (want >> 1) : want >> 1;
    }
    want ^= 0xFFFFFFFFu;
    EXPECT_EQ(crc32(bytes.data(), n), want) << n;
    EXPECT_EQ(crc32(bytes.data() + n / 3, n - n / 3, crc32(bytes.data(), n / 3)), want) << n;
  }
}

TEST(UndoRecordTest, RejectsDamagedOrInconsistentRecords) {
  UndoRecord rec;
  rec.oldSize = 100;
  rec.pos = 40;
  rec.copyOff = 110;
  rec.tailLen = 60;
  char raw[kUndoRecordSize];
  encodeUndoRecord(rec, raw);
  UndoRecord out;
  ASSERT_TRUE(decodeUndoRecord(raw, rec.fileEnd(), &out));
  EXPECT_EQ(out.pos, 40u);
  EXPECT_FALSE(decodeUndoRecord(raw, rec.fileEnd() + 64, &out));  // size does not match
  for (size_t i = 0; i < kUndoRecordSize; ++i) {
    char bad[kUndoRecordSize];
    std::copy(raw, raw + kUndoRecordSize, bad);
    bad[i] ^= 0x01;
    EXPECT_FALSE(decodeUndoRecord(bad, rec.fileEnd(), &out)) << "flipped byte " << i;
  }
  rec.tailLen = 59;  // inconsistent with oldSize - pos
  encodeUndoRecord(rec, raw);
  EXPECT_FALSE(decodeUndoRecord(raw, rec.fileEnd(), &out));
}

// The record's bytes are the same on every platform (the unit tests also run on big-endian
// s390x): each field little-endian, at its offset.
TEST(UndoRecordTest, EncodesEveryFieldLittleEndian) {
  UndoRecord rec;
  rec.oldSize = 0x123456789Aull;
  rec.pos = 0x1234;
  rec.copyOff = rec.oldSize + 0x56;
  rec.tailLen = rec.oldSize - rec.pos;
  rec.copyComplete = rec.sums = true;
  rec.copyCrc = 0xA1B2C3D4u;
  rec.newCrc = 0x11223344u;
  const std::string want = std::string("\0DBIundo", 8) + std::string("\x01\0\0\0\x03\0\0\0", 8) +
                           std::string("\x9A\x78\x56\x34\x12\0\0\0", 8) + std::string("\x34\x12\0\0\0\0\0\0", 8) +
                           std::string("\xF0\x78\x56\x34\x12\0\0\0", 8) + std::string("\x66\x66\x56\x34\x12\0\0\0", 8) +
                           std::string("\xD4\xC3\xB2\xA1\x44\x33\x22\x11", 8);
  char raw[kUndoRecordSize];
  encodeUndoRecord(rec, raw);
  EXPECT_EQ(std::string(raw, 56), want);
  const uint32_t crc = crc32(raw, 56);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<unsigned char>(raw[56 + i]), (crc >> (8 * i)) & 0xFF) << i;
  EXPECT_EQ(std::string(raw + 60, 4), "\xff" "END");
  UndoRecord out;
  ASSERT_TRUE(decodeUndoRecord(raw, rec.fileEnd(), &out));
  EXPECT_EQ(out.oldSize, rec.oldSize);
  EXPECT_EQ(out.pos, rec.pos);
  EXPECT_EQ(out.copyOff, rec.copyOff);
  EXPECT_EQ(out.tailLen, rec.tailLen);
  EXPECT_EQ(out.copyCrc, rec.copyCrc);
  EXPECT_EQ(out.newCrc, rec.newCrc);
}

}  // namespace
}  // namespace dbhelper
