// The undo record that makes an in-place write survive the death of its process.
//
// A write that cannot reach the file in one page-sized system call first appends, past
// the final end of the file, a copy of the bytes it will overwrite and then a 64-byte
// record describing them; it overwrites; and it commits by truncating the file to its
// new size, which removes the copy and the record in one step. Whoever opens the table
// next and finds a valid record at the end rolls the write back: it puts the copy back
// (when the record says the copy is complete) and truncates to the old size.
//
// File layout while a write is in flight (offsets in bytes):
//   [0, oldSize)                         the table, being overwritten from `pos` on
//   [oldSize, copyOff)                   room for the bytes the table grows by
//   [copyOff, copyOff + tailLen)         copy of the old bytes [pos, oldSize)
//   [.., end - 64)                       zero padding up to a multiple of 64
//   [end - 64, end)                      the record; end = roundUp64(copyOff + tailLen) + 64
//
// Record format, version 1. Every field is little-endian on every platform, big-endian
// s390x included: recovery.cc writes and reads it a byte at a time, never as a native
// integer, and its CRC-32 takes bytes, so a table moved between machines mid-write is
// repaired the same on either (tests/reliability/endian.sh):
//   0  8 bytes  magic "\0DBIundo"      (a NUL never occurs in table text we write)
//   8  u32      version (1)
//  12  u32      flags: bit 0 = the copy is complete, bit 1 = bytes 48..55 hold checksums
//  16  u64      oldSize
//  24  u64      pos
//  32  u64      copyOff
//  40  u64      tailLen (== oldSize - pos)
//  48  u32      CRC-32 of the copy, or 0 without flag bit 1
//  52  u32      CRC-32 of the new bytes [pos, copyOff), or 0 without flag bit 1
//  56  u32      CRC-32 of bytes 0..55
//  60  4 bytes  "\xffEND"
// The record is written with one aligned 64-byte write, which never straddles a page,
// so a killed process leaves it either whole or absent.
//
// Durable writes (SyncMode::kFull) cannot rely on the order of writes: a power cut keeps
// any subset of the sectors written since the last sync. They sync the record before the
// copy is written, the copy before the overwrite, and the overwrite before the commit;
// the checksums tell which of those steps reached the disk whole: new bytes that match
// are kept (the truncation that commits is not synced), a copy that matches is put back,
// and otherwise the table below oldSize was never touched.
#ifndef DBHELPER_RECOVERY_H_
#define DBHELPER_RECOVERY_H_

#include <cstddef>
#include <cstdint>

#include "dbhelper/file.h"
#include "dbhelper/status.h"

namespace dbhelper {

inline constexpr size_t kUndoRecordSize = 64;

struct UndoRecord {
  uint64_t oldSize = 0;
  uint64_t pos = 0;
  uint64_t copyOff = 0;
  uint64_t tailLen = 0;
  bool copyComplete = false;
  bool sums = false;  // copyCrc and newCrc are set
  uint32_t copyCrc = 0;
  uint32_t newCrc = 0;

  // Returns the file size while this record is in place.
  uint64_t fileEnd() const { return ((copyOff + tailLen + 63) / 64) * 64 + kUndoRecordSize; }
};

// Returns the CRC-32 (IEEE) of `n` bytes; `prev` continues the CRC of the bytes before.
uint32_t crc32(const void* data, size_t n, uint32_t prev = 0);

void encodeUndoRecord(const UndoRecord& rec, char out[kUndoRecordSize]);

// Returns true when `last` (the final 64 bytes of a file of `fileSize` bytes) is a
// valid record consistent with that size.
bool decodeUndoRecord(const char* last, uint64_t fileSize, UndoRecord* rec);

// Returns true when a file without a valid record ends as a durable write cut short by a
// power loss leaves it: in zeros, or in a torn record, which a table never holds (a NUL is
// no text). *rec then describes cutting them off. `last` is as for decodeUndoRecord.
Status findTornTrailer(const File& file, uint64_t fileSize, const char* last, bool* found, UndoRecord* rec);

// What undoing the write that `rec` describes comes to.
enum class Undo {
  kKeepNew,  // the new table is whole: cut the file at copyOff
  kRestore,  // put the copy back at pos, then cut at oldSize
  kCut,      // the table was never touched: cut at oldSize
};

// Decides how to undo `rec`. A durable write whose new bytes are all in place is completed
// (kKeepNew), unless `mayComplete` is false (the writer's own undo: its call reports
// failure, so the old table comes back when a whole copy allows it). Only a durable record
// asks `matches(off, len, crc, &yes)`, which sets `yes` when those bytes are all there and
// have that CRC-32; the decision is the same on the file and on an image of it.
template <typename Matches>
Status decideUndo(const UndoRecord& rec, bool mayComplete, Matches matches, Undo* out) {
  *out = rec.copyComplete ? Undo::kRestore : Undo::kCut;
  if (!rec.sums) return Status::OK();
  // A durable write: its steps reached the disk in order, but each may be partial.
  bool newWhole = false;
  bool copyWhole = false;
  Status s = mayComplete ? matches(rec.pos, rec.copyOff - rec.pos, rec.newCrc, &newWhole) : Status::OK();
  if (s.ok() && !newWhole) s = matches(rec.copyOff, rec.tailLen, rec.copyCrc, &copyWhole);
  // Without a copy to undo from, a whole new table is still better kept than cut.
  if (s.ok() && !mayComplete && !copyWhole) s = matches(rec.pos, rec.copyOff - rec.pos, rec.newCrc, &newWhole);
  if (!s.ok()) return s;
  if (newWhole) *out = Undo::kKeepNew;
  else if (!copyWhole) *out = Undo::kCut;  // a copy not whole was never relied on: the overwrite waits for it
  return Status::OK();
}

// Undoes the write that `rec` describes as decideUndo says. REQUIRES: `file` open for
// writing and locked exclusively.
Status rollBack(const File& file, const UndoRecord& rec, bool mayComplete = true);

}  // namespace dbhelper

#endif  // DBHELPER_RECOVERY_H_
