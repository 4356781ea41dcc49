// JNI entry points of gameserver.TableTools: the command-line tool's listing, check,
// repair, backup and edit. Each works on the path it is given, prints no trace lines, and
// makes Java objects and throws only once the table is unlocked again. No C++ exception
// leaves here.
#include <jni.h>

#include <optional>
#include <string>
#include <vector>

#include "dbhelper/table_tools.h"
#include "gameserver_TableTools.h"  // generated from the Java class by javac -h
#include "native/jni_util.h"

namespace {

using dbhelper::Status;

constexpr char kPlatform[] =
#if defined(_WIN32)
    "windows-"
#elif defined(__linux__)
    "linux-"
#elif defined(__APPLE__)
    "macos-"
#else
    "other-"
#endif
#if defined(__x86_64__) || defined(_M_X64)
    "x86_64";
#elif defined(__aarch64__)
    "aarch64";
#elif defined(__arm__)
    "armv7";
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
    "ppc64le";
#elif defined(__s390x__)
    "s390x";
#elif defined(__riscv) && __riscv_xlen == 64
    "riscv64";
#else
    "unknown";
#endif

using dbiface::guarded;

std::optional<std::string> bytesOf(JNIEnv* env, jbyteArray array) {
  if (array == nullptr) {
    dbiface::throwNullPointer(env, "content is null");
    return std::nullopt;
  }
  std::string out(static_cast<size_t>(env->GetArrayLength(array)), '\0');
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(out.size()), reinterpret_cast<jbyte*>(out.data()));
  return out;
}

// Returns a String[] of the findings' sentences; null with an exception pending.
jobjectArray findingsArray(JNIEnv* env, const std::vector<dbhelper::Finding>& findings) {
  std::vector<std::string> texts;
  texts.reserve(findings.size());
  for (const auto& f : findings) texts.push_back(f.text);
  return dbiface::stringArray(env, texts.data(), texts.size());
}

std::optional<std::string> pathOf(JNIEnv* env, jstring path) {
  if (path == nullptr) {
    dbiface::throwNullPointer(env, "path is null");
    return std::nullopt;
  }
  return dbiface::toUtf8(env, path);
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_gameserver_TableTools_rowTexts(JNIEnv* env, jclass, jstring jpath) {
  return guarded<jstring>(env, nullptr, [&]() -> jstring {
    const std::optional<std::string> path = pathOf(env, jpath);
    if (!path) return nullptr;
    std::string texts;
    int64_t rows = 0;
    const Status s = dbhelper::listRows(*path, dbiface::libraryOptions(), &texts, &rows);
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return nullptr;
    }
    return dbiface::newString(env, texts);
  });
}

JNIEXPORT jobjectArray JNICALL Java_gameserver_TableTools_check(JNIEnv* env, jclass, jstring jpath) {
  return guarded<jobjectArray>(env, nullptr, [&]() -> jobjectArray {
    const std::optional<std::string> path = pathOf(env, jpath);
    if (!path) return nullptr;
    std::vector<dbhelper::Finding> findings;
    const Status s = dbhelper::checkTable(*path, dbiface::libraryOptions(), &findings);
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return nullptr;
    }
    return findingsArray(env, findings);
  });
}

JNIEXPORT jobjectArray JNICALL Java_gameserver_TableTools_checkContent(JNIEnv* env, jclass, jbyteArray jcontent,
                                                                        jstring jname) {
  return guarded<jobjectArray>(env, nullptr, [&]() -> jobjectArray {
    const std::optional<std::string> content = bytesOf(env, jcontent);
    const std::optional<std::string> name = content ? pathOf(env, jname) : std::nullopt;
    if (!name) return nullptr;
    return findingsArray(env, dbhelper::checkText(*content, *name));
  });
}

JNIEXPORT jboolean JNICALL Java_gameserver_TableTools_repair(JNIEnv* env, jclass, jstring jpath) {
  return guarded<jboolean>(env, JNI_FALSE, [&]() -> jboolean {
    const std::optional<std::string> path = pathOf(env, jpath);
    if (!path) return JNI_FALSE;
    bool repaired = false;
    const Status s = dbhelper::repairTable(*path, dbiface::libraryOptions(), &repaired);
    if (!s.ok()) dbiface::throwStatus(env, s);
    return repaired ? JNI_TRUE : JNI_FALSE;
  });
}

JNIEXPORT jbyteArray JNICALL Java_gameserver_TableTools_snapshot(JNIEnv* env, jclass, jstring jpath) {
  return guarded<jbyteArray>(env, nullptr, [&]() -> jbyteArray {
    const std::optional<std::string> path = pathOf(env, jpath);
    if (!path) return nullptr;
    std::string bytes;
    const Status s = dbhelper::snapshotTable(*path, dbiface::libraryOptions(), &bytes);
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return nullptr;
    }
    jbyteArray out = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (out != nullptr) {
      env->SetByteArrayRegion(out, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<const jbyte*>(bytes.data()));
    }
    return out;
  });
}

JNIEXPORT jlong JNICALL Java_gameserver_TableTools_replace(JNIEnv* env, jclass, jstring jpath, jbyteArray jbase,
                                                           jbyteArray jedited) {
  return guarded<jlong>(env, -1, [&]() -> jlong {
    const std::optional<std::string> path = pathOf(env, jpath);
    const std::optional<std::string> base = path ? bytesOf(env, jbase) : std::nullopt;
    const std::optional<std::string> edited = base ? bytesOf(env, jedited) : std::nullopt;
    if (!edited) return -1;
    int64_t kept = 0;
    const Status s = dbhelper::replaceTable(*path, dbiface::libraryOptions(), *base, *edited, &kept);
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return -1;
    }
    return static_cast<jlong>(kept);
  });
}

JNIEXPORT jlongArray JNICALL Java_gameserver_TableTools_backup(JNIEnv* env, jclass, jstring jpath, jstring jdest) {
  return guarded<jlongArray>(env, nullptr, [&]() -> jlongArray {
    const std::optional<std::string> path = pathOf(env, jpath);
    const std::optional<std::string> dest = path ? pathOf(env, jdest) : std::nullopt;
    if (!dest) return nullptr;
    dbhelper::BackupStats stats;
    const Status s = dbhelper::backupTable(*path, *dest, dbiface::libraryOptions(), &stats);
    if (!s.ok()) {
      dbiface::throwStatus(env, s);
      return nullptr;
    }
    const jlong values[3] = {static_cast<jlong>(stats.bytes), stats.rounds, static_cast<jlong>(stats.lockedMs * 1000)};
    jlongArray out = env->NewLongArray(3);
    if (out != nullptr) env->SetLongArrayRegion(out, 0, 3, values);
    return out;
  });
}

JNIEXPORT jstring JNICALL Java_gameserver_TableTools_nativeBuild(JNIEnv* env, jclass) {
  return guarded<jstring>(env, nullptr, [&] { return dbiface::newString(env, std::string(DBIFACE_VERSION " ") + kPlatform); });
}

}  // extern "C"
