// Probes what this kernel and file system guarantee about change times, the facts the
// freshness check (dbhelper/freshness.h) is built on:
//   1. two back-to-back in-place overwrites get distinct ctimes when ctime was asked for
//      between them, and whether they do when it was not;
//   2. a write in flight: ctime moves when the write starts, before its bytes are copied,
//      so a stat taken during the copy already shows the final ctime;
//   3. inotify raises IN_MODIFY only after the copy.
// Usage: ctime_probe DIR...   (e.g. a directory on ext4 and one on tmpfs)
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t ctimeOf(int fd, unsigned mask) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, mask, &st) != 0) return -1;
  return st.stx_ctime.tv_sec * 1000000000LL + st.stx_ctime.tv_nsec;
}

void backToBack(const std::string& dir) {
  const std::string path = dir + "/ctime-probe.txt";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || pwrite(fd, "abcdefgh", 8, 0) != 8) return;
  constexpr int kRounds = 20000;
  int sameQueried = 0;
  int sameUnqueried = 0;
  for (int i = 0; i < kRounds; ++i) {
    // Queried between: ask for ctime after each change.
    pwrite(fd, "x", 1, i % 8);
    const int64_t a = ctimeOf(fd, STATX_CTIME);
    pwrite(fd, "y", 1, i % 8);
    const int64_t b = ctimeOf(fd, STATX_CTIME);
    sameQueried += a == b;
    // Not queried between: a statx that asks only for the size still returns ctime but
    // does not mark it as seen.
    pwrite(fd, "x", 1, i % 8);
    const int64_t c = ctimeOf(fd, STATX_SIZE);
    pwrite(fd, "y", 1, i % 8);
    const int64_t d = ctimeOf(fd, STATX_SIZE);
    sameUnqueried += c == d;
  }
  struct statfs fs;
  fstatfs(fd, &fs);
  std::printf("%s (fs type 0x%lx): %d rounds; equal ctimes queried between: %d, not queried: %d\n",
              dir.c_str(), static_cast<long>(fs.f_type), kRounds, sameQueried, sameUnqueried);
  close(fd);
  unlink(path.c_str());
}

void inFlight(const std::string& dir) {
  const std::string path = dir + "/ctime-probe-big.txt";
  constexpr size_t kSize = 256u << 20;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  std::vector<char> a(kSize, 'A');
  std::vector<char> b(kSize, 'B');
  if (fd < 0 || pwrite(fd, a.data(), kSize, 0) != static_cast<ssize_t>(kSize)) return;
  const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(in, path.c_str(), IN_MODIFY);
  char ev[4096];
  while (read(in, ev, sizeof ev) > 0) {
  }
  const int64_t before = ctimeOf(fd, STATX_CTIME);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    pwrite(fd, b.data(), kSize, 0);
    done = true;
  });
  int64_t during = before;
  while (during == before) during = ctimeOf(fd, STATX_CTIME);
  const auto seen = std::chrono::steady_clock::now();
  // Longer than any timestamp tick (a jiffy is at most 10 ms): a racily-clean rule
  // would trust an image read now.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  char last = 0;
  pread(fd, &last, 1, kSize - 1);
  const bool eventDuring = read(in, ev, sizeof ev) > 0;
  const bool stillCopying = !done;
  writer.join();
  const auto end = std::chrono::steady_clock::now();
  const int64_t after = ctimeOf(fd, STATX_CTIME);
  const bool eventAfter = read(in, ev, sizeof ev) > 0;
  std::printf("%s: 256 MiB overwrite in flight: ctime moved before the copy ended: %s; last byte read 20 ms later "
              "'%c'; ctime after the write equals the one seen during it: %s; the copy ended %.1f ms after the ctime moved; "
              "IN_MODIFY during the copy: %s, after it: %s\n",
              dir.c_str(), stillCopying ? "yes" : "no", last, after == during ? "yes" : "no",
              std::chrono::duration<double, std::milli>(end - seen).count(), eventDuring ? "yes" : "no",
              eventAfter ? "yes" : "no");
  close(in);
  close(fd);
  unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    backToBack(argv[i]);
    inFlight(argv[i]);
  }
  return 0;
}
