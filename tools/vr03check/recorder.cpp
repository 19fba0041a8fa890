// A link to one recorder, opened as Ordiva opens it: its greeting and its configuration
// block read with the command unit's own waits, then the link closed. Only the stream
// stop (0C) and the block reads (01, 04) are sent: nothing the recorder keeps is changed.
#include <cstdio>
#include <string>

#include "checks.h"
#include "recorder.h"
#include "virtualbt.h"
#include "vkbth.h"
#include "vkbth/devtools.h"

namespace vr03check {
namespace {

constexpr char kTitle[] = "recorder link";
constexpr int kGreetingBytes = 8;
constexpr int kGreetingEmptyReads = 120;  // Ordiva's patience: 120 empty reads of 100 ms
constexpr DWORD kReadTimeoutMs = 100;

std::string LinkErrorText(DWORD error) {
  std::string text = "error " + std::to_string(error);
  switch (error) {
    case WSAECONNREFUSED: return text + " (nothing answers at the address: the recorder is off or out of reach)";
    case WSAETIMEDOUT:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH: return text + " (the recorder does not answer: off or out of reach)";
    case WSAEACCES: return text + " (refused: the recorder is not paired)";
    case WSAENETDOWN:
    case WSAENETUNREACH: return text + " (no Bluetooth adapter switched on)";
    case WSAEAFNOSUPPORT: return text + " (this system has no Bluetooth sockets)";
    default: return text;
  }
}

std::string Hex(const BYTE* bytes, int n) {
  std::string out;
  char buf[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

}  // namespace

void CheckRecorder(Report& report, unsigned long long address) {
  const std::string text = vkbth::BtAddressText(address);
  const std::string id = "recorder link";
  const std::string reach = "switch the recorder on and bring it near the PC; pair it once: bluetoothctl pair " + text +
                            " (PIN 8779)";
  HVKBTDEVICE device = nullptr;
  if (!NxBtCreateDeviceInfo(address, nullptr, nullptr, 1, nullptr, &device)) {
    report.Add(id, kTitle, Status::Fail, text + ": no device record: error " + std::to_string(GetLastError()));
    return;
  }
  HVKBTLINK link = nullptr;
  if (!vkbtCreate(device, &link)) {
    const DWORD error = GetLastError();
    vkbtDeviceInfoClose(device);
    report.Add(id, kTitle, Status::Fail, text + ": no link: " + LinkErrorText(error), reach)
        .Fact("address", text)
        .Fact("error", static_cast<long long>(error));
    return;
  }
  vkbtSetTimeout(link, kReadTimeoutMs);

  // The greeting, as Ordiva reads it: one byte at a time, giving up after 120 empty reads.
  ordiva::Recorder recorder(link);
  BYTE* greeting = recorder.reply();
  int have = 0, empty = 0;
  while (have < kGreetingBytes && empty < kGreetingEmptyReads) {
    DWORD n = 0;
    if (!vkbtRead(link, greeting + have, 1, &n)) break;
    if (n == 1) ++have;
    else ++empty;
  }
  int blockBytes = 0;
  bool drained = false;
  if (have == kGreetingBytes) {
    drained = recorder.StopStream();
    Sleep(100);
    blockBytes = recorder.ReadConfig();
    if (blockBytes == 32) blockBytes = recorder.RereadConfig();
  }
  vkbtClose(link);
  vkbtDeviceInfoClose(device);

  if (have < kGreetingBytes) {
    report.Add(id, kTitle, Status::Fail,
               text + ": linked, but no greeting (" + std::to_string(have) + " of 8 bytes in 12 s)",
               "take the recorder's battery out, put it back after 10 seconds, and check again")
        .Fact("address", text)
        .Fact("greeting_bytes", static_cast<long long>(have));
    return;
  }
  const ordiva::RecorderConfig& c = recorder.config();
  if (!drained || blockBytes < 32) {
    const std::string why = !drained ? "its stream does not stop"
                                     : "its configuration block did not come (" + std::to_string(blockBytes) + " of 64 bytes)";
    report.Add(id, kTitle, Status::Fail, text + ": greeting " + Hex(greeting, 8) + ", but " + why,
               "take the recorder's battery out, put it back after 10 seconds, and check again")
        .Fact("address", text)
        .Fact("greeting", Hex(greeting, 8));
    return;
  }
  char made[32];
  if (c.yearSince2000 && c.month) std::snprintf(made, sizeof made, "made %02u/%u", c.month, 2000u + c.yearSince2000);
  else std::snprintf(made, sizeof made, "date of manufacture not set");
  std::string seen = text + ": " + std::string(reinterpret_cast<const char*>(greeting), 5) + ", " + made +
                     ", firmware version " + std::to_string(c.version) + ", " + std::to_string(c.leads) +
                     (c.leads == 1 ? " lead, " : " leads, ") + std::to_string(c.RateHz()) + " Hz, number " +
                     std::to_string(c.number.Get()) + (c.InSetupMode() ? ", set-up mode" : ", normal mode");
  Status status = Status::Ok;
  std::string fix;
  if (c.leads < 1 || c.leads > 3) {
    status = Status::Fail;
    seen += ": a number of leads Ordiva refuses";
    fix = "the recorder's memory needs service: it does not say 1 to 3 leads";
  } else if (c.rateCode != ordiva::kRate250 && c.rateCode != ordiva::kRate500 && c.rateCode != ordiva::kRate1000) {
    status = Status::Warn;
    seen += ": an unknown rate code " + std::to_string(c.rateCode);
    fix = "set the rate in Ordiva's set-up dialog";
  }
  report.Add(id, kTitle, status, seen + "; link closed, nothing changed", fix)
      .Fact("address", text)
      .Fact("greeting", Hex(greeting, 8))
      .Fact("year", static_cast<long long>(c.yearSince2000 ? 2000 + c.yearSince2000 : 0))
      .Fact("month", static_cast<long long>(c.month))
      .Fact("version", static_cast<long long>(c.version))
      .Fact("leads", static_cast<long long>(c.leads))
      .Fact("rate_hz", static_cast<long long>(c.RateHz()))
      .Fact("number", static_cast<long long>(c.number.Get()))
      .Fact("setup_mode", c.InSetupMode());
}

}  // namespace vr03check
