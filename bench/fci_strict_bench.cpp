// The card initializer's strict test of a 256 MiB card image through the paged-file
// service, side by side with badblocks writing and verifying the same two patterns
// (0x00, 0xFF) in 64 KiB blocks on a copy of the image. Both bypass the page cache (the
// service opens volumes for direct I/O; badblocks uses O_DIRECT). Runs each side
// NX_BENCH_ROUNDS times (default 3), alternating, and prints the best and median times
// and the ratio of the medians. Starts its own pfsvc (next to this program).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ids.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "nxtest/svcproc.h"
#include "worker.h"

namespace {

constexpr int kImageKiB = 256 * 1024;

// An owner that waits for the run's end and ignores the rest.
class QuietOwner : public fci::IInitOwner {
 public:
  QuietOwner() : params_{u'E', fci::OPT_CHECK | fci::OPT_STRICT} { InitializeCriticalSection(&lock_); }
  ~QuietOwner() { DeleteCriticalSection(&lock_); }
  CRITICAL_SECTION* GetLock() override { return &lock_; }
  HWND GetWindow() override { return nullptr; }
  int AskUser(UINT, UINT, UINT) override { return IDYES; }
  fci::InitParameters* GetParameters() override { return &params_; }
  void PostProgressRange(int) override {}
  void PostProgressPos(int) override {}
  void PostItemText(int, const std::u16string&) override {}
  void PostStatus(UINT, const std::u16string&) override {}
  void PostDrivesEnabled(bool) override {}
  void PostStartReleased() override {}
  void PostBeep(DWORD, DWORD) override {}
  void PostRunEnded(DWORD error) override { error_ = error; }

  // One strict initialisation; its time in seconds, or a negative number on failure.
  double Run() {
    error_ = 1;
    const auto t0 = std::chrono::steady_clock::now();
    EnterCriticalSection(&lock_);
    new fci::InitWorker(&worker_, this);
    if (worker_->Status() != S_OK) {
      delete worker_;
      LeaveCriticalSection(&lock_);
      return -1;
    }
    worker_->SetState(1);  // normal priority: nothing else competes in a benchmark
    LeaveCriticalSection(&lock_);
    for (;;) {
      EnterCriticalSection(&lock_);
      const bool gone = worker_ == nullptr;
      LeaveCriticalSection(&lock_);
      if (gone) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return error_ == 0 ? s : -1;
  }

 private:
  CRITICAL_SECTION lock_;
  fci::InitParameters params_;
  NXThread* worker_ = nullptr;
  DWORD error_ = 1;
};

double Badblocks(const std::string& image) {
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = nxtest::Run("badblocks -w -t 0x00 -t 0xff -b 65536 " + nxtest::Quote(image) + " >/dev/null 2>&1");
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return rc == 0 ? s : -1;
}

// The same strict pattern done by this process itself on a copy of the image, with the
// service's own way of reaching a volume (direct I/O, each write on the medium before it
// returns): the floor of the medium, without the service and the worker.
double DirectStrict(const std::string& image, uint64_t first, uint64_t length) {
  const int fd = open(image.c_str(), O_RDWR | O_DIRECT | O_DSYNC | O_CLOEXEC);
  if (fd < 0) return -1;
  constexpr size_t kChunk = 65536;
  auto* zero = static_cast<uint8_t*>(std::aligned_alloc(4096, kChunk));
  auto* one = static_cast<uint8_t*>(std::aligned_alloc(4096, kChunk));
  auto* back = static_cast<uint8_t*>(std::aligned_alloc(4096, kChunk));
  std::memset(zero, 0, kChunk);
  std::memset(one, 0xFF, kChunk);
  bool ok = true;
  const auto t0 = std::chrono::steady_clock::now();
  for (uint64_t pos = first; ok && pos < first + length; pos += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, first + length - pos));
    for (const uint8_t* pattern : {zero, one}) {
      ok = ok && pwrite(fd, pattern, n, static_cast<off_t>(pos)) == static_cast<ssize_t>(n) &&
           pread(fd, back, n, static_cast<off_t>(pos)) == static_cast<ssize_t>(n) && std::memcmp(back, pattern, n) == 0;
    }
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::free(zero);
  std::free(one);
  std::free(back);
  close(fd);
  return ok ? s : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  (void)argc;
  int rounds = 3;
  if (const char* r = getenv("NX_BENCH_ROUNDS")) rounds = std::max(1, atoi(r));
  nxtest::TempDir files("fci-bench");
  nxtest::TempDir pipes("fci-bench-pipes");
  const std::string card = files.Path() + "/card.img";
  const std::string copy = files.Path() + "/copy.img";
  if (nxtest::Run("mkfs.fat -C -F 16 " + nxtest::Quote(card) + " " + std::to_string(kImageKiB) + " >/dev/null") != 0 ||
      nxtest::Run("cp " + nxtest::Quote(card) + " " + nxtest::Quote(copy)) != 0) {
    std::fprintf(stderr, "cannot make the card image (mkfs.fat)\n");
    return 1;
  }
  setenv("NX_DRIVES", ("E=" + card).c_str(), 1);  // the service inherits it
  std::string self(argv[0]);
  std::unique_ptr<svctest::ServiceProcess> service;
  try {
    service = std::make_unique<svctest::ServiceProcess>(pipes.Path(), self.substr(0, self.find_last_of('/') + 1) + "pfsvc");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pfsvc: %s\n", e.what());
    return 1;
  }
  // The data area of the card, as the worker tests it.
  const std::string bytes = nxtest::ReadBytes(card).substr(0, fci::kSectorSize);
  const fci::BootRecord boot = fci::DecodeBootRecord(reinterpret_cast<const uint8_t*>(bytes.data()));
  const uint64_t data = fci::TotalSectors(boot) - boot.rsvdSecCnt - 2ull * boot.fatSz16 - boot.rootEntCnt / 16;
  fci::CardLayout layout{};
  fci::ComputeLayout(boot, data / boot.secPerClus * boot.secPerClus * fci::kSectorSize, &layout);

