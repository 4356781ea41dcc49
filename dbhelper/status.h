// Outcome of a table operation. OS errors are mapped to it in one place (status.cc)
// so that the JNI layer can turn each kind into one Java exception class.
#ifndef DBHELPER_STATUS_H_
#define DBHELPER_STATUS_H_

#include <string>
#include <string_view>

namespace dbhelper {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk,
    kInvalidArgument,  // a record that cannot be placed in the table
    kOutOfRange,       // a line number outside the table
    kIOError,          // the OS refused a read, write, lock or open
    kChanged,          // another program truncated, replaced or kept growing the file during the call
    kBusy,             // the table stayed locked by another writer
    kOverflow,         // an answer too large for the caller's integer type
  };

  Status() = default;
  static Status OK() { return Status(); }
  static Status InvalidArgument(std::string msg) { return Status(Code::kInvalidArgument, std::move(msg)); }
  static Status OutOfRange(std::string msg) { return Status(Code::kOutOfRange, std::move(msg)); }
  static Status Busy(std::string msg) { return Status(Code::kBusy, std::move(msg)); }
  static Status Overflow(std::string msg) { return Status(Code::kOverflow, std::move(msg)); }
  // Returns an I/O error that the OS did not report (a file of the wrong kind, a file
  // changed under a write); `msg` says it all.
  static Status IOError(std::string msg) { return Status(Code::kIOError, std::move(msg)); }
  // Returns the error for a file that another program changed under a write in a way the
  // write cannot take in; the file is left as that program left it.
  static Status Changed(std::string msg) { return Status(Code::kChanged, std::move(msg)); }
  // Returns an I/O error for `what` on `path`, carrying the OS's text for `err` (an errno).
  static Status FromErrno(std::string_view what, std::string_view path, int err);

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // Returns the message without the OS detail, e.g. "cannot write table /t.txt".
  const std::string& message() const { return message_; }
  // Returns the OS's error text ("No space left on device"), empty when there is none.
  const std::string& osError() const { return os_error_; }
  int errnoValue() const { return errno_; }
  // Returns message and OS text together, for logs and test failures.
  std::string ToString() const;

 private:
  Status(Code code, std::string msg) : code_(code), message_(std::move(msg)) {}
  Code code_ = Code::kOk;
  std::string message_;
  std::string os_error_;
  int errno_ = 0;
};

}  // namespace dbhelper

#endif  // DBHELPER_STATUS_H_
