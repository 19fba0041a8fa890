// The headless commands: listing cards, a card's information, and an initialisation
// driven through the same worker and owner interface as the dialog.
#include "cli.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "card.h"
#include "ids.h"
#include "vkrt.h"
#include "worker.h"

namespace fci {
namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) { g_stopSignal = sig; }

std::string Utf8(const std::u16string& s) { return nx::Utf16ToUtf8(s); }

const char kHelp[] =
    "Usage: vr03fci                      open the initializer's window\n"
    "       vr03fci list                 list the memory cards with their sizes\n"
    "       vr03fci info E:              show a card's sizes and whether it can be initialised\n"
    "       vr03fci init E: [--check] [--strict] [--yes]\n"
    "                                    turn the card's whole data area into the session\n"
    "                                    file VKFRCG.BIN (everything on the card is lost)\n"
    "\n"
    "Options of init:\n"
    "  --check    read the whole data area first (every cluster must be readable)\n"
    "  --strict   write zeros, read back, write 0xFF bytes, read back (implies --check);\n"
    "             the data area ends as 0xFF bytes\n"
    "  --yes      do not ask for confirmation\n"
    "\n"
    "A card is a removable drive with a FAT12 or FAT16 file system of 512-byte sectors,\n"
    "two FATs and less than 4 GiB. Drive letters are those of the platform (NX_DRIVES pins\n"
    "them to images for tests). The card is read and written through the paged-file\n"
    "service pfsvc, which must be running. Unmount the card's file system first.\n"
    "Ctrl-C during init stops the run like the window's cancel.\n"
    "\n"
    "Exit codes: 0 done, 1 refused or failed, 2 usage, 130 cancelled.\n";

const char kNoService[] =
    "vr03fci: the paged-file service is not running; start it with 'systemctl --user start pfsvc' "
    "(or 'pfsvc --daemon')\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "vr03fci: %s (see vr03fci --help)\n", why.c_str());
  return kExitUsage;
}

// "E:", "E" or "e:" -> 'E'; 0 otherwise.
WCHAR ParseLetter(const char* arg) {
  size_t n = std::strlen(arg);
  if (n < 1 || n > 2 || (n == 2 && arg[1] != ':')) return 0;
  char c = arg[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c) : 0;
}

// Why a card's volume could not be opened, on one line of stderr: a missing service
// with the way to start it, or the service's own answer.
void ReportOpenError(WCHAR letter, DWORD error) {
  if (NoPagedFileService(error)) {
    std::fputs(kNoService, stderr);
    return;
  }
  std::fprintf(stderr, "vr03fci: %c: the paged-file service could not open the card: %s\n", static_cast<char>(letter),
               OpenErrorText(error).c_str());
}

std::string MiB(ULONGLONG bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  return buf;
}

int List() {
  const DWORD mask = GetLogicalDrives();
  int cards = 0;
  bool serviceHintShown = false;
  for (int i = 0; i < 26; ++i) {
    const WCHAR letter = static_cast<WCHAR>(u'A' + i);
    if (!(mask & (1u << i)) || !IsCard(letter)) continue;
    ++cards;
    CardInfoTexts t;
    if (ReadCardInfo(letter, &t)) {
      std::printf("%c:  cluster %s  total %s  free %s\n", static_cast<char>(letter), Utf8(t.cluster).c_str(),
                  Utf8(t.total).c_str(), Utf8(t.free).c_str());
    } else {
      const DWORD error = GetLastError();
      if (NoPagedFileService(error)) {
        std::printf("%c:  (sizes not readable)\n", static_cast<char>(letter));
        if (!serviceHintShown) std::fputs(kNoService, stderr);
        serviceHintShown = true;
      } else {
        std::printf("%c:  (sizes not readable: %s)\n", static_cast<char>(letter), OpenErrorText(error).c_str());
      }
    }
  }
  if (cards == 0) std::fprintf(stderr, "vr03fci: no memory card found\n");
  return kExitDone;
}

