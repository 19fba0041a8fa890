// The signal check: judges each ECG lead once a second (good, no contact, clipped, mains,
// muscle noise, baseline wander) and estimates the heart rate from the QRS complexes of the
// usable leads. Plain C++, no Qt: the acquisition side, Ordiva's window and vr03sig share it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace sigcheck {

enum class Verdict { Good, NoContact, Clipped, Mains, Muscle, Wander };

// "good", "no-contact", "clipped", "mains", "muscle", "wander"
const char* VerdictWord(Verdict verdict);

inline constexpr int kMaxLeads = 3;

// What the check says once a second.
struct Report {
  int second = 0;  // whole seconds of signal since the start (1 for the first report)
  int leads = 0;   // 1-3
  std::array<Verdict, kMaxLeads> verdicts{};  // held: a verdict changes only after the new one held 2 s
  int heartRate = -1;  // beats per minute, -1 when no lead is usable
  // The verdicts of this second alone, before the hold (what the display would flicker with).
  std::array<Verdict, kMaxLeads> instant{};
};

class SignalCheck {
 public:
  // rateHz 250, 500 or 1000; leads 1-3; every lead's gain defaults to 100 counts per mV.
  // Other values throw std::invalid_argument.
  SignalCheck(int rateHz, int leads);
  ~SignalCheck();
  SignalCheck(SignalCheck&&) noexcept;
  SignalCheck& operator=(SignalCheck&&) noexcept;
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  // lead 0-based; countsPerMv > 0 (else std::invalid_argument). Takes effect at once.
  void SetGain(int lead, double countsPerMv);
  // One sample per lead (recorder counts 0-4095, 2048 the base line). Returns true when
  // a second of signal completed, with *report filled. Cheap except once a second.
  bool Push(const uint16_t* samples, Report* report);
  void Reset();  // forgets the signal (a new session, a rate change)

  int RateHz() const;
  int Leads() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace sigcheck
