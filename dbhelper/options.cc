#include "dbhelper/options.h"

#include <algorithm>

#include "dbhelper/table_format.h"

namespace dbhelper {

size_t Options::streamChunk(size_t most) const {
  return static_cast<size_t>(std::clamp<uint64_t>(imageLimit, kMaxLineChars + 29, most));
}

}  // namespace dbhelper
