// UTF-8 conversions: any bytes decode; standard UTF-8 survives decode+encode unchanged;
// any UTF-16 text (lone surrogates and NUL included) survives encode+decode unchanged.
#include "dbhelper/utf.h"
#include "fuzz/fuzz_util.h"

namespace {

// True for well-formed standard UTF-8 (no surrogates, no overlong forms, no C0 80).
bool validUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    const unsigned c = p[i];
    size_t len;
    char32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string units = dbhelper::decodeUtf8(bytes);
  FUZZ_CHECK(units.size() <= size);
  if (validUtf8(bytes)) FUZZ_CHECK(dbhelper::encodeUtf8(units) == bytes);

  std::u16string raw(size / 2, u'\0');
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  const std::string enc = dbhelper::encodeUtf8(raw);
  FUZZ_CHECK(dbhelper::decodeUtf8(enc) == raw);
  return 0;
}
