// Smoke test of the built library where no JVM runs: gameserver_DBIface.dll on Windows
// (under Wine in CI) and libgameserver_DBIface.so cross-built for another architecture
// (under qemu-user). Loads the library as System.loadLibrary would, drives the exported JNI
// functions through a small stand-in for the JVM's JNIEnv, and checks trace output, results,
// exceptions, locking and the table's bytes on disk (CR LF line ends on Windows).
//
// Usage: smoke[.exe] [DIR]  (DIR: where the library is; default: beside the program)
// Build with -DDBIFACE_VERSION='"X.Y.Z"', the version the library must report.
#include <fcntl.h>
#include <jni.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- a stand-in JVM: strings, exception classes and one pending exception ----------------

struct Obj {
  std::string cls;       // "java/lang/String" or an exception class
  std::u16string text;   // string value, or the exception's message
  const Obj* cause = nullptr;
};

std::mutex gHeapMu;
std::deque<Obj> gHeap;  // never shrinks: the smoke run is short
thread_local const Obj* tPending = nullptr;

Obj* alloc(Obj o) {
  std::lock_guard<std::mutex> l(gHeapMu);
  gHeap.push_back(std::move(o));
  return &gHeap.back();
}

const Obj* obj(const void* p) { return static_cast<const Obj*>(p); }

jclass JNICALL findClass(JNIEnv*, const char* name) {
  return reinterpret_cast<jclass>(alloc({name, u"", nullptr}));
}

// Two constructors are used: (String) and (String, IOException).
_jmethodID* const kCtor1 = reinterpret_cast<_jmethodID*>(1);
_jmethodID* const kCtor2 = reinterpret_cast<_jmethodID*>(2);

jmethodID JNICALL getMethodID(JNIEnv*, jclass, const char* name, const char* sig) {
  if (std::string(name) != "<init>") return nullptr;
  return std::string(sig) == "(Ljava/lang/String;)V" ? kCtor1 : kCtor2;
}

jobject JNICALL newObjectV(JNIEnv*, jclass cls, jmethodID ctor, va_list args) {
  Obj o;
  o.cls = obj(cls)->cls;
  o.text = obj(va_arg(args, jobject))->text;
  if (ctor == kCtor2) o.cause = obj(va_arg(args, jobject));
  return reinterpret_cast<jobject>(alloc(std::move(o)));
}

jint JNICALL throwObj(JNIEnv*, jthrowable t) {
  tPending = obj(t);
  return 0;
}

jint JNICALL throwNew(JNIEnv*, jclass cls, const char* msg) {
  std::string m(msg);
  tPending = alloc({obj(cls)->cls, std::u16string(m.begin(), m.end()), nullptr});
  return 0;
}

jboolean JNICALL exceptionCheck(JNIEnv*) { return tPending != nullptr; }
void JNICALL deleteLocalRef(JNIEnv*, jobject) {}

jstring JNICALL newString(JNIEnv*, const jchar* units, jsize len) {
  return reinterpret_cast<jstring>(
      alloc({"java/lang/String", std::u16string(reinterpret_cast<const char16_t*>(units), len), nullptr}));
}

jsize JNICALL getStringLength(JNIEnv*, jstring s) { return static_cast<jsize>(obj(s)->text.size()); }

void JNICALL getStringRegion(JNIEnv*, jstring s, jsize start, jsize len, jchar* buf) {
  for (jsize i = 0; i < len; ++i) buf[i] = obj(s)->text[start + i];
}

JNINativeInterface_ makeFunctions() {
  JNINativeInterface_ f{};
  f.FindClass = findClass;
  f.GetMethodID = getMethodID;
  f.NewObjectV = newObjectV;
  f.Throw = throwObj;
  f.ThrowNew = throwNew;
  f.ExceptionCheck = exceptionCheck;
  f.DeleteLocalRef = deleteLocalRef;
  f.NewString = newString;
  f.GetStringLength = getStringLength;
  f.GetStringRegion = getStringRegion;
  return f;
}

const JNINativeInterface_ kFunctions = makeFunctions();

JNIEnv* env() {
  thread_local JNIEnv_ e{&kFunctions};
  return &e;
}