int Info(WCHAR letter) {
  if (!IsCard(letter)) {
    std::fprintf(stderr, "vr03fci: %c: is not a memory card (no removable FAT medium there)\n", static_cast<char>(letter));
    return kExitFailed;
  }
  BootRecord boot{};
  if (!ReadBootRecord(letter, &boot)) {
    ReportOpenError(letter, GetLastError());
    return kExitFailed;
  }
  const char16_t root[] = {letter, u':', u'\\', 0};
  WCHAR label[64] = {0}, fs[16] = {0};
  GetVolumeInformationW(root, label, 64, nullptr, nullptr, nullptr, fs, 16);
  ULARGE_INTEGER total{};
  GetDiskFreeSpaceExW(root, nullptr, &total, nullptr);
  const CardSizes sizes = SizesFromBootRecord(boot);
  std::string title = Utf8(fs);
  if (label[0]) title += " \"" + Utf8(label) + "\"";
  std::printf("Card %c:  %s\n", static_cast<char>(letter), title.c_str());
  std::printf("  cluster size   %s\n", Utf8(FormatSize(sizes.clusterBytes, IDS_UNIT_BYTES)).c_str());
  std::printf("  total size     %s\n", Utf8(FormatSize(sizes.totalKiB, IDS_UNIT_KIB)).c_str());
  std::printf("  free size      %s\n", Utf8(FormatSize(sizes.freeKiB, IDS_UNIT_KIB)).c_str());
  CardLayout layout{};
  const Refusal r = ComputeLayout(boot, total.QuadPart, &layout);
  if (r != Refusal::None) {
    std::printf("  %s\n", Utf8(LoadText(RefusalText(r))).c_str());
    return kExitDone;
  }
  std::printf("  session file   VKFRCG.BIN, %s in %u clusters, %d-bit FAT\n", MiB(layout.capacity).c_str(),
              layout.lastCluster - 1, layout.fat12 ? 12 : 16);
  return kExitDone;
}

// The owner of a headless run: keeps what the worker posts for the main thread, which
// draws the progress bar from it.
class ConsoleOwner : public IInitOwner {
 public:
  ConsoleOwner(WCHAR letter, WORD options) : params_{letter, options} { InitializeCriticalSection(&lock_); }
  ~ConsoleOwner() { DeleteCriticalSection(&lock_); }

  CRITICAL_SECTION* GetLock() override { return &lock_; }
  HWND GetWindow() override { return nullptr; }
  int AskUser(UINT, UINT, UINT) override { return IDYES; }  // Ctrl-C is the answer here
  InitParameters* GetParameters() override { return &params_; }
  void PostProgressRange(int max) override {
    std::lock_guard<std::mutex> g(m_);
    max_ = max;
  }
  void PostProgressPos(int pos) override {
    std::lock_guard<std::mutex> g(m_);
    pos_ = pos;
  }
  void PostItemText(int, const std::u16string&) override {}  // the bar shows its own times
  void PostStatus(UINT id, const std::u16string& text) override {
    std::lock_guard<std::mutex> g(m_);
    statusId_ = id;
    status_ = text;
  }
  void PostDrivesEnabled(bool) override {}
  void PostStartReleased() override {}
  void PostBeep(DWORD, DWORD) override {
    if (isatty(STDERR_FILENO)) std::fputc('\a', stderr);
  }
  void PostRunEnded(DWORD error) override {
    std::lock_guard<std::mutex> g(m_);
    ended_ = true;
    error_ = error;
  }

  struct Snapshot {
    int max, pos;
    UINT statusId;
    std::u16string status;
    bool ended;
    DWORD error;
  };
  Snapshot Get() {
    std::lock_guard<std::mutex> g(m_);
    return Snapshot{max_, pos_, statusId_, status_, ended_, error_};
  }

  NXThread* worker = nullptr;  // guarded by lock_

 private:
  CRITICAL_SECTION lock_;
  InitParameters params_;
  std::mutex m_;  // guards the fields below
  int max_ = 3, pos_ = 0;
  UINT statusId_ = 0;
  std::u16string status_;
  bool ended_ = false;
  DWORD error_ = 0;
};

std::string Clock(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%02ld:%02ld", s / 60, s % 60);
  }
  return buf;
}

// "[##########..........]  50%  12.3 MB/s  elapsed 00:12  remaining 00:12"
std::string ProgressLine(const ConsoleOwner::Snapshot& s, DWORD capacity, bool tested, double seconds) {
  const int steps = tested ? InitWorker::StepBase(capacity) - 3 : 3;
  int done = s.pos;
  if (tested && done > steps) done = steps;  // the writing steps come after the test
  const double fraction = steps > 0 ? static_cast<double>(done) / steps : 0.0;
  constexpr int kWidth = 30;
  const int filled = std::clamp(static_cast<int>(fraction * kWidth), 0, kWidth);
  std::string line;
  line.push_back('[');
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(kWidth - filled), '.');
  line.push_back(']');
  char buf[128];
  std::snprintf(buf, sizeof buf, " %3d%%", static_cast<int>(fraction * 100));
  line += buf;
  if (tested && seconds > 0 && done > 0) {
    const double bytes = std::min<double>(static_cast<double>(done) * kChunkSize, capacity);
    std::snprintf(buf, sizeof buf, "  %6.1f MB/s  elapsed %s  remaining %s", bytes / seconds / 1e6,
                  Clock(seconds).c_str(), Clock(seconds * (1.0 - fraction) / fraction).c_str());
    line += buf;
  } else if (tested) {
    line += "  elapsed " + Clock(seconds);
  }
  return line;
}

