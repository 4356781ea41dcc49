// Conversions between the bytes of a table file and Java's UTF-16 strings.
#ifndef DBHELPER_UTF_H_
#define DBHELPER_UTF_H_

#include <string>
#include <string_view>

namespace dbhelper {

// Returns the UTF-16 code units for `bytes`. Accepts standard UTF-8 (1-4 byte
// sequences) and the JVM's modified UTF-8 (C0 80 for NUL, surrogates encoded one
// by one in 3 bytes). Every byte that starts no valid sequence becomes U+FFFD, so any
// input decodes.
std::u16string decodeUtf8(std::string_view bytes);

// Returns standard UTF-8 for `units`. A lone surrogate has no UTF-8 form; it is
// written as its 3-byte encoding, which decodeUtf8 reads back as the same unit.
std::string encodeUtf8(std::u16string_view units);

// Returns `bytes` with every surrogate pair in the JVM's modified UTF-8 (two 3-byte
// sequences) replaced by the standard 4-byte sequence; all other bytes are unchanged.
// Two texts that decode to the same characters this way compare equal as bytes.
std::string canonicalUtf8(std::string_view bytes);

}  // namespace dbhelper

#endif  // DBHELPER_UTF_H_
