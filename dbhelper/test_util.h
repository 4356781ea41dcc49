// Helpers shared by the core's unit tests: a private temp directory per test and
// whole-file reads and writes.
#ifndef DBHELPER_TEST_UTIL_H_
#define DBHELPER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "dbhelper/DBHelper.h"

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

// Sets the size above which tables are streamed rather than held, for one scope.
class ImageLimit {
 public:
  explicit ImageLimit(uint64_t bytes) : saved_(DBHelper::imageLimit()) { DBHelper::SetImageLimit(bytes); }
  ~ImageLimit() { DBHelper::SetImageLimit(saved_); }
  ImageLimit(const ImageLimit&) = delete;
  ImageLimit& operator=(const ImageLimit&) = delete;

 private:
  uint64_t saved_;
};

// Both ways of reading a table: held in memory, and streamed in small chunks.
inline constexpr uint64_t kHeldAndStreamed[] = {64u << 20, 0};

}  // namespace dbhelper

#endif  // DBHELPER_TEST_UTIL_H_
