// JNI entry points of gameserver.DBIface. Each call builds a fresh DBHelper on the
// table path, answers from it, writes the call's trace lines to standard output in
// one write, and turns a failure into a Java exception. No C++ exception leaves here.
#include <jni.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "dbhelper/DBHelper.h"
#include "dbhelper/options.h"
#include "gameserver_DBIface.h"  // generated from the Java class by javac -h
#include "native/jni_util.h"

namespace {

using dbhelper::DBHelper;

std::mutex gPathMu;
std::shared_ptr<const std::string> tablePath;  // copied at init; guarded by gPathMu

std::shared_ptr<const std::string> currentPath() {
  std::lock_guard<std::mutex> l(gPathMu);
  return tablePath;
}

// Where trace lines go: 1 or 2 (the descriptor), or -1 (nowhere). Set as the class loads.
std::atomic<int> gTraceFd{1};

// Writes the gathered trace lines with as few system calls as the OS allows, so they
// come out whole and in order with the Java program's own output. Called with the table
// unlocked: output that nobody reads blocks only this call, never the table.
void flushTrace(const std::string& trace) {
  const int fd = gTraceFd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  const char* p = trace.data();
  size_t left = trace.size();
  while (left > 0) {
#if defined(_WIN32)
    const int w = _write(fd, p, static_cast<unsigned>(left));
#else
    const ssize_t w = ::write(fd, p, left);
#endif
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // standard output closed: trace lines are best effort
    p += w;
    left -= static_cast<size_t>(w);
  }
}

// Runs `body` with the table path and a trace buffer, then flushes the trace. Throws
// IllegalStateException before init, and maps C++ failures to Java errors.
template <typename R, typename Body>
R withTable(JNIEnv* env, R onError, const char* prefix, Body body) {
  std::string trace;
  R result = onError;
  try {
    const std::shared_ptr<const std::string> path = currentPath();
    if (!path) {
      dbiface::throwIllegalState(env, "table path not set; call DBIface.init first");
      return onError;
    }
    trace = prefix;
    result = body(*path, &trace);
  } catch (const std::bad_alloc&) {
    flushTrace(trace);
    dbiface::throwOutOfMemory(env, dbiface::kOutOfMemory);
    return onError;
  } catch (...) {
    flushTrace(trace);
    if (!env->ExceptionCheck()) dbiface::throwIllegalState(env, "internal error in gameserver_DBIface");
    return onError;
  }
  flushTrace(trace);
  return result;
}

// The two write calls: the record text converted before the table is locked, `write` on
// the table, and a failure thrown once the table is unlocked again.
template <typename Write>
void writeRecord(JNIEnv* env, jstring text, DBHelper::Access access, Write write) {
  if (text == nullptr) {
    dbiface::throwNullPointer(env, "record text is null");
    return;
  }
  withTable<int>(env, 0, "", [&](const std::string& path, std::string* trace) {
    const std::optional<std::string> record = dbiface::toUtf8(env, text);
    if (!record) return 0;
    dbhelper::Status s;
    {
      DBHelper table(path, trace, access, dbiface::libraryOptions());
      s = table.status().ok() ? write(table, *record) : table.status();
    }
    if (!s.ok()) dbiface::throwStatus(env, s);
    return 0;
  });
}

}  // namespace

dbhelper::Options& dbiface::libraryOptions() {
  static dbhelper::Options options;  // filled by setSyncMode as the class loads
  return options;
}

extern "C" {

JNIEXPORT void JNICALL Java_gameserver_DBIface_init(JNIEnv* env, jclass, jstring path) {
  try {
    if (path == nullptr) {
      dbiface::throwNullPointer(env, "table path is null");
      return;
    }
    std::optional<std::string> p = dbiface::toUtf8(env, path);
    if (!p) return;
    if (p->find('\0') != std::string::npos) {
      dbiface::throwIllegalArgument(env, "table path contains a NUL character");
      return;
    }
    auto next = std::make_shared<const std::string>(std::move(*p));
    std::lock_guard<std::mutex> l(gPathMu);
    tablePath = std::move(next);
  } catch (const std::bad_alloc&) {
    dbiface::throwOutOfMemory(env, dbiface::kOutOfMemory);
  } catch (...) {
    if (!env->ExceptionCheck()) dbiface::throwIllegalState(env, "internal error in gameserver_DBIface");
  }
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_setSyncMode(JNIEnv*, jclass, jint mode) {
  dbiface::libraryOptions().sync = mode == 1 ? dbhelper::SyncMode::kFull : dbhelper::SyncMode::kOff;
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_setTraceMode(JNIEnv*, jclass, jint mode) {
  gTraceFd.store(mode == 0 ? 1 : mode == 1 ? 2 : -1, std::memory_order_relaxed);
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_setCacheOn(JNIEnv*, jclass, jboolean on) {
  dbiface::libraryOptions().cacheMinBytes = on ? 0 : SIZE_MAX;
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_setSingleProcess(JNIEnv*, jclass, jboolean single) {
  dbiface::libraryOptions().singleProcess = single;
}

JNIEXPORT jint JNICALL Java_gameserver_DBIface_getNumRows(JNIEnv* env, jclass) {
  return withTable<jint>(env, 0, "calling getnumrows in dbiface\n", [&](const std::string& path, std::string* trace) {
    int32_t n = 0;
    dbhelper::Status s;
    {
      DBHelper table(path, trace, DBHelper::Access::kRead, dbiface::libraryOptions());
      if (table.status().ok()) n = table.getNumRows();
      s = table.status();
    }  // thrown once the table is unlocked
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return jint{0};
    }
    trace->append("returning " + std::to_string(n) + " from getnumrows in dbiface\n");
    return static_cast<jint>(n);
  });
}

JNIEXPORT jstring JNICALL Java_gameserver_DBIface_getRow(JNIEnv* env, jclass, jint index) {
  return withTable<jstring>(env, nullptr, "", [&](const std::string& path, std::string* trace) -> jstring {
    std::string row;
    dbhelper::Status s;
    {
      DBHelper table(path, trace, DBHelper::Access::kRead, dbiface::libraryOptions());
      if (table.status().ok()) row = table.getRow(index);
      s = table.status();
    }  // the table is unlocked before the JVM allocates the string or the exception
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return nullptr;
    }
    return dbiface::newString(env, row);
  });
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_writeRow(JNIEnv* env, jclass, jstring text) {
  writeRecord(env, text, DBHelper::Access::kAppend,
              [](DBHelper& table, const std::string& record) { return table.writeRow(record); });
}

JNIEXPORT void JNICALL Java_gameserver_DBIface_writeRowToLine(JNIEnv* env, jclass, jstring text, jint line) {
  writeRecord(env, text, DBHelper::Access::kWrite, [line](DBHelper& table, const std::string& record) {
    return table.writeRowToLine(record, line);
  });
}

// The loader compares this with the class's version, so a stale copy found on
// java.library.path is refused instead of running with the wrong class.
JNIEXPORT jstring JNICALL Java_gameserver_DBIface_nativeVersion(JNIEnv* env, jclass) {
  try {
    return dbiface::newString(env, DBIFACE_VERSION);
  } catch (...) {
    if (!env->ExceptionCheck()) dbiface::throwOutOfMemory(env, dbiface::kOutOfMemory);
    return nullptr;
  }
}

}  // extern "C"
