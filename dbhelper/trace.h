// The trace lines a table operation writes: to a caller's buffer (the JNI layer writes
// a call's lines in one system call), or to standard output at once.
#ifndef DBHELPER_TRACE_H_
#define DBHELPER_TRACE_H_

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace dbhelper {

class Trace {
 public:
  // Lines go to `*sink`, or to standard output when `sink` is null.
  explicit Trace(std::string* sink) : sink_(sink) {
    if (sink_ != nullptr) sink_->reserve(sink_->size() + 256);  // room for an insertion's lines
  }

  // Writes one line: the pieces back to back, then a line feed.
  void line(std::string_view a, std::string_view b = {}) {
    if (sink_ != nullptr) {
      sink_->append(a).append(b).push_back('\n');
      return;
    }
    std::string text;
    text.reserve(a.size() + b.size() + 1);
    text.append(a).append(b).push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  void line(std::string_view a, int64_t n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    line(a, std::string_view(digits, static_cast<size_t>(end - digits)));
  }

 private:
  std::string* sink_;
};

}  // namespace dbhelper

#endif  // DBHELPER_TRACE_H_
