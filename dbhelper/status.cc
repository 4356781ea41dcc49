#include "dbhelper/status.h"

#include <cstring>

namespace dbhelper {

Status Status::FromErrno(std::string_view what, std::string_view path, int err) {
  std::string msg(what);
  msg += " ";
  msg += path;
  Status s(Code::kIOError, std::move(msg));
  s.errno_ = err;
  // strerror is not thread-safe everywhere; strerror_r comes in two flavours.
#if defined(_WIN32)
  char buf[256];
  strerror_s(buf, sizeof buf, err);
  s.os_error_ = buf;
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  char buf[256];
  s.os_error_ = strerror_r(err, buf, sizeof buf);
#else
  char buf[256];
  if (strerror_r(err, buf, sizeof buf) == 0) s.os_error_ = buf;
  else s.os_error_ = "error " + std::to_string(err);
#endif
  return s;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  if (os_error_.empty()) return message_;
  return message_ + ": " + os_error_;
}

}  // namespace dbhelper
