#include "dbhelper/recovery.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace dbhelper {

namespace {

constexpr char kMagic[8] = {'\0', 'D', 'B', 'I', 'u', 'n', 'd', 'o'};
constexpr char kEnd[4] = {'\xff', 'E', 'N', 'D'};
constexpr uint32_t kVersion = 1;

// Eight tables, so the CRC takes eight bytes a step (a durable write sums its whole tail):
// t[k][b] is the CRC of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> makeCrcTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
  }
  return t;
}
constexpr auto kCrcTables = makeCrcTables();

void put32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void put64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint32_t get32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
uint64_t get64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

uint32_t crc32(const void* data, size_t n, uint32_t prev) {
  const auto* p = static_cast<const unsigned char*>(data);
  const auto& t = kCrcTables;
  uint32_t c = prev ^ 0xFFFFFFFFu;
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
        t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; n > 0; --n, ++p) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void encodeUndoRecord(const UndoRecord& rec, char out[kUndoRecordSize]) {
  std::memset(out, 0, kUndoRecordSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  put32(out + 8, kVersion);
  put32(out + 12, (rec.copyComplete ? 1u : 0u) | (rec.sums ? 2u : 0u));
  put64(out + 16, rec.oldSize);
  put64(out + 24, rec.pos);
  put64(out + 32, rec.copyOff);
  put64(out + 40, rec.tailLen);
  if (rec.sums) {
    put32(out + 48, rec.copyCrc);
    put32(out + 52, rec.newCrc);
  }
  put32(out + 56, crc32(out, 56));
  std::memcpy(out + 60, kEnd, sizeof kEnd);
}

bool decodeUndoRecord(const char* last, uint64_t fileSize, UndoRecord* rec) {
  if (fileSize < kUndoRecordSize || fileSize % 64 != 0) return false;
  if (std::memcmp(last, kMagic, sizeof kMagic) != 0 || std::memcmp(last + 60, kEnd, sizeof kEnd) != 0) {
    return false;
  }
  if (get32(last + 56) != crc32(last, 56) || get32(last + 8) != kVersion) return false;
  UndoRecord r;
  const uint32_t flags = get32(last + 12);
  if ((flags & ~3u) != 0 || ((flags & 2u) == 0 && get64(last + 48) != 0)) return false;
  r.copyComplete = (flags & 1u) != 0;
  r.sums = (flags & 2u) != 0;
  r.copyCrc = get32(last + 48);
  r.newCrc = get32(last + 52);
  r.oldSize = get64(last + 16);
  r.pos = get64(last + 24);
  r.copyOff = get64(last + 32);
  r.tailLen = get64(last + 40);
  // Every field is bounded by the file size, so the sums below cannot overflow.
  if (r.oldSize > fileSize || r.pos > r.oldSize || r.tailLen != r.oldSize - r.pos ||
      r.copyOff < r.oldSize || r.copyOff > fileSize || r.tailLen > fileSize ||
      r.fileEnd() != fileSize) {
    return false;
  }
  *rec = r;
  return true;
}

namespace {

constexpr size_t kChunk = 1 << 20;

// Sets *crc to the CRC-32 of [off, off + len), and *whole to whether the file has them all.
Status crcOfRange(const File& file, uint64_t off, uint64_t len, uint32_t* crc, bool* whole) {
  *crc = 0;
  *whole = true;
  if (len == 0) return Status::OK();
  auto buf = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(std::min<uint64_t>(len, kChunk)));
  for (uint64_t done = 0; done < len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, kChunk));
    size_t got = 0;
    Status s = file.ReadAt(off + done, buf.get(), n, &got);
    if (!s.ok()) return s;
    *crc = crc32(buf.get(), got, *crc);
    if (got != n) {
      *whole = false;
      return Status::OK();
    }
    done += n;
  }
  return Status::OK();
}

// Whether `slot` is a record with some of its bytes zeroed: each byte whose value the
// format fixes is that value or 0.
bool tornRecordShape(const char* slot) {
  constexpr char kVersionBytes[4] = {1, 0, 0, 0};
  for (size_t i = 0; i < 8; ++i) {
    if (slot[i] != 0 && slot[i] != kMagic[i]) return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    if ((slot[8 + i] != 0 && slot[8 + i] != kVersionBytes[i]) || (slot[60 + i] != 0 && slot[60 + i] != kEnd[i])) {
      return false;
    }
  }
  return static_cast<unsigned char>(slot[12]) <= 3 && slot[13] == 0 && slot[14] == 0 && slot[15] == 0;
}

}  // namespace

Status findTornTrailer(const File& file, uint64_t fileSize, const char* last, bool* found, UndoRecord* rec) {
  *found = false;
  if (fileSize < kUndoRecordSize) return Status::OK();
  uint64_t keep = fileSize;
  if (fileSize % 64 == 0 && tornRecordShape(last)) {
    keep -= kUndoRecordSize;
  } else if (last[kUndoRecordSize - 1] != '\0') {
    return Status::OK();
  }
  // Then the zeros that the record's write left below it (a hole, or pages never written).
  char buf[4096];
  while (keep > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(keep, sizeof buf));
    size_t got = 0;
    Status s = file.ReadAt(keep - n, buf, n, &got);
    if (!s.ok()) return s;
    if (got != n) return Status::FromErrno("cannot read table", file.path(), EIO);
    size_t k = n;
    while (k > 0 && buf[k - 1] == '\0') --k;
    keep -= n - k;
    if (k > 0) break;
  }
  *rec = UndoRecord();
  rec->oldSize = rec->pos = rec->copyOff = keep;
  *found = true;
  return Status::OK();
}

Status rollBack(const File& file, const UndoRecord& rec, bool mayComplete) {
  Undo what = Undo::kCut;
  Status s = decideUndo(rec, mayComplete,
                        [&file](uint64_t off, uint64_t len, uint32_t want, bool* yes) {
                          uint32_t crc = 0;
                          bool whole = false;
                          Status st = crcOfRange(file, off, len, &crc, &whole);
                          *yes = st.ok() && whole && crc == want;
                          return st;
                        },
                        &what);
  if (!s.ok()) return s;
  if (what == Undo::kKeepNew) {
    // A writer killed before its sync may have left the new bytes in the page cache
    // only; they reach the disk before their copy goes.
    s = file.Sync();
    return s.ok() ? file.Truncate(rec.copyOff) : s;
  }
  if (what == Undo::kRestore && rec.tailLen > 0) {
    // Move the copy back in bounded chunks so a huge table needs no huge buffer.
    const size_t bufSize = static_cast<size_t>(std::min<uint64_t>(rec.tailLen, kChunk));
    auto buf = std::make_unique_for_overwrite<char[]>(bufSize);
    for (uint64_t done = 0; done < rec.tailLen;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(rec.tailLen - done, bufSize));
      size_t got = 0;
      s = file.ReadAt(rec.copyOff + done, buf.get(), n, &got);
      if (!s.ok()) return s;
      if (got != n) return Status::FromErrno("cannot repair table", file.path(), EIO);
      const Slice slice{buf.get(), n};
      size_t written = 0;
      s = file.WriteAt(rec.pos + done, &slice, 1, &written);
      if (!s.ok()) return s;
      done += n;
    }
    // Durable: a power cut must not keep the truncation and lose the bytes put back.
    if (rec.sums) {
      s = file.Sync();
      if (!s.ok()) return s;
    }
  }
  return file.Truncate(rec.oldSize);
}

}  // namespace dbhelper
