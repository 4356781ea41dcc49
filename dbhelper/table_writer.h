// The crash-safe protocol that puts one write's bytes into a table file: `line` goes to
// `pos`, and the old bytes from `pos` to the end (the tail) follow it. An append is the
// case of an empty tail at the end. The undo record it relies on is described in
// recovery.h; the file is written through an open, exclusively locked File.
//
// States of one write (oldSize: the table's size once what other programs appended
// before our first byte is taken in; end: the file's size while the undo record is in
// place; newSize = oldSize + the line):
//
//   kIdle --> kAppending --> kCommitted                    an append that fits one page
//     |
//     +--> kRecording --> kCopied --> kOverwriting --> kCommitted
//              |                           |
//              +--> kIdle (intruded,       +--> kTruncated
//                   tried again)
//
// Invariants, by state (what is on disk, and what the next operation's recovery does):
//  1. kIdle: nothing of ours is in the file. The table is [0, oldSize).
//  2. kAppending: the line is being appended at the end in one system call that stays
//     within one page (one sector when durable), so it lands whole or not at all.
//  3. kRecording: [0, oldSize) is untouched; past it are the bytes the table grows by,
//     the copy of the tail, or a hole, and at [end - 64, end) a record that says the copy
//     is incomplete (or carries checksums that tell how far it got). Recovery cuts the
//     file to oldSize.
//  4. kCopied: as 3, and the copy is complete: the record says so, or its checksums
//     match. Recovery puts the copy back, which changes nothing yet, and cuts to oldSize.
//  5. kOverwriting: the new bytes are going into [pos, newSize). Recovery puts the copy
//     back at pos and cuts to oldSize; a durable write whose new bytes are all in place
//     is kept instead.
//  6. kCommitted: the truncation to newSize dropped the copy and the record: the file is
//     the new table, with what others appended meanwhile moved down after it. Durable:
//     the truncation is on the disk, so no later write lands on a record still there; when
//     that sync fails, a held tail puts the old table back (a streamed one cannot: the
//     new table stays, and the call reports the failure).
//  7. kTruncated: another program truncated the file while we overwrote it; our bytes are
//     cut off again, and the file is as that program left it.
//  8. Before every write that would lengthen the file again the size is looked at, so our
//     bytes never undo a truncation by another program (it waits for our running write
//     and lands just after it).
//  9. Lines that other programs append while a record is in place are moved below it
//     before it goes; only one that lands between the last look and the truncation, a
//     microsecond apart, is lost.
//
// A failure (fail()) is handled by the state it happens in: an OS error in kAppending cuts
// off what reached the file; in kRecording or kCopied it cuts the file to oldSize; in
// kOverwriting it puts the old tail back (from memory, or from the copy) and cuts, and
// when that fails too the record stays for the next operation. A change by another program
// (Status::Code::kChanged) leaves the file as that program left it.
#ifndef DBHELPER_TABLE_WRITER_H_
#define DBHELPER_TABLE_WRITER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dbhelper/file.h"
#include "dbhelper/options.h"
#include "dbhelper/recovery.h"
#include "dbhelper/status.h"
#include "dbhelper/table_image.h"

namespace dbhelper {

// The old bytes from an insertion's position to the end of the file, and how they are
// copied: held in memory (copied under the record with the growth, in one write), or
// left in the file, for a tail too large for memory (moved in chunks).
struct Tail {
  enum class Place { kHeld, kInFile };
  Place place = Place::kHeld;
  std::string_view bytes;          // kHeld: the tail, in the image or in `buffer`
  std::unique_ptr<char[]> buffer;  // kHeld: a tail read for this write
};

// The error for a file that another program truncated below what a write read of it.
Status truncatedDuring(const std::string& path);

// Records that a program ignoring our lock was caught changing the table during one of
// our writes (process-wide); returns whether one was within `span`.
void noteOutsider();
bool outsiderSeenWithin(std::chrono::milliseconds span);

class TableWriter {
 public:
  // `file` is open for writing and locked exclusively; all three outlive the writer.
  TableWriter(const File& file, const std::string& path, const Options& options)
      : file_(file), path_(path), options_(options) {}
  TableWriter(const TableWriter&) = delete;
  TableWriter& operator=(const TableWriter&) = delete;

