// Shared pieces of the reliability harnesses: whole-file I/O, a PRNG that the Java stress
// programs reproduce bit for bit, the record stream of the kill loop, and a model of what
// append and insert must do to a well-formed table.
#ifndef TESTS_RELIABILITY_HARNESS_H_
#define TESTS_RELIABILITY_HARNESS_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dbhelper/recovery.h"

namespace rel {

inline std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

// splitmix64; Java: the same with >>> for >>.
inline uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() { return mix(s_++ * 0x2545F4914F6CDD1Dull); }
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }

 private:
  uint64_t s_;
};

inline constexpr const char* kHeader = "NAME|SCORE|DATE\n";

// Operation `i` of the stream `seed` on a table of `rows` data rows: an append (line 0)
// or an insertion at a line in 1..rows+1. mode: 'a' appends only, 'i' inserts only,
// 'm' mixes, 'b' appends batches (batchFor). The Java KillChild computes the same stream.
struct Op {
  std::string record;  // record text handed to the library
  std::string line;    // the line the library must write for it
  int64_t at;          // 0: append; else the line it is inserted at
};

inline Op opFor(uint64_t seed, uint64_t i, int64_t rows, char mode) {
  const uint64_t r = mix(seed * 0x9E3779B97F4A7C15ull + i);
  const std::string name = "k" + std::to_string(seed) + "x" + std::to_string(i);
  const std::string date = "d" + std::to_string(r % 1000);
  Op op;
  op.record = " SCORE=" + std::to_string(i) + ", NAME=" + name + " ,DATE=" + date;
  op.line = name + "|" + std::to_string(i) + "|" + date + "\n";
  const bool insert = mode == 'i' || (mode == 'm' && (r >> 20) % 2 == 1);
  op.at = insert ? 1 + static_cast<int64_t>((r >> 32) % static_cast<uint64_t>(rows + 1)) : 0;
  return op;
}

// Mode 'b': operation `i` is one writeRecords of kBatch records, those of the append-only
// stream at i*kBatch and on, so that every row of every batch is distinct.
inline constexpr uint64_t kBatch = 1000;

inline int64_t rowsPerOp(char mode) { return mode == 'b' ? static_cast<int64_t>(kBatch) : 1; }

inline std::vector<Op> opsFor(uint64_t seed, uint64_t i, int64_t rows, char mode) {
  if (mode != 'b') return {opFor(seed, i, rows, mode)};
  std::vector<Op> ops;
  for (uint64_t j = 0; j < kBatch; ++j) ops.push_back(opFor(seed, i * kBatch + j, 0, 'a'));
  return ops;
}

// Offset where line `line` starts (the header is line 0) in an LF-terminated table.
inline size_t lineStart(const std::string& t, int64_t line) {
  size_t p = 0;
  for (int64_t k = 0; k < line; ++k) p = t.find('\n', p) + 1;
  return p;
}

// What the library must make of the LF-terminated table `t`.
inline std::string applied(const std::string& t, const Op& op) {
  std::string out = t;
  if (op.at == 0) out += op.line;
  else out.insert(lineStart(t, op.at), op.line);
  return out;
}

// The same for every operation of a batch, in order; appends grow `t` in place.
inline std::string applied(std::string t, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    if (op.at == 0) t += op.line;
    else t = applied(t, op);
  }
  return t;
}

// A header and `rows` rows of about `width` bytes each, distinct per `tag`.
inline std::string makeTable(int64_t rows, const std::string& tag, size_t width = 24) {
  std::string t = kHeader;
  for (int64_t i = 1; i <= rows; ++i) {
    std::string line = tag + std::to_string(i) + "|" + std::to_string(i * 7) + "|";
    if (line.size() + 1 < width) line.append(width - 1 - line.size(), 'a' + static_cast<char>(i % 26));
    t += line + "\n";
  }
  return t;
}

// Checks a table written by several writers: every line has three fields and fits the
// line limit, there are `base` rows that no writer wrote, and each record TAGi (i < N for
// each TAG:N in `tags`) stands exactly once. Prints a summary line.
// `body` (the table and whatever a write left past it) padded with NULs to where `rec`
// puts its record, then the record: the file a write leaves when it stops there.
inline std::string withUndoRecord(std::string body, const dbhelper::UndoRecord& rec) {
  body.resize(rec.fileEnd() - dbhelper::kUndoRecordSize, '\0');
  char raw[dbhelper::kUndoRecordSize];
  dbhelper::encodeUndoRecord(rec, raw);
  return body + std::string(raw, sizeof raw);
}

inline bool checkTable(const std::string& bytes, int base, const std::map<std::string, int>& tags) {
  std::map<std::string, int> seen;
  int untagged = 0;
  int bad = 0;
  for (size_t p = bytes.find('\n') + 1; p < bytes.size();) {
    size_t e = bytes.find('\n', p);
    if (e == std::string::npos) e = bytes.size();  // a last line without LF is malformed
    const std::string line = bytes.substr(p, e - p);
    const size_t b1 = line.find('|');
    const size_t b2 = b1 == std::string::npos ? b1 : line.find('|', b1 + 1);
    if (e == bytes.size() || b1 == 0 || b2 == std::string::npos || line.find('|', b2 + 1) != std::string::npos ||
        line.size() > 99) {
      if (bad++ < 5) std::fprintf(stderr, "malformed line '%s'\n", line.c_str());
    } else {
      const std::string name = line.substr(0, b1);
      bool tagged = false;
      for (const auto& [tag, n] : tags) {
        const std::string num = name.substr(0, tag.size()) == tag ? name.substr(tag.size()) : "";
        if (num.empty() || num.size() > 9 || num.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(num) >= n) {
          continue;
        }
        ++seen[name];
        tagged = true;
        break;
      }
      if (!tagged) ++untagged;
    }
    p = e + 1;
  }
  int lost = 0;
  int doubled = 0;
  for (const auto& [tag, n] : tags) {
    for (int i = 0; i < n; ++i) {
      const int c = seen[tag + std::to_string(i)];
      lost += c == 0;
      doubled += c > 1;
    }
  }
  std::printf("check: %d malformed, %d untagged (want %d), %d records lost, %d doubled\n", bad, untagged, base,
              lost, doubled);
  return bad == 0 && untagged == base && lost == 0 && doubled == 0;
}

}  // namespace rel

#endif  // TESTS_RELIABILITY_HARNESS_H_
