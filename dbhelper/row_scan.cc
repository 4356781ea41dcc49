#include "dbhelper/row_scan.h"

#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dbhelper {

namespace {

// Baseline x86-64 has no POPCNT instruction, and the library call costs more than this.
inline int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

size_t lineAt(const char* d, size_t size, size_t b, size_t* end) {
  const void* nl = std::memchr(d + b, '\n', size - b);
  if (nl == nullptr) {
    *end = size;
    return size - b;
  }
  const size_t e = static_cast<size_t>(static_cast<const char*>(nl) - d);
  *end = e;
  return (e > b && d[e - 1] == '\r') ? e - 1 - b : e - b;
}

Scan scanRows(const char* d, size_t size, size_t from, int64_t want) {
  Scan r;
  r.next = from;
  if (want <= 0 || from >= size) return r;
  size_t lineStart = from;
  size_t i = from;
  // Returns false when the table ends at this line.
  auto onNewline = [&](size_t e) {
    size_t len = e - lineStart;
    if (len > 0 && d[e - 1] == '\r') --len;
    if (len > kMaxLineChars) return false;
    ++r.rows;
    r.next = e + 1;
    lineStart = e + 1;
    return true;
  };
#if defined(__SSE2__)
  // 64 bytes at a time: a block's line feeds are counted at once unless the block holds
  // the row asked for or a line that may be too long. Lines inside one block are shorter
  // than 64, so only the line running into the block needs its length checked.
  const __m128i nl = _mm_set1_epi8('\n');
  auto bits = [&](size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))));
  };
  while (i + 64 <= size) {
    uint64_t mask = bits(i) | bits(i + 16) << 16 | bits(i + 32) << 32 | bits(i + 48) << 48;
    if (mask == 0) {
      i += 64;
      if (i - lineStart > kMaxLineChars + 1) return r;  // no LF within reach: too long
      continue;
    }
    const int count = popcount64(mask);
    const size_t first = i + static_cast<size_t>(__builtin_ctzll(mask));
    if (first - lineStart <= kMaxLineChars && r.rows + count < want) {
      r.rows += count;
      lineStart = i + static_cast<size_t>(63 - __builtin_clzll(mask)) + 1;
      r.next = lineStart;
    } else {
      while (mask != 0) {
        const size_t e = i + static_cast<size_t>(__builtin_ctzll(mask));
        mask &= mask - 1;
        if (!onNewline(e) || r.rows == want) return r;
      }
    }
    i += 64;
  }
#endif
  for (; i < size; ++i) {
    if (d[i] == '\n') {
      if (!onNewline(i) || r.rows == want) return r;
    } else if (i - lineStart > kMaxLineChars + 1) {
      return r;
    }
  }
  if (lineStart < size && size - lineStart <= kMaxLineChars) {
    ++r.rows;
    r.next = size;
  }
  return r;
}

Status scanFile(const File& file, uint64_t from, uint64_t size, int64_t want, size_t chunk, Scan* out) {
  auto buf = std::make_unique_for_overwrite<char[]>(chunk);
  Scan total;
  total.next = from;
  uint64_t off = from;
  while (off < size && total.rows < want) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, size - off));
    size_t got = 0;
    Status s = file.ReadAt(off, buf.get(), n, &got);
    if (!s.ok()) return s;
    const bool atEnd = got < n || off + got == size;
    size_t usable = got;
    if (!atEnd) {
      // Scan only whole lines; the next chunk starts with the line cut here.
      const char* p = buf.get() + got;
      while (p > buf.get() && p[-1] != '\n') --p;
      usable = static_cast<size_t>(p - buf.get());
      if (usable == 0) break;  // a chunk without LF: that line is too long
    }
    const Scan r = scanRows(buf.get(), usable, 0, want - total.rows);
    total.rows += r.rows;
    total.next = off + r.next;
    if (atEnd || r.next < usable) break;  // the end of the file, or of the table
    off += usable;
  }
  *out = total;
  return Status::OK();
}

}  // namespace dbhelper
