#include "dbhelper/utf.h"

#include <cstdint>

namespace dbhelper {

namespace {

bool isCont(unsigned char c) { return (c & 0xC0) == 0x80; }

void appendCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

std::u16string decodeUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(c);
      i += 1;
      continue;
    }
    if (c == 0xC0 && i + 1 < n && p[i + 1] == 0x80) {  // modified UTF-8 NUL
      out.push_back(0);
      i += 2;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF && i + 1 < n && isCont(p[i + 1])) {
      out.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F)));
      i += 2;
      continue;
    }
    if (c >= 0xE0 && c <= 0xEF && i + 2 < n && isCont(p[i + 1]) && isCont(p[i + 2])) {
      const char32_t cp = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      if (cp >= 0x800) {  // surrogates allowed: modified UTF-8 writes them this way
        out.push_back(static_cast<char16_t>(cp));
        i += 3;
        continue;
      }
    }
    if (c >= 0xF0 && c <= 0xF4 && i + 3 < n && isCont(p[i + 1]) && isCont(p[i + 2]) &&
        isCont(p[i + 3])) {
      const char32_t cp = ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) |
                          ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
      if (cp >= 0x10000 && cp <= 0x10FFFF) {
        appendCodePoint(out, cp);
        i += 4;
        continue;
      }
    }
    out.push_back(u'\uFFFD');
    i += 1;
  }
  return out;
}

std::string encodeUtf8(std::u16string_view units) {
  std::string out;
  const size_t n = units.size();
  size_t ascii = 0;
  while (ascii < n && units[ascii] < 0x80) ++ascii;
  out.resize(ascii);
  for (size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(units[i]);
  if (ascii == n) return out;
  out.reserve(n * 3);
  for (size_t i = ascii; i < n; ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string canonicalUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    // ED A0..AF xx (high surrogate) followed by ED B0..BF xx (low surrogate).
    if (i + 5 < n && p[i] == 0xED && (p[i + 1] & 0xF0) == 0xA0 && isCont(p[i + 2]) && p[i + 3] == 0xED &&
        (p[i + 4] & 0xF0) == 0xB0 && isCont(p[i + 5])) {
      const char32_t hi = 0xD000 | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      const char32_t lo = 0xD000 | ((p[i + 4] & 0x3F) << 6) | (p[i + 5] & 0x3F);
      const char32_t cp = 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      i += 6;
    } else {
      out.push_back(static_cast<char>(p[i]));
      i += 1;
    }
  }
  return out;
}

}  // namespace dbhelper
