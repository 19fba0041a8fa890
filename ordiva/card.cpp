// The session record on the card: patient block, header patch, card search and write.
#include "card.h"

#include <cstring>

#include "nxpal/text.h"

namespace ordiva {
namespace {

bool BlankOnly(std::u16string_view s) { return s.find_first_not_of(u' ') == std::u16string_view::npos; }

}  // namespace

void PatientBlock::Put(PatientField field, std::u16string_view text) {
  std::string encoded = nx::Utf16ToCp1251(text);  // one byte per character
  const size_t room = static_cast<size_t>(field.width - 1);
  if (encoded.size() > room) encoded.resize(room);
  bytes[static_cast<size_t>(field.offset)] = static_cast<BYTE>(encoded.size());
  std::memcpy(bytes.data() + field.offset + 1, encoded.data(), encoded.size());
}

std::u16string PatientBlock::Get(PatientField field) const {
  size_t length = bytes[static_cast<size_t>(field.offset)];
  if (length > static_cast<size_t>(field.width - 1)) length = static_cast<size_t>(field.width - 1);
  return nx::Cp1251ToUtf16(
      std::string_view(reinterpret_cast<const char*>(bytes.data() + field.offset + 1), length));
}

bool PatientBlock::BuildNames(const PatientTexts& t) {
  std::memset(bytes.data() + 1, 0, 320);
  Put(patient::kSurname, t.surname);
  Put(patient::kFirstName, t.firstName);
  Put(patient::kPatronymic, t.patronymic);
  Put(patient::kRegNumber, t.regNumber);
  return !BlankOnly(t.surname) && !BlankOnly(t.firstName) && !BlankOnly(t.patronymic) && !BlankOnly(t.regNumber);
}

void PatientBlock::BuildRest(const PatientTexts& t) {
  Put(patient::kBirth, t.birth);
  Put(patient::kSex, t.sex);
  Put(patient::kHeight, t.height);
  Put(patient::kWeight, t.weight);
  Put(patient::kClinic, t.clinic);
  Put(patient::kDoctor, t.doctor);
  Put(patient::kChannel1, t.channel1);
  Put(patient::kChannel2, t.channel2);
  Put(patient::kChannel3, t.channel3);
  Put(patient::kDate, t.date);
  Put(patient::kTime, t.time);
}

void PatchHeader(BYTE* sector, BYTE yearSince2000, BYTE month) {
  std::memcpy(sector, "OBNOVL", 6);
  sector[6] = yearSince2000;
  sector[7] = month;
}

char FindCard() {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const char root[] = {letter, ':', '\\', 0};
    const std::string path = std::string(root) + kSessionFileName;
    if (GetDriveTypeA(root) != DRIVE_REMOVABLE) continue;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return letter;
  }
  return 0;
}

std::u16string CardErrorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return u"файл не найден";
    case ERROR_ACCESS_DENIED: return u"нет права записи: карта или файл только для чтения";
    case ERROR_WRITE_PROTECT: return u"карта защищена от записи";
    case ERROR_NOT_READY: return u"карта не вставлена";
    case ERROR_SHARING_VIOLATION: return u"файл занят другой программой";
    case ERROR_HANDLE_EOF: return u"файл короче записи сеанса";
    case ERROR_DISK_FULL: return u"запись вышла бы за конец файла";
    case ERROR_GEN_FAILURE:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND: return u"сбой чтения или записи карты";
    case ERROR_FILE_INVALID:
    case ERROR_UNRECOGNIZED_VOLUME: return u"файловая система карты повреждена";
    default: return {};
  }
}

DWORD CardFile::Open(char letter) {
  Close();
  const std::string path = std::string(1, letter) + ":\\" + kSessionFileName;
  file_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
  return file_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

DWORD CardFile::Write(BYTE yearSince2000, BYTE month, const PatientBlock& block) {
  if (file_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  auto seek = [&](LONG offset) -> DWORD {
    return SetFilePointer(file_, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ? GetLastError() : 0;
  };
  auto write = [&](const BYTE* data) -> DWORD {
    DWORD done = 0;
    if (!WriteFile(file_, data, kSectorBytes, &done, nullptr)) return GetLastError();
    return done == static_cast<DWORD>(kSectorBytes) ? 0 : ERROR_DISK_FULL;
  };
  // The file is only overwritten in place, never grown: one that ends before the patient
  // block's end is not a session file.
  DWORD high = 0;
  SetLastError(0);
  const DWORD size = GetFileSize(file_, &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != 0) return GetLastError();
  if (high == 0 && size < static_cast<DWORD>(kPatientBlockOffset + kSectorBytes)) return ERROR_HANDLE_EOF;
  BYTE sector[kSectorBytes];
  if (DWORD e = seek(0)) return e;
  DWORD done = 0;
  if (!ReadFile(file_, sector, kSectorBytes, &done, nullptr)) return GetLastError();
  if (done != static_cast<DWORD>(kSectorBytes)) return ERROR_HANDLE_EOF;
  PatchHeader(sector, yearSince2000, month);
  if (DWORD e = seek(0)) return e;
  if (DWORD e = write(sector)) return e;
  if (DWORD e = seek(kPatientBlockOffset)) return e;
  return write(block.bytes.data());
}

void CardFile::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

}  // namespace ordiva