bool Confirm(WCHAR letter) {
  std::fprintf(stderr, "Everything on %c: will be lost. Initialise the card? [y/N] ", static_cast<char>(letter));
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "д" || answer == "да";
}

int Init(WCHAR letter, WORD options, bool yes) {
  if (!IsCard(letter)) {
    std::fprintf(stderr, "vr03fci: %c: is not a memory card (no removable FAT medium there)\n", static_cast<char>(letter));
    return kExitFailed;
  }
  if (!yes && !Confirm(letter)) {
    std::fprintf(stderr, "vr03fci: not confirmed, nothing written\n");
    return kExitFailed;
  }
  const char16_t root[] = {letter, u':', u'\\', 0};
  ULARGE_INTEGER total{};
  GetDiskFreeSpaceExW(root, nullptr, &total, nullptr);
  const DWORD capacity = static_cast<DWORD>(total.QuadPart);
  const bool tested = (options & OPT_CHECK) != 0;

  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  struct sigaction oldInt {}, oldTerm {};
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);
  g_stopSignal = 0;

  ConsoleOwner owner(letter, options);
  EnterCriticalSection(owner.GetLock());
  HRESULT hr = S_OK;
  if (!new (std::nothrow) InitWorker(&owner.worker, &owner)) {
    hr = E_OUTOFMEMORY;
  } else if ((hr = owner.worker->Status()) == S_OK) {
    owner.worker->SetPriority(THREAD_PRIORITY_IDLE);
    owner.worker->SetState(1);
  } else {
    delete owner.worker;
  }
  LeaveCriticalSection(owner.GetLock());
  if (hr != S_OK) {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
      ReportOpenError(letter, static_cast<DWORD>(HRESULT_CODE(hr)));
    } else {
      std::fprintf(stderr, "vr03fci: %c: the initialisation could not start: 0x%08X\n", static_cast<char>(letter),
                   static_cast<unsigned>(hr));
    }
    return kExitFailed;
  }

  const bool terminal = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto lastLine = start;
  bool cancelled = false;
  for (;;) {
    EnterCriticalSection(owner.GetLock());
    const bool gone = owner.worker == nullptr;
    if (!gone && g_stopSignal) {
      delete owner.worker;  // as the window's cancel: the run stops and reports 136
      cancelled = true;
    }
    LeaveCriticalSection(owner.GetLock());
    if (gone || cancelled) break;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - start).count();
    // A terminal gets the bar redrawn in place; a log gets one line every 5 seconds.
    if (terminal || now - lastLine >= std::chrono::seconds(5)) {
      std::fprintf(stderr, terminal ? "\r%s\x1b[K" : "%s\n", ProgressLine(owner.Get(), capacity, tested, seconds).c_str());
      std::fflush(stderr);
      lastLine = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);

  const ConsoleOwner::Snapshot s = owner.Get();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!cancelled && s.ended && s.error == 0)
    std::fprintf(stderr, terminal ? "\r%s\x1b[K\n" : "%s\n", ProgressLine(s, capacity, tested, seconds).c_str());
  else if (terminal)
    std::fputc('\n', stderr);
  std::printf("%s\n", Utf8(s.status).c_str());
  if (cancelled) return kExitCancelled;
  return s.ended && s.error == 0 ? kExitDone : kExitFailed;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS);
  if (argc < 2) return Usage("no command");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, stdout);
    return kExitDone;
  }
  if (command == "list") {
    if (argc != 2) return Usage("list takes no arguments");
    return List();
  }
  if (command == "info" || command == "init") {
    if (argc < 3) return Usage(command + " needs a drive letter such as E:");
    const WCHAR letter = ParseLetter(argv[2]);
    if (!letter) return Usage(std::string("not a drive letter: ") + argv[2]);
    if (command == "info") {
      if (argc != 3) return Usage("info takes one drive letter");
      return Info(letter);
    }
    WORD options = 0;
    bool yes = false;
    for (int i = 3; i < argc; ++i) {
      const std::string opt = argv[i];
      if (opt == "--check") {
        options |= OPT_CHECK;
      } else if (opt == "--strict") {
        options |= OPT_CHECK | OPT_STRICT;
      } else if (opt == "--yes" || opt == "-y") {
        yes = true;
      } else {
        return Usage("unknown option " + opt);
      }
    }
    return Init(letter, options, yes);
  }
  return Usage("unknown command " + command);
}

}  // namespace fci
