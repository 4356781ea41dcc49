// Small helpers for the JNI entry points: Java exceptions thrown from native code, and
// string conversions. Each helper returns with the exception pending and uses JNI no
// further once one is pending.
#ifndef NATIVE_JNI_UTIL_H_
#define NATIVE_JNI_UTIL_H_

#include <jni.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "dbhelper/status.h"

namespace dbhelper {
struct Options;
}

namespace dbiface {

// The options every call of this library uses, filled from the Java properties when
// DBIface loads, before any other call can run.
dbhelper::Options& libraryOptions();

// A local reference, released when it leaves scope, so helpers can be called in loops
// without filling the local reference table.
class LocalRef {
 public:
  LocalRef(JNIEnv* env, jobject obj) : env_(env), obj_(obj) {}
  ~LocalRef() {
    if (obj_ != nullptr) env_->DeleteLocalRef(obj_);
  }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  jobject get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  JNIEnv* env_;
  jobject obj_;
};

// Throw a new instance of the named exception class with `message` (UTF-8, of which the
// first 4 KiB are kept). They allocate; when that fails, they throw OutOfMemoryError
// instead, so they never throw a C++ exception.
void throwIllegalState(JNIEnv* env, std::string_view message) noexcept;
void throwIllegalArgument(JNIEnv* env, std::string_view message) noexcept;
void throwIndexOutOfBounds(JNIEnv* env, std::string_view message) noexcept;
void throwNullPointer(JNIEnv* env, std::string_view message) noexcept;
// Throws java.io.UncheckedIOException(message, new IOException(osError)).
void throwUncheckedIO(JNIEnv* env, std::string_view message, std::string_view osError) noexcept;
// Throws java.io.UncheckedIOException(message, new NoSuchFileException(path)).
void throwNoSuchFile(JNIEnv* env, std::string_view message, std::string_view path) noexcept;
// Throws the exception that matches a failed status. REQUIRES: !s.ok().
void throwStatus(JNIEnv* env, const dbhelper::Status& s) noexcept;

// The message for running out of memory; throwOutOfMemory allocates nothing, so it works then.
inline constexpr char kOutOfMemory[] = "out of memory in gameserver_DBIface";
// REQUIRES: `message` ASCII.
void throwOutOfMemory(JNIEnv* env, const char* message) noexcept;

// Runs `body` and returns what it returns. A C++ exception from it becomes a Java error
// (OutOfMemoryError for bad_alloc, else IllegalStateException unless one is pending
// already) and `onError` is returned: no C++ exception leaves an entry point through it.
template <typename R, typename Body>
R guarded(JNIEnv* env, R onError, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    throwOutOfMemory(env, kOutOfMemory);
  } catch (...) {
    if (!env->ExceptionCheck()) throwIllegalState(env, "internal error in gameserver_DBIface");
  }
  return onError;
}

// Returns the UTF-8 bytes of `s`, or nothing with an exception pending.
std::optional<std::string> toUtf8(JNIEnv* env, jstring s);
// Returns a new Java string for UTF-8 (or modified UTF-8) bytes, or null with an
// exception pending.
jstring newString(JNIEnv* env, std::string_view utf8);
// Returns a new String[] (`cls`: java.lang.String) of the first `n` strings; null with an
// exception pending.
jobjectArray stringArray(JNIEnv* env, jclass cls, const std::string* strings, size_t n);
jobjectArray stringArray(JNIEnv* env, const std::string* strings, size_t n);

}  // namespace dbiface

#endif  // NATIVE_JNI_UTIL_H_
