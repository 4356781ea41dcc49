// Everything that tunes the table core, in one object: handed to each DBHelper, and by it
// to the image, the writer, the file and the lock. The JNI layer fills one from the Java
// properties when the class loads; tests build their own (test_util.h, TestEnv).
#ifndef DBHELPER_OPTIONS_H_
#define DBHELPER_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "dbhelper/durability.h"
#include "dbhelper/file.h"

namespace dbhelper {

struct Options {
  // The system calls the file layer makes; tests hand in a table that injects failures.
  const SysCalls* sys = &realSysCalls();
  // Tables larger than this are never held in memory: reads stream them through a fixed
  // buffer and an insertion moves its tail in chunks, so one call needs about 2 MiB plus
  // what the cache holds, at any table size.
  uint64_t imageLimit = 64u << 20;
  // Tables smaller than this are read on every call instead of being cached (SIZE_MAX:
  // nothing is cached, the cache switched off). Every size is cached by default: a proven image answers in 3 system calls, a read of even one
  // page takes 9 (docs/performance.md).
  size_t cacheMinBytes = 0;
  // For this long after a program that ignores the lock was caught writing during one of
  // our writes, a write of ours drops the cached image instead of keeping it up to date
  // (TableImage::keepOwnWrite).
  std::chrono::milliseconds outsiderQuiet{2000};
  // How long an operation waits for the table's locks before it reports Busy.
  std::chrono::milliseconds lockTimeout{5000};
  SyncMode sync = SyncMode::kOff;
  // Writers keep their descriptor for the next write (kept_files.h). Never on Windows,
  // where an open file cannot be replaced by a rename.
#if defined(_WIN32)
  bool keepFiles = false;
#else
  bool keepFiles = true;
#endif
  // Count rows with the baseline scan even where the processor has a faster one (tests
  // compare the two).
  bool baselineScan = false;
  // No other process uses the table: where the file system refuses the file lock, or a
  // shared one keeps stale contents in the client (shared_storage.h), writes go on with
  // the in-process lock alone instead of failing.
  bool singleProcess = false;

  // Returns the buffer size for streaming a table, at most `most` bytes. A lowered image
  // limit (in tests) also shrinks the chunks, so their edges fall inside rows.
  size_t streamChunk(size_t most) const;
  bool durable() const { return sync == SyncMode::kFull; }
};

}  // namespace dbhelper

#endif  // DBHELPER_OPTIONS_H_
