// The session record on the recorder's memory card: the 512-byte patient block
// (Windows-1251, length-prefixed fields), the patch of the session file's first sector,
// and finding and writing "VKFRCG.BIN" on a removable drive.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "nxpal/windows.h"

namespace ordiva {

inline constexpr char kSessionFileName[] = "VKFRCG.BIN";
inline constexpr int kSectorBytes = 512;
inline constexpr LONG kPatientBlockOffset = 1024;

// Fields of the patient block: offset and width (at most width - 1 characters).
struct PatientField {
  int offset, width;
};
namespace patient {
inline constexpr PatientField kTime{1, 15};  // session start time (MaskEdit6)
inline constexpr PatientField kDate{16, 16};  // session start date (MaskEdit4)
inline constexpr PatientField kBirth{32, 16};  // date of birth (MaskEdit3)
inline constexpr PatientField kRegNumber{48, 16};  // registration number (MaskEdit7)
inline constexpr PatientField kSex{64, 16};  // "М" or "Ж" (MaskEdit5)
inline constexpr PatientField kSurname{80, 64};  // MaskEditFamilia
inline constexpr PatientField kFirstName{144, 64};  // MaskEdit1
inline constexpr PatientField kPatronymic{208, 64};  // MaskEdit2
inline constexpr PatientField kChannel1{272, 16};  // MaskEdit10
inline constexpr PatientField kChannel2{288, 16};  // MaskEdit9
inline constexpr PatientField kChannel3{304, 16};  // MaskEdit8
inline constexpr PatientField kHeight{320, 4};  // MaskEditRost
inline constexpr PatientField kWeight{324, 4};  // MaskEditVes
inline constexpr PatientField kClinic{328, 32};  // MaskEditKlinika
inline constexpr PatientField kDoctor{360, 32};  // MaskEditVrach
// Bytes 0 and 392-511 stay 0.
}  // namespace patient

// The texts of the patient panel as the edits show them.
struct PatientTexts {
  std::u16string surname, firstName, patronymic, birth, sex, regNumber;
  std::u16string height, weight, clinic, doctor;
  std::u16string channel1, channel2, channel3;
  std::u16string date, time;
};

// The process-wide patient block. Bytes after a field's characters keep what the block
// held there before.
class PatientBlock {
 public:
  std::array<BYTE, kSectorBytes> bytes{};

  // A field: the text in Windows-1251, cut to width - 1 characters, after its length byte.
  void Put(PatientField field, std::u16string_view text);
  std::u16string Get(PatientField field) const;

  // Step 1 of "Закончить": bytes 1-320 cleared, then the names and the registration
  // number. Returns false when the particulars are incomplete (a name empty or blanks
  // only, or the registration number empty after trimming blanks).
  bool BuildNames(const PatientTexts& texts);
  // Step 3: the other fields.
  void BuildRest(const PatientTexts& texts);
};

// The first sector's patch: "OBNOVL", then the year of manufacture - 2000 and the month.
void PatchHeader(BYTE* sector, BYTE yearSince2000, BYTE month);

// The first drive from C: to Z: that is removable and holds the session file, as its
// letter; 0 when there is none. Fixed disks are never taken.
char FindCard();

// A few words on why the card could not be written, for the message that shows the
// error's code; empty for codes without a description.
std::u16string CardErrorText(DWORD error);

// The session file opened for the write; closes itself.
class CardFile {
 public:
  CardFile() = default;
  CardFile(const CardFile&) = delete;
  CardFile& operator=(const CardFile&) = delete;
  ~CardFile() { Close(); }

  // Opens "<letter>:\VKFRCG.BIN" for reading and writing, unshared, existing only. The
  // Win32 error on failure, 0 on success.
  DWORD Open(char letter);
  // Reads the first sector, patches it, writes it back and writes the patient block at
  // 1024. The Win32 error of the first step that failed (a short transfer counts as
  // ERROR_HANDLE_EOF for a read, ERROR_DISK_FULL for a write), 0 on success.
  DWORD Write(BYTE yearSince2000, BYTE month, const PatientBlock& block);
  void Close();

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace ordiva
