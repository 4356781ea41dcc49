#include "dbhelper/row_scan.h"

#include <atomic>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the compiler can build an AVX2 variant beside the baseline one, it is chosen at run
// time (Windows builds keep the baseline one).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define DBHELPER_SCAN_AVX2 1
#include <immintrin.h>
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

// A scan of rows in progress.
struct RowScan {
  const char* d;
  int64_t want;
  Scan r;
  size_t lineStart;

  // Counts the line ending at `e`; returns false when it is too long, ending the table.
  bool onNewline(size_t e) {
    if (!endedLineIsRow(d, lineStart, e)) return false;
    ++r.rows;
    r.next = e + 1;
    lineStart = e + 1;
    return true;
  }

  // Takes the 64-byte block at `i`, whose line feeds are the bits of `mask` (`count` of
  // them); returns false when the scan ends in it. The block's line feeds are counted at
  // once unless it holds the row asked for or a line that may be too long: lines inside
  // one block are shorter than 64, so only the line running into it needs its length
  // checked.
  bool block(size_t i, uint64_t mask, int count) {
    if (mask == 0) return i + 64 - lineStart <= kMaxLineChars + 1;  // no LF within reach: too long
    const size_t first = i + static_cast<size_t>(__builtin_ctzll(mask));
    if (first - lineStart <= kMaxLineChars && r.rows + count < want) {
      r.rows += count;
      lineStart = i + static_cast<size_t>(63 - __builtin_clzll(mask)) + 1;
      r.next = lineStart;
      return true;
    }
    while (mask != 0) {
      const size_t e = i + static_cast<size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      if (!onNewline(e) || r.rows == want) return false;
    }
    return true;
  }
};

#if defined(__SSE2__)
// Takes whole 64-byte blocks from *at on; returns false when the scan ended in one.
bool scanBlocksSse2(RowScan* state, size_t size, size_t* at) {
  RowScan s = *state;  // in registers for the loop
  size_t i = *at;
  const __m128i nl = _mm_set1_epi8('\n');
  auto bits = [&](size_t from) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.d + from));
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))));
  };
  bool going = true;
  for (; going && i + 64 <= size; i += going ? 64 : 0) {
    const uint64_t mask = bits(i) | bits(i + 16) << 16 | bits(i + 32) << 32 | bits(i + 48) << 48;
    going = s.block(i, mask, mask == 0 ? 0 : popcount64(mask));
  }
  *state = s;
  *at = i;
  return going;
}
#endif

#if defined(DBHELPER_SCAN_AVX2)
// As scanBlocksSse2, half the instructions a block where the processor has AVX2.
__attribute__((target("avx2,popcnt"))) bool scanBlocksAvx2(RowScan* state, size_t size, size_t* at) {
  RowScan s = *state;
  size_t i = *at;
  const __m256i nl = _mm256_set1_epi8('\n');
  bool going = true;
  for (; going && i + 64 <= size; i += going ? 64 : 0) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.d + i));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.d + i + 32));
    const uint64_t mask = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl)))) |
                          static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl))))
                              << 32;
    going = s.block(i, mask, __builtin_popcountll(mask));
  }
  *state = s;
  *at = i;
  return going;
}

bool haveAvx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  }();
  return yes;
}
#endif

}  // namespace

Scan scanRows(const char* d, size_t size, size_t from, int64_t want, bool baseline) {
  (void)baseline;  // one variant only, where the compiler builds no faster one
  RowScan s{d, want, Scan(), from};
  s.r.next = from;
  if (want <= 0 || from >= size) return s.r;
  size_t i = from;
  bool going = true;
#if defined(DBHELPER_SCAN_AVX2)
  going = !baseline && haveAvx2() ? scanBlocksAvx2(&s, size, &i) : scanBlocksSse2(&s, size, &i);
#elif defined(__SSE2__)
  going = scanBlocksSse2(&s, size, &i);
#endif
  if (!going) return s.r;
  for (; i < size; ++i) {
    if (d[i] == '\n') {
      if (!s.onNewline(i) || s.r.rows == want) return s.r;
    } else if (i - s.lineStart > kMaxLineChars + 1) {
      return s.r;
    }
  }
  if (lastLineIsRow(s.lineStart, size)) {
    ++s.r.rows;
    s.r.next = size;
  }
  return s.r;
}

Status scanFile(const File& file, uint64_t from, uint64_t size, int64_t want, size_t chunk, Scan* out,
                bool baseline) {
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
    const Scan r = scanRows(buf.get(), usable, 0, want - total.rows, baseline);
    total.rows += r.rows;
    total.next = off + r.next;
    if (atEnd || r.next < usable) break;  // the end of the file, or of the table
    off += usable;
  }
  *out = total;
  return Status::OK();
}

}  // namespace dbhelper