  // Writes `line` at `pos` followed by `tail`, the old bytes from `pos` to end->size.
  // What other programs appended since *end was read is taken in first (into the tail,
  // or before an appended line), and *end follows the file. Returns OK once the whole
  // write is in the file (on stable storage when durable); otherwise the file is as
  // before, or carries an undo record that the next operation rolls back, or another
  // program changed it during the write (Changed), and it is left as that program left it.
  Status writeRest(uint64_t pos, std::string line, Tail* tail, TableEnd* end);

 private:
  enum class State { kIdle, kAppending, kRecording, kCopied, kOverwriting, kTruncated, kCommitted };

  // Every change of state_ goes through here; see the diagram above.
  void enter(State next);
  // Undoes what the write in its present state left, as the header says; returns `s`.
  Status fail(Status s);
  bool held() const { return tail_->place == Tail::Place::kHeld; }

  Status appendInOneWrite();
  Status writeUnderRecord();
  // Fills rec_ for the write as it stands after takeGrowth().
  void plan();
  // Before the first byte of a write: takes in what another program appended since the
  // table was read (into the held tail; or, for an append, by moving pos_ and ending
  // their last line), and fails when the file shrank.
  Status takeGrowth();
  Status copyHeld(bool* intruded);
  Status copyStreamed(bool* intruded);
  // The record (copy incomplete) at the far end, claimEnd(), then `copy(complete,
  // &recorded)`, then the record saying the copy is complete unless `copy` ended its
  // last write with `complete` (empty when the first record is already final). Sets
  // *intruded and stops when another program appended meanwhile.
  template <typename Copy>
  Status copyUnderRecord(bool* intruded, Copy copy);
  Status overwriteHeld(bool grownInPlace);
  Status overwriteStreamed();
  void undo();
  // After a committed durable write whose sync failed: puts the old table back where
  // memory holds it, and returns `s`.
  Status revertCommit(Status s);
  // Moves `len` bytes from `from` to `to` in chunks (the ranges do not overlap); with
  // `sum`, takes the checksums of the copy and of the new bytes as it goes.
  Status moveBytes(uint64_t from, uint64_t to, uint64_t len, bool sum);
  // Returns OK when the file is still `expect` bytes long or more: a program that
  // truncated it meanwhile must not find old offsets written into its file.
  Status checkNotShrunk(uint64_t expect);
  // Returns OK when the table's old last byte is still there, before the overwrite.
  Status checkStillOurs();
  // After an in-place write from `pos` found the file truncated by another program:
  // takes our bytes off again. Returns false when there is no hole before `pos`.
  bool cutOwnBytesFrom(uint64_t pos);
  // Checks, right after the record was written, that no other program appended in the
  // moment before; sets *intruded (and cuts our record off their lines) when one did.
  Status claimEnd(bool* intruded);
  // Cuts the file from our record back to `keep` bytes, moving down what other programs
  // appended past the record meanwhile. `knownSize`, when given, is the size just taken.
  Status cutBackKeepingAppends(uint64_t keep, const uint64_t* knownSize = nullptr);
  // Commits by truncating to newSize_, after moving down what others appended.
  Status commit();

  const File& file_;
  const std::string& path_;
  const Options& options_;
  State state_ = State::kIdle;
  // The write in flight.
  TableEnd* end_ = nullptr;
  Tail* tail_ = nullptr;
  std::string line_;
  std::string_view rest_;  // a held tail, with what others appended
  std::string grown_;      // a held tail that others appended to, copied
  uint64_t pos_ = 0;
  uint64_t oldSize_ = 0;
  uint64_t newSize_ = 0;
  uint64_t fileEnd_ = 0;  // the file's size while the record is in place
  UndoRecord rec_;
  size_t appended_ = 0;   // bytes of a one-write append that reached the file
  uint32_t copyCrc_ = 0;  // streamed: taken as the copy is made
  uint32_t newCrc_ = 0;
  std::unique_ptr<char[]> moveBuf_;
};

}  // namespace dbhelper

#endif  // DBHELPER_TABLE_WRITER_H_
