#include "dbhelper/recovery.h"

#include <array>
#include <cstring>
#include <memory>

namespace dbhelper {

namespace {

constexpr char kMagic[8] = {'\0', 'D', 'B', 'I', 'u', 'n', 'd', 'o'};
constexpr char kEnd[4] = {'\xff', 'E', 'N', 'D'};
constexpr uint32_t kVersion = 1;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr auto kCrcTable = makeCrcTable();

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

uint32_t crc32(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void encodeUndoRecord(const UndoRecord& rec, char out[kUndoRecordSize]) {
  std::memset(out, 0, kUndoRecordSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  put32(out + 8, kVersion);
  put32(out + 12, rec.copyComplete ? 1u : 0u);
  put64(out + 16, rec.oldSize);
  put64(out + 24, rec.pos);
  put64(out + 32, rec.copyOff);
  put64(out + 40, rec.tailLen);
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
  if ((flags & ~1u) != 0 || get64(last + 48) != 0) return false;
  r.copyComplete = (flags & 1u) != 0;
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

Status rollBack(const File& file, const UndoRecord& rec) {
  if (rec.copyComplete && rec.tailLen > 0) {
    // Move the copy back in bounded chunks so a huge table needs no huge buffer.
    constexpr size_t kChunk = 1 << 20;
    const size_t bufSize = static_cast<size_t>(std::min<uint64_t>(rec.tailLen, kChunk));
    auto buf = std::make_unique_for_overwrite<char[]>(bufSize);
    for (uint64_t done = 0; done < rec.tailLen;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(rec.tailLen - done, bufSize));
      size_t got = 0;
      Status s = file.ReadAt(rec.copyOff + done, buf.get(), n, &got);
      if (!s.ok()) return s;
      if (got != n) return Status::FromErrno("cannot repair table", file.path(), EIO);
      const Slice slice{buf.get(), n};
      size_t written = 0;
      s = file.WriteAt(rec.pos + done, &slice, 1, &written);
      if (!s.ok()) return s;
      done += n;
    }
  }
  return file.Truncate(rec.oldSize);
}

}  // namespace dbhelper
