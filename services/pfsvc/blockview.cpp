// Block files kept mapped between requests, and the SIGBUS guard around touching them.
#include "blockview.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace pfsvc {
namespace {

constexpr size_t kMapStep = 1 << 20;  // mappings grow in these steps, so slightly longer transfers do not remap

// The innermost guard of the thread, read by the signal handler (initial-exec: no lazy
// allocation that a handler could trip over).
thread_local FaultGuard::Zone* t_zone __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction g_previous;  // SIGBUS disposition before ours; written once, before any guard is live
uintptr_t g_pageSize = 4096;

void OnBusError(int, siginfo_t* info, void*) {
  FaultGuard::Zone* z = t_zone;
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (z && info->si_code == BUS_ADRERR && at >= z->begin && at < z->end) {
    void* page = reinterpret_cast<void*>(at & ~(g_pageSize - 1));
    if (mmap(page, g_pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      z->hit = 1;
      return;  // the access is repeated on the anonymous page
    }
  }
  // Not a guarded page: the disposition from before takes it. A fault repeats on return;
  // a signal that some process sent is raised again (it stays blocked until we return).
  sigaction(SIGBUS, &g_previous, nullptr);
  if (info->si_code <= 0) raise(SIGBUS);
}

void InstallHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_pageSize = static_cast<uintptr_t>(page);
    struct sigaction sa{};
    sa.sa_sigaction = OnBusError;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_previous);
  });
}

}  // namespace

void BlockView::Adopt(int fd, uint32_t handle, int accessMode) {
  Reset();
  fd_ = fd;
  handle_ = handle;
  mode_ = accessMode;
}

void BlockView::Reset() {
  Unmap();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  handle_ = 0;
  mode_ = 0;
}

uint8_t* BlockView::Map(size_t length, bool writable) {
  if (fd_ < 0 || mode_ == O_WRONLY || (writable && mode_ != O_RDWR)) return nullptr;  // mmap needs read access
  if (map_ && mapped_ >= length) return map_;
  Unmap();
  const size_t span = (length / kMapStep + 1) * kMapStep;
  // As wide as the descriptor allows, so that reads and writes share one mapping.
  const int prot = PROT_READ | (mode_ == O_RDWR ? PROT_WRITE : 0);
  void* p = mmap(nullptr, span, prot, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) return nullptr;
  map_ = static_cast<uint8_t*>(p);
  mapped_ = span;
  return map_;
}

void BlockView::Unmap() {
  if (map_) munmap(map_, mapped_);
  map_ = nullptr;
  mapped_ = 0;
}

FaultGuard::FaultGuard(const void* begin, size_t length) {
  InstallHandler();
  zone_.begin = reinterpret_cast<uintptr_t>(begin);
  zone_.end = zone_.begin + length;
  zone_.outer = t_zone;
  zone_.hit = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_zone = &zone_;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

FaultGuard::~FaultGuard() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_zone = zone_.outer;
}

}  // namespace pfsvc
