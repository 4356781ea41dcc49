#include "dbhelper/shared_storage.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <algorithm>
#include <string_view>
#include <vector>
#include <utility>

#include "dbhelper/never_destroyed.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dbhelper {

namespace {

// With read(2), not std::ifstream: the library's static libstdc++ would bring in a stat
// of a newer glibc than it may need.
std::string readWhole(const std::string& path) {
  std::string out;
#if !defined(_WIN32)
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || out.size() > (4u << 20)) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
#else
  (void)path;
#endif
  return out;
}

// mountinfo writes a space, tab, newline or backslash in a path as \ooo.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// What checkSharedStorage found for one device, and when (the refusal without the path).
struct Verdict {
  std::chrono::steady_clock::time_point at;
  std::string refusal;  // empty: nothing found to refuse
};
struct Verdicts {
  std::mutex mu;
  std::map<uint64_t, Verdict> byDev;
};
constexpr std::chrono::seconds kRecheck{5};

std::string refusalFor(const File& file) {
  MountEntry m;
  if (!findMount(readWhole("/proc/self/mountinfo"), file.openInfo().id.dev, &m) || m.type != "fuse.glusterfs") {
    return std::string();
  }
  // The client's graph as it runs now: a translator that is off is not in it.
  const std::vector<std::string> caches = staleContentCaches(readWhole(m.point + "/.meta/graphs/active/volfile"));
  if (caches.empty()) return std::string();
  std::string names;
  std::string options;
  for (const std::string& c : caches) {
    names += (names.empty() ? "" : ", ") + c;
    options += (options.empty() ? "" : ", ") + ("performance." + c + " off");
  }
  return "is on the GlusterFS volume " + m.source + " (mounted at " + m.point +
         "), whose client keeps file contents that another host's writes do not reach (" + names +
         "): reads would be stale and insertions would lose rows, so nothing was done; turn it off on the volume (" +
         options + "), or set the system property gameserver.dbiface.singleProcess=true if this process alone uses "
         "the table";
}

}  // namespace

bool localFileSystem(uint64_t fsType) {
  switch (fsType) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
      return true;
    default:
      return false;
  }
}

bool onSharedStorage(const SysCalls& sys, int fd, uint64_t dev) {
  struct Seen {
    std::chrono::steady_clock::time_point at;
    bool shared;
  };
  struct Devices {
    std::mutex mu;
    std::map<std::pair<const SysCalls*, uint64_t>, Seen> seen;
  };
  Devices& d = neverDestroyed<Devices>();
  const auto now = std::chrono::steady_clock::now();
  const auto key = std::make_pair(&sys, dev);
  {
    std::lock_guard<std::mutex> l(d.mu);
    auto it = d.seen.find(key);
    // A device number freed by an unmount can come back for another file system: kept
    // only briefly.
    if (it != d.seen.end() && now - it->second.at < std::chrono::seconds(1)) return it->second.shared;
  }
  uint64_t type = 0;
  const bool shared = sys.fsType(fd, &type) == 0 ? !localFileSystem(type) : errno != ENOSYS;
  std::lock_guard<std::mutex> l(d.mu);
  if (d.seen.size() > 256) d.seen.clear();
  d.seen[key] = Seen{now, shared};
  return shared;
}

namespace {

// The words of each line of `text`, split at blanks: no streams, whose locale code would
// bring newer glibc symbols into the library on some platforms (ppc64le's long double).
template <typename Line>
void forEachLine(std::string_view text, Line line) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view l = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::vector<std::string> words;
    for (size_t i = 0; i < l.size();) {
      const size_t start = l.find_first_not_of(" \t\r", i);
      if (start == std::string_view::npos) break;
      const size_t end = std::min(l.find_first_of(" \t\r", start), l.size());
      words.emplace_back(l.substr(start, end - start));
      i = end;
    }
    if (line(words)) return;
  }
}

}  // namespace

bool findMount(std::string_view mountinfo, uint64_t dev, MountEntry* out) {
  const std::string want = std::to_string(dev >> 32) + ":" + std::to_string(dev & 0xFFFFFFFFu);
  bool found = false;
  forEachLine(mountinfo, [&](const std::vector<std::string>& w) {
    // id parent major:minor root point options [optional fields] - type source options
    if (w.size() < 6 || w[2] != want) return false;
    size_t sep = 6;
    while (sep < w.size() && w[sep] != "-") ++sep;
    if (sep + 2 >= w.size()) return false;  // the type and the source follow the "-"
    MountEntry m;
    m.type = w[sep + 1];
    m.source = w[sep + 2];
    if (sep + 3 < w.size()) m.options = w[sep + 3];
    m.point = unescape(w[4]);
    *out = std::move(m);
    found = true;
    return true;
  });
  return found;
}

std::vector<std::string> staleContentCaches(std::string_view volfile) {
  // quick-read and io-cache keep contents for their timeout; read-ahead keeps the pages
  // it fetched for a descriptor, and a writer's descriptor lives from one write to the next.
  static constexpr std::string_view kCaches[] = {"quick-read", "io-cache", "read-ahead"};
  std::vector<std::string> found;
  forEachLine(volfile, [&](const std::vector<std::string>& w) {
    if (w.size() < 2 || w[0] != "type" || w[1].rfind("performance/", 0) != 0) return false;
    const std::string_view name = std::string_view(w[1]).substr(12);
    for (std::string_view c : kCaches) {
      if (name == c) found.emplace_back(c);
    }
    return false;
  });
  return found;
}

std::string describeFileSystem(const File& file) {
  MountEntry m;
  if (findMount(readWhole("/proc/self/mountinfo"), file.openInfo().id.dev, &m)) {
    return m.type + " at " + m.point;
  }
  uint64_t type = 0;
  if (!file.FsType(&type).ok()) return "a file system of unknown type";
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(type));
  return std::string("file system type ") + hex;
}

Status checkSharedStorage(const File& file, bool singleProcess) {
  if (singleProcess) return Status::OK();
  Verdicts& v = neverDestroyed<Verdicts>();
  const uint64_t dev = file.openInfo().id.dev;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> l(v.mu);
    auto it = v.byDev.find(dev);
    if (it != v.byDev.end() && now - it->second.at < kRecheck) {
      return it->second.refusal.empty() ? Status::OK() : Status::IOError("table " + file.path() + " " + it->second.refusal);
    }
  }
  // Looked at unlocked: two threads may both look, and find the same.
  std::string refusal = refusalFor(file);
  Status s = refusal.empty() ? Status::OK() : Status::IOError("table " + file.path() + " " + refusal);
  std::lock_guard<std::mutex> l(v.mu);
  v.byDev[dev] = Verdict{now, std::move(refusal)};
  return s;
}

}  // namespace dbhelper
