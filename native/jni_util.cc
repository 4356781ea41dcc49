#include "native/jni_util.h"

#include <iterator>
#include <limits>

#include "dbhelper/utf.h"

namespace dbiface {

namespace {

// Builds `new cls(message)` or `new cls(message, cause)`; returns null with an exception
// pending on failure. Messages go through NewString, never ThrowNew, because ThrowNew
// wants modified UTF-8 and our messages may quote any bytes the caller sent.
jobject newThrowable(JNIEnv* env, const char* cls, std::string_view message, jobject cause) {
  LocalRef clazz(env, env->FindClass(cls));
  if (!clazz) return nullptr;
  const char* sig = cause != nullptr ? "(Ljava/lang/String;Ljava/io/IOException;)V" : "(Ljava/lang/String;)V";
  jmethodID ctor = env->GetMethodID(static_cast<jclass>(clazz.get()), "<init>", sig);
  if (ctor == nullptr) return nullptr;
  LocalRef msg(env, newString(env, message));
  if (!msg) return nullptr;
  return cause != nullptr ? env->NewObject(static_cast<jclass>(clazz.get()), ctor, msg.get(), cause)
                          : env->NewObject(static_cast<jclass>(clazz.get()), ctor, msg.get());
}

// Messages quote what the caller sent (a key, a path); a few KiB of it say enough, and
// the rest could overflow a Java string.
constexpr size_t kMaxMessageBytes = 4096;

std::string_view capped(std::string_view m) {
  if (m.size() <= kMaxMessageBytes) return m;
  size_t n = kMaxMessageBytes;
  while (n > 0 && (static_cast<unsigned char>(m[n]) & 0xC0) == 0x80) --n;  // whole characters only
  return m.substr(0, n);
}

void throwNamed(JNIEnv* env, const char* cls, std::string_view message) noexcept {
  try {
    LocalRef t(env, newThrowable(env, cls, capped(message), nullptr));
    if (t) env->Throw(static_cast<jthrowable>(t.get()));
  } catch (...) {  // no memory for the message
    throwOutOfMemory(env, kOutOfMemory);
  }
}

}  // namespace

void throwIllegalState(JNIEnv* env, std::string_view m) noexcept { throwNamed(env, "java/lang/IllegalStateException", m); }
void throwIllegalArgument(JNIEnv* env, std::string_view m) noexcept { throwNamed(env, "java/lang/IllegalArgumentException", m); }
void throwIndexOutOfBounds(JNIEnv* env, std::string_view m) noexcept {
  throwNamed(env, "java/lang/IndexOutOfBoundsException", m);
}
void throwNullPointer(JNIEnv* env, std::string_view m) noexcept { throwNamed(env, "java/lang/NullPointerException", m); }

void throwOutOfMemory(JNIEnv* env, const char* message) noexcept {
  if (env->ExceptionCheck()) return;
  jclass cls = env->FindClass("java/lang/OutOfMemoryError");
  if (cls != nullptr) env->ThrowNew(cls, message);  // ASCII, allocates nothing here
}

void throwUncheckedIO(JNIEnv* env, std::string_view message, std::string_view osError) noexcept {
  try {
    message = capped(message);
    LocalRef cause(env, newThrowable(env, "java/io/IOException", osError.empty() ? message : capped(osError), nullptr));
    if (!cause) return;
    std::string full(message);
    if (!osError.empty()) full.append(": ").append(capped(osError));
    LocalRef t(env, newThrowable(env, "java/io/UncheckedIOException", full, cause.get()));
    if (t) env->Throw(static_cast<jthrowable>(t.get()));
  } catch (...) {
    throwOutOfMemory(env, kOutOfMemory);
  }
}

void throwNoSuchFile(JNIEnv* env, std::string_view message, std::string_view path) noexcept {
  try {
    LocalRef cause(env, newThrowable(env, "java/nio/file/NoSuchFileException", capped(path), nullptr));
    if (!cause) return;
    LocalRef t(env, newThrowable(env, "java/io/UncheckedIOException", capped(message), cause.get()));
    if (t) env->Throw(static_cast<jthrowable>(t.get()));
  } catch (...) {
    throwOutOfMemory(env, kOutOfMemory);
  }
}

void throwStatus(JNIEnv* env, const dbhelper::Status& s) noexcept {
  using Code = dbhelper::Status::Code;
  switch (s.code()) {
    case Code::kInvalidArgument:
      throwIllegalArgument(env, s.message());
      return;
    case Code::kOutOfRange:
      throwIndexOutOfBounds(env, s.message());
      return;
    case Code::kOverflow:
      throwNamed(env, "java/lang/ArithmeticException", s.message());
      return;
    case Code::kOk:
    case Code::kIOError:
    case Code::kChanged:
    case Code::kBusy:
      break;
  }
  throwUncheckedIO(env, s.message(), s.osError());
}

std::optional<std::string> toUtf8(JNIEnv* env, jstring s) {
  const jsize len = env->GetStringLength(s);
  // A record or a path fits on the stack; longer texts take the heap.
  char16_t small[512];
  std::u16string large;
  char16_t* units = small;
  if (static_cast<size_t>(len) > std::size(small)) {
    large.resize(static_cast<size_t>(len));
    units = large.data();
  }
  // GetStringRegion copies without pinning the string, so no release is needed.
  env->GetStringRegion(s, 0, len, reinterpret_cast<jchar*>(units));
  if (env->ExceptionCheck()) return std::nullopt;
  return dbhelper::encodeUtf8(std::u16string_view(units, static_cast<size_t>(len)));
}

jstring newString(JNIEnv* env, std::string_view utf8) {
  const std::u16string units = dbhelper::decodeUtf8(utf8);
  if (units.size() > static_cast<size_t>(std::numeric_limits<jsize>::max())) {
    throwOutOfMemory(env, "string too long for Java");
    return nullptr;
  }
  return env->NewString(reinterpret_cast<const jchar*>(units.data()), static_cast<jsize>(units.size()));
}

// Returns a new String[] (`cls`: java.lang.String) of the first `n` strings; null with
// an exception pending.
jobjectArray stringArray(JNIEnv* env, jclass cls, const std::string* strings, size_t n) {
  jobjectArray out = env->NewObjectArray(static_cast<jsize>(n), cls, nullptr);
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    LocalRef s(env, newString(env, strings[i]));
    if (!s) {
      env->DeleteLocalRef(out);
      return nullptr;
    }
    env->SetObjectArrayElement(out, static_cast<jsize>(i), s.get());
  }
  return out;
}

jobjectArray stringArray(JNIEnv* env, const std::string* strings, size_t n) {
  LocalRef cls(env, env->FindClass("java/lang/String"));
  return cls ? stringArray(env, static_cast<jclass>(cls.get()), strings, n) : nullptr;
}

}  // namespace dbiface
