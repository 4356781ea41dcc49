// Helpers shared by the core's unit tests: a private temp directory per test and
// whole-file reads and writes.
#ifndef DBHELPER_TEST_UTIL_H_
#define DBHELPER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "dbhelper/DBHelper.h"
#include "dbhelper/never_destroyed.h"
#include "dbhelper/options.h"
#include "dbhelper/table_cache.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace dbhelper {

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("dbhelper-") + info->test_suite_name() + "-" + info->name() + "-" +
            std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "table.txt").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void put(const std::string& bytes) { put(path_, bytes); }
  static void put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string get() const { return get(path_); }
  static std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool exists() const { return std::filesystem::exists(path_); }

  std::filesystem::path dir_;
  std::string path_;
};

// The three ways a table is read: held in memory and read on every call, streamed in
// chunks of 128 bytes, and answered from the cache (every table cached, however small).
struct ReadMode {
  const char* name;
  uint64_t imageLimit;
  size_t cacheMinBytes;
};
inline constexpr ReadMode kReadModes[] = {
    {"held", 64u << 20, SIZE_MAX}, {"streamed", 0, SIZE_MAX}, {"cached", 64u << 20, 0}};

// The options a test runs the core with: the real system calls unless the test replaces
// some in `sys`, and the defaults unless it changes `options`.
struct TestEnv {
  // Never freed: a descriptor kept by a write in one test is closed through its table later.
  static SysCalls& newSysCalls() {
    static std::mutex mu;
    std::lock_guard<std::mutex> l(mu);
    return neverDestroyed<std::deque<SysCalls>>().emplace_back(realSysCalls());
  }

  SysCalls& sys = newSysCalls();
  Options options;

  TestEnv() { options.sys = &sys; }
  explicit TestEnv(const ReadMode& mode) : TestEnv() { use(mode); }
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  void use(const ReadMode& mode) {
    options.imageLimit = mode.imageLimit;
    options.cacheMinBytes = mode.cacheMinBytes;
  }
};

// Reads the table once, so that in the cached mode the next object answers from the cache.
inline void warm(const std::string& path, const Options& options) {
  DBHelper t(path, nullptr, DBHelper::Access::kRead, options);
  t.getNumRows();
}

}  // namespace dbhelper

#endif  // DBHELPER_TEST_UTIL_H_