  std::vector<double> ours, theirs, floor;
  for (int i = 0; i < rounds; ++i) {
    QuietOwner owner;
    const double a = owner.Run();
    const double b = Badblocks(copy);
    const double c = DirectStrict(copy, layout.dataOffset, layout.capacity);
    if (a < 0 || b < 0 || c < 0) {
      std::fprintf(stderr, a < 0 ? "the strict initialisation failed\n" : b < 0 ? "badblocks failed\n" : "direct I/O failed\n");
      return 1;
    }
    std::printf("round %d: vr03fci strict %.2f s, badblocks %.2f s, direct synchronous I/O %.2f s\n", i + 1, a, b, c);
    std::fflush(stdout);
    ours.push_back(a);
    theirs.push_back(b);
    floor.push_back(c);
  }
  const double mb = kImageKiB / 1024.0;
  std::printf("\nstrict test of a %.0f MiB card     best s   median s   MiB/s (median)\n", mb);
  std::printf("vr03fci through pfsvc           %7.2f   %8.2f   %8.1f\n", *std::min_element(ours.begin(), ours.end()),
              Median(ours), mb / Median(ours));
  std::printf("badblocks -w 0x00 0xff 64 KiB   %7.2f   %8.2f   %8.1f\n",
              *std::min_element(theirs.begin(), theirs.end()), Median(theirs), mb / Median(theirs));
  std::printf("direct 64 KiB, write-through   %7.2f   %8.2f   %8.1f\n", *std::min_element(floor.begin(), floor.end()),
              Median(floor), mb / Median(floor));
  std::printf("ratio (vr03fci / direct)        %7.2f   %8.2f\n",
              *std::min_element(ours.begin(), ours.end()) / *std::min_element(floor.begin(), floor.end()),
              Median(ours) / Median(floor));
  std::printf("ratio (vr03fci / badblocks)     %7.2f   %8.2f\n",
              *std::min_element(ours.begin(), ours.end()) / *std::min_element(theirs.begin(), theirs.end()),
              Median(ours) / Median(theirs));
  return 0;
}
