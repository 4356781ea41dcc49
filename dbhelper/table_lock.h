// The locks a table operation holds.
#ifndef DBHELPER_TABLE_LOCK_H_
#define DBHELPER_TABLE_LOCK_H_

#include <chrono>
#include <cstdint>
#include <memory>

#include "dbhelper/file.h"
#include "dbhelper/status.h"

namespace dbhelper {

// Holds a table's locks for one operation: an in-process reader/writer lock keyed by
// the file's identity (so waiting threads sleep instead of polling), then the file lock
// that excludes other processes. Released on destruction.
class TableLock {
 public:
  TableLock() = default;
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

  // REQUIRES: nothing held. Returns Busy when the locks cannot be had within `timeout`.
  // Where the file system refuses the file lock, a reader goes on with the in-process lock
  // alone; a writer does only with `singleProcess` (no other process uses the table), and
  // otherwise gets an IOError naming the file system.
  Status Acquire(const File& file, const FileId& id, bool exclusive, std::chrono::milliseconds timeout,
                 bool singleProcess = false);
  // Unlocks the file, then the in-process lock.
  void Release();
  bool held() const { return entry_ != nullptr; }
  // Returns whether this process forked since the lock was taken. Closing the file then
  // does not drop the file lock: the child shares the open file, and with it the lock.
  bool forkedSinceAcquire() const;

  struct Entry;

 private:
  std::shared_ptr<Entry> entry_;
  const File* file_ = nullptr;
  bool exclusive_ = false;
  uint64_t forks_ = 0;
};

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_LOCK_H_