jstring str(const std::u16string& s) {
  return newString(env(), reinterpret_cast<const jchar*>(s.data()), static_cast<jsize>(s.size()));
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string ascii(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// ---- the DLL --------------------------------------------------------------------------

using InitFn = void(JNICALL*)(JNIEnv*, jclass, jstring);
using NumRowsFn = jint(JNICALL*)(JNIEnv*, jclass);
using GetRowFn = jstring(JNICALL*)(JNIEnv*, jclass, jint);
using WriteRowFn = void(JNICALL*)(JNIEnv*, jclass, jstring);
using WriteRowToLineFn = void(JNICALL*)(JNIEnv*, jclass, jstring, jint);
using VersionFn = jstring(JNICALL*)(JNIEnv*, jclass);

InitFn init;
NumRowsFn getNumRows;
GetRowFn getRow;
WriteRowFn writeRow;
WriteRowToLineFn writeRowToLine;
VersionFn nativeVersion;

#if defined(_WIN32)
using Library = HMODULE;
// GetProcAddress returns a generic function pointer; void(*)() is the sanctioned way
// through to the real type.
template <typename F>
F symbol(Library dll, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}
#else
using Library = void*;
template <typename F>
F symbol(Library dll, const char* name) {
  return reinterpret_cast<F>(dlsym(dll, name));
}
#endif

// ---- checking ------------------------------------------------------------------------

int gFailures = 0;
int gChecks = 0;

std::string show(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7f) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void expect(bool ok, const std::string& what) {
  ++gChecks;
  if (!ok) {
    ++gFailures;
    std::printf("FAIL %s\n", what.c_str());
    std::fflush(stdout);
  }
}

void expectEq(const std::string& got, const std::string& want, const std::string& what) {
  expect(got == want, what + ": got " + show(got) + ", expected " + show(want));
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `call` with standard output (fd 1, which the library's trace uses) sent to a file
// opened in text mode, as a console's is, and returns what was written.
template <typename F>
std::string captured(F call) {
  std::fflush(stdout);
  const char* name = "smoke-trace.txt";
#if defined(_WIN32)
  const int saved = _dup(1);
  const int fd = _open(name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
  _dup2(fd, 1);
  _close(fd);
  call();
  _dup2(saved, 1);
  _close(saved);
  std::string out = readFile(name);
  _unlink(name);
#else
  const int saved = dup(1);
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  call();
  dup2(saved, 1);
  close(saved);
  std::string out = readFile(name);
  unlink(name);
#endif
  return out;
}

// Returns the pending exception as "Class" or "Class <- CauseClass" and clears it.
std::string takeException() {
  const Obj* t = tPending;
  tPending = nullptr;
  if (t == nullptr) return "";
  std::string s = t->cls;
  if (t->cause != nullptr) s += " <- " + t->cause->cls;
  return s;
}

// The platform's line end: lines the library writes end in CR LF on Windows only.
std::string crlf(const std::string& lf) {
#if !defined(_WIN32)
  return lf;
#endif
  std::string out;
  for (char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const std::string C = "DBHelper constructor\n";

std::string rowsTrace(int n) {
  return "calling getnumrows in dbiface\n" + C + "returning " + std::to_string(n) + " from getnumrows in dbiface\n";
}

void checkRows(int want, const std::string& what) {
  jint n = -1;
  const std::string out = captured([&] { n = getNumRows(env(), nullptr); });
  expect(n == want, what + ": getNumRows " + std::to_string(n) + ", expected " + std::to_string(want));
  expectEq(out, crlf(rowsTrace(want)), what + ": getNumRows trace");
  expectEq(takeException(), "", what + ": getNumRows exception");
}

void checkRow(int index, const std::string& want, const std::string& what) {
  jstring s = nullptr;
  const std::string out = captured([&] { s = getRow(env(), nullptr, index); });
  expect(s != nullptr, what + ": getRow returned null");
  if (s != nullptr) expectEq(ascii(obj(s)->text), want, what + ": getRow(" + std::to_string(index) + ")");
  expectEq(out, crlf(C), what + ": getRow trace");
  expectEq(takeException(), "", what + ": getRow exception");
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    dir = argv[0];
    const size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  }
#if defined(_WIN32)
  SetDllDirectoryA(dir.c_str());
  Library dll = LoadLibraryA("gameserver_DBIface.dll");
  if (dll == nullptr) {
    std::printf("FAIL cannot load gameserver_DBIface.dll from %s (error %lu)\n", dir.c_str(), GetLastError());
    return 1;
  }
#else
  Library dll = dlopen((dir + "/libgameserver_DBIface.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dll == nullptr) {
    std::printf("FAIL cannot load libgameserver_DBIface.so from %s (%s)\n", dir.c_str(), dlerror());
    return 1;
  }
#endif
  init = symbol<InitFn>(dll, "Java_gameserver_DBIface_init");
  getNumRows = symbol<NumRowsFn>(dll, "Java_gameserver_DBIface_getNumRows");
  getRow = symbol<GetRowFn>(dll, "Java_gameserver_DBIface_getRow");
  writeRow = symbol<WriteRowFn>(dll, "Java_gameserver_DBIface_writeRow");
  writeRowToLine = symbol<WriteRowToLineFn>(dll, "Java_gameserver_DBIface_writeRowToLine");
  nativeVersion = symbol<VersionFn>(dll, "Java_gameserver_DBIface_nativeVersion");
  if (!init || !getNumRows || !getRow || !writeRow || !writeRowToLine || !nativeVersion) {
    std::printf("FAIL the library lacks one of the six Java_gameserver_DBIface_* exports\n");
    return 1;
  }
  {
    const jstring v = nativeVersion(env(), nullptr);
    expectEq(v != nullptr ? ascii(obj(v)->text) : "(null)", DBIFACE_VERSION, "nativeVersion");
  }

  // Before init: IllegalStateException, no trace.
  {
    const std::string out = captured([] { getNumRows(env(), nullptr); });
    expectEq(takeException(), "java/lang/IllegalStateException", "getNumRows before init");
    expectEq(out, "", "getNumRows before init: trace");
  }

  // A directory with a non-ASCII name: the UTF-8 path must reach the system calls intact.
#if defined(_WIN32)
  const std::wstring wwork = L"smoke-work-\u00e9";
  CreateDirectoryW(wwork.c_str(), nullptr);
  const std::wstring wtable = wwork + L"\\scores.txt";
  DeleteFileW(wtable.c_str());
  init(env(), nullptr, str(u"smoke-work-\u00e9\\scores.txt"));
#else
  const std::string wwork = "smoke-work-\xc3\xa9";
  mkdir(wwork.c_str(), 0700);
  const std::string wtable = wwork + "/scores.txt";
  unlink(wtable.c_str());
  init(env(), nullptr, str(u"smoke-work-\u00e9/scores.txt"));
#endif
  expectEq(takeException(), "", "init");

  // Missing file: an empty table, not created.
  checkRows(0, "missing table");
#if defined(_WIN32)
  expect(GetFileAttributesW(wtable.c_str()) == INVALID_FILE_ATTRIBUTES, "missing table is not created");

  // The header as a Windows editor saves it; appends add CR LF lines.
  HANDLE h = CreateFileW(wtable.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD wrote = 0;
  WriteFile(h, "NAME|SCORE|DATE\r\n", 17, &wrote, nullptr);
  CloseHandle(h);
#else
  expect(access(wtable.c_str(), F_OK) != 0, "missing table is not created");
  std::ofstream(wtable, std::ios::binary) << "NAME|SCORE|DATE\n";
#endif
  std::string out = captured([] { writeRow(env(), nullptr, str(u"NAME=ann, SCORE=10, DATE=1/1/2020")); });
  expectEq(out, crlf(C), "append ann: trace");
  expectEq(takeException(), "", "append ann");
  captured([] { writeRow(env(), nullptr, str(u"DATE=2/2/2020, SCORE=20, NAME=bob")); });
  expectEq(takeException(), "", "append bob");
  expectEq(readFile(wtable), crlf("NAME|SCORE|DATE\nann|10|1/1/2020\nbob|20|2/2/2020\n"), "after two appends");
  checkRows(2, "after two appends");
  checkRow(1, "NAME=ann,SCORE=10,DATE=1/1/2020", "after two appends");
  checkRow(2, "NAME=bob,SCORE=20,DATE=2/2/2020", "after two appends");

  // Insert in the middle: positions count the CR bytes; the tail moves down intact.
  out = captured([] { writeRowToLine(env(), nullptr, str(u"NAME=cid, SCORE=5, DATE=3/3/2020"), 2); });
  expectEq(takeException(), "", "insert cid at line 2");
  const size_t eol = crlf("\n").size();
  const std::string pos = std::to_string(2 * (15 + eol)), rest = std::to_string(2 * (15 + eol) + 14 + eol);
  expectEq(out,
           crlf(C + "returning pos " + pos + "\nbefore getsizeofremaining\nbefore malloc\nbefore storerest\n"
                    "storerest:  first value of buffer is: b\nstorerest:  last value of buffer is: \n\n"
                    "seeking to position " + pos + "\ndatarow[i] is cid\ndatarow[i] is 5\n"
                    "pos to write rest of file is " + rest + "\n"),
           "insert cid at line 2: trace");
  expectEq(readFile(wtable), crlf("NAME|SCORE|DATE\nann|10|1/1/2020\ncid|5|3/3/2020\nbob|20|2/2/2020\n"),
           "after the insertion");
  checkRows(3, "after the insertion");
  checkRow(2, "NAME=cid,SCORE=5,DATE=3/3/2020", "after the insertion");
  checkRow(3, "NAME=bob,SCORE=20,DATE=2/2/2020", "after the insertion");
  checkRow(4, "", "past the end");

  // Refusals leave the file alone.
  const std::string before = readFile(wtable);
  captured([] { writeRow(env(), nullptr, str(u"FOO=1")); });
  expectEq(takeException(), "java/lang/IllegalArgumentException", "unknown column");
  captured([] { writeRowToLine(env(), nullptr, str(u"NAME=x"), 0); });
  expectEq(takeException(), "java/lang/IndexOutOfBoundsException", "insert at line 0");
  captured([] { writeRowToLine(env(), nullptr, str(u"NAME=x"), 9); });
  expectEq(takeException(), "java/lang/IndexOutOfBoundsException", "insert past the end");
  expectEq(readFile(wtable), before, "after refusals");

#if defined(_WIN32)
  // Every byte on disk: each LF preceded by CR.
  const std::string bytes = readFile(wtable);
  bool allCrLf = !bytes.empty();
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) allCrLf = false;
  }
  expect(allCrLf, "every line on disk ends in CR LF: " + show(bytes));
#endif

  // Threads appending at once: the locks keep every line whole.
  {
    std::atomic<int> threw{0};
    const std::string trace = captured([&] {
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &threw] {
          for (int i = 0; i < 25; ++i) {
            writeRow(env(), nullptr,
                     str(u16("NAME=t" + std::to_string(t) + "-" + std::to_string(i) + ", SCORE=" + std::to_string(i))));
            if (!takeException().empty()) ++threw;
          }
        });
      }
      for (auto& th : threads) th.join();
    });
    expect(threw == 0, "threads: " + std::to_string(threw.load()) + " appends threw");
    expectEq(std::to_string(trace.size()), std::to_string(100 * crlf(C).size()), "threads: trace size");
    checkRows(103, "after 100 threaded appends");
  }

  // Another handle holding the exclusive lock: a write waits, then gives up. (A read of
  // an unchanged table may be answered from the cache without the lock.)
  {
#if defined(_WIN32)
    HANDLE other = CreateFileW(wtable.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED ov = {};
    expect(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &ov),
           "taking the lock from a second handle");
#else
    const int other = open(wtable.c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    expect(fcntl(other, F_OFD_SETLK, &fl) == 0, "taking the lock from a second descriptor");
#endif
    const auto t0 = std::chrono::steady_clock::now();
    captured([] { writeRow(env(), nullptr, str(u"NAME=locked, SCORE=1")); });
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    expectEq(takeException(), "java/io/UncheckedIOException <- java/io/IOException", "write while locked elsewhere");
    expect(waited >= 1000, "the library waited for the lock (" + std::to_string(waited) + " ms)");
#if defined(_WIN32)
    UnlockFileEx(other, 0, MAXDWORD, MAXDWORD, &ov);
    CloseHandle(other);
#else
    close(other);
#endif
    checkRows(103, "after the lock is released");
  }

  // A directory is not a table.
  init(env(), nullptr, str(u"smoke-work-\u00e9"));
  captured([] { getNumRows(env(), nullptr); });
  expectEq(takeException(), "java/io/UncheckedIOException <- java/io/IOException", "directory as table");

#if defined(_WIN32)
  DeleteFileW(wtable.c_str());
  RemoveDirectoryW(wwork.c_str());
#else
  unlink(wtable.c_str());
  rmdir(wwork.c_str());
#endif
  std::printf("%d checks, %d failed\n", gChecks, gFailures);
  return gFailures == 0 ? 0 : 1;
}
