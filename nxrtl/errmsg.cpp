// nxErrMsgW: a modal error message for a failing HRESULT, with a readable Russian text
// for the Win32 codes and COM results this family of programs meets.
#include <cstdio>
#include <string>

#include "nxpal/resource.h"
#include "nxrtl/nxrtl.h"

namespace {

struct Text {
  DWORD code;
  const char16_t* text;
};

// Win32 codes, reached both as HRESULT_FROM_WIN32 values and as plain codes.
constexpr Text kWin32Texts[] = {
    {ERROR_SUCCESS, u"Операция успешно завершена."},
    {ERROR_INVALID_FUNCTION, u"Неверная функция."},
    {ERROR_FILE_NOT_FOUND, u"Не удается найти указанный файл."},
    {ERROR_PATH_NOT_FOUND, u"Системе не удается найти указанный путь."},
    {ERROR_TOO_MANY_OPEN_FILES, u"Системе не удается открыть файл: открыто слишком много файлов."},
    {ERROR_ACCESS_DENIED, u"Отказано в доступе."},
    {ERROR_INVALID_HANDLE, u"Неверный дескриптор."},
    {ERROR_NOT_ENOUGH_MEMORY, u"Недостаточно памяти для обработки команды."},
    {ERROR_INVALID_DATA, u"Недопустимые данные."},
    {ERROR_OUTOFMEMORY, u"Недостаточно памяти для завершения операции."},
    {ERROR_INVALID_DRIVE, u"Системе не удается найти указанный диск."},
    {ERROR_WRITE_PROTECT, u"Носитель защищен от записи."},
    {ERROR_NOT_READY, u"Устройство не готово."},
    {ERROR_CRC, u"Ошибка в данных (CRC)."},
    {ERROR_SECTOR_NOT_FOUND, u"Не удается найти указанный сектор на диске."},
    {ERROR_WRITE_FAULT, u"Ошибка записи на устройство."},
    {ERROR_READ_FAULT, u"Ошибка чтения с устройства."},
    {ERROR_GEN_FAILURE, u"Устройство, подключенное к системе, не работает."},
    {ERROR_SHARING_VIOLATION, u"Файл занят другим процессом."},
    {ERROR_HANDLE_EOF, u"Достигнут конец файла."},
    {ERROR_NOT_SUPPORTED, u"Запрос не поддерживается."},
    {ERROR_INVALID_PARAMETER, u"Параметр задан неверно."},
    {ERROR_BROKEN_PIPE, u"Канал был закрыт."},
    {ERROR_DISK_FULL, u"Недостаточно места на диске."},
    {ERROR_INSUFFICIENT_BUFFER, u"Область данных, переданная системному вызову, слишком мала."},
    {ERROR_MOD_NOT_FOUND, u"Не найден указанный модуль."},
    {ERROR_PROC_NOT_FOUND, u"Не найдена указанная процедура."},
    {ERROR_ALREADY_EXISTS, u"Невозможно создать файл, так как он уже существует."},
    {ERROR_PIPE_BUSY, u"Все копии канала заняты."},
    {ERROR_NO_DATA, u"Идет закрытие канала."},
    {ERROR_PIPE_NOT_CONNECTED, u"С обоих концов канала отсутствует процесс."},
    {ERROR_MORE_DATA, u"Имеются дополнительные данные."},
    {ERROR_NO_MORE_ITEMS, u"Больше данных нет."},
    {ERROR_OPERATION_ABORTED, u"Операция ввода-вывода была прервана."},
    {ERROR_IO_PENDING, u"Выполняется операция ввода-вывода."},
    {ERROR_FILE_INVALID, u"Том для открытого файла был изменен извне, работа с файлом невозможна."},
    {ERROR_KEY_DELETED, u"Недопустимая операция над разделом реестра, отмеченным для удаления."},
    {ERROR_DEVICE_NOT_CONNECTED, u"Устройство не подключено."},
    {ERROR_INVALID_WINDOW_HANDLE, u"Неверный дескриптор окна."},
    {ERROR_TIMEOUT, u"Операция возвращена из-за истечения времени ожидания."},
    {WSAETIMEDOUT, u"Превышено время ожидания ответа от устройства."},
    {WSAECONNREFUSED, u"Устройство отвергло подключение."},
    {WSAECONNRESET, u"Устройство разорвало подключение."},
};

// COM results of other facilities.
constexpr Text kComTexts[] = {
    {static_cast<DWORD>(E_UNEXPECTED), u"Непредвиденная ошибка."},
    {static_cast<DWORD>(E_NOTIMPL), u"Не реализовано."},
    {static_cast<DWORD>(E_NOINTERFACE), u"Интерфейс не поддерживается."},
    {static_cast<DWORD>(E_POINTER), u"Недопустимый указатель."},
    {static_cast<DWORD>(E_ABORT), u"Операция прервана."},
    {static_cast<DWORD>(E_FAIL), u"Неопознанная ошибка."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), u"Класс не поддерживает агрегирование."},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), u"Библиотека не поддерживает этот класс."},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), u"Класс не зарегистрирован."},
    {static_cast<DWORD>(CO_E_CLASSSTRING), u"Неверная строка идентификатора класса."},
    {static_cast<DWORD>(CO_E_DLLNOTFOUND), u"Не найдена библиотека класса."},
    {static_cast<DWORD>(CO_E_ERRORINDLL), u"Ошибка в библиотеке класса."},
};

const char16_t* Lookup(const Text* table, size_t n, DWORD code) {
  for (size_t i = 0; i < n; ++i)
    if (table[i].code == code) return table[i].text;
  return nullptr;
}

}  // namespace

namespace nxrtl {

// The message shown for hr: a description and the code in hexadecimal.
std::u16string ErrorText(HRESULT hr) {
  const char16_t* text = nullptr;
  DWORD code = static_cast<DWORD>(hr);
  if (hr >= 0 && hr <= 0xFFFF) {
    text = Lookup(kWin32Texts, std::size(kWin32Texts), code);  // a plain Win32 code
  } else if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr)) {
    text = Lookup(kWin32Texts, std::size(kWin32Texts), static_cast<DWORD>(HRESULT_CODE(hr)));
  } else {
    text = Lookup(kComTexts, std::size(kComTexts), code);
  }
  char number[32];
  std::snprintf(number, sizeof number, "0x%08X", code);
  std::u16string out = text ? text : u"Неизвестная ошибка.";
  out += u"\r\nКод ошибки: ";
  out += nx::Utf8ToUtf16(number);
  return out;
}

}  // namespace nxrtl

int nxErrMsgW(HWND owner, HMODULE module, UINT captionId, DWORD, HRESULT hr, UINT style) {
  WCHAR caption[256] = {0};
  if (!module || LoadStringW(module, captionId, caption, static_cast<int>(std::size(caption))) <= 0) caption[0] = 0;
  std::u16string text = nxrtl::ErrorText(hr);
  return MessageBoxW(owner, text.c_str(), caption[0] ? caption : nullptr, style);
}
