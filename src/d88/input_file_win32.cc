// The native files of native_file.h on Windows.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "d88/native_file.h"

namespace d88 {

const int kOutOfMemoryCode = ERROR_NOT_ENOUGH_MEMORY;

namespace {

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// Longest path the wide interface takes, in characters.
constexpr int kMaxWidePath = 32768;

}  // namespace

bool WidePath(const char* path, wchar_t* wide, int size) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                             size) > 0 ||
         MultiByteToWideChar(CP_ACP, 0, path, -1, wide, size) > 0;
}

int OpenForReading(const char* path, intptr_t* file, bool* stream) {
  // On the heap: too large for the stack of every thread, and shared by
  // none.
  wchar_t* wide =
      static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * kMaxWidePath));
  if (wide == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (!WidePath(path, wide, kMaxWidePath)) {
    std::free(wide);
    return ERROR_INVALID_NAME;
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  const HANDLE handle =
      CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD code = GetLastError();
  std::free(wide);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(code);
  const DWORD type = GetFileType(handle);
  *stream = type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
  *file = reinterpret_cast<intptr_t>(handle);
  return 0;
}

void CloseFile(intptr_t file) { CloseHandle(AsHandle(file)); }

int OpenAnonymousFile(intptr_t* file, char* dir_out, size_t dir_size) {
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) {
    std::snprintf(dir_out, dir_size, "%s", "the temporary folder");
    return static_cast<int>(GetLastError());
  }
  if (WideCharToMultiByte(CP_UTF8, 0, dir, -1, dir_out,
                          static_cast<int>(dir_size), nullptr, nullptr) == 0) {
    std::snprintf(dir_out, dir_size, "%s", "the temporary folder");
  }
  if (GetTempFileNameW(dir, L"d88", 0, name) == 0) {
    return static_cast<int>(GetLastError());
  }
  // Deleted by the system when the handle closes, also if the process ends
  // without closing it.
  const HANDLE handle = CreateFileW(
      name, GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    DeleteFileW(name);
    return static_cast<int>(code);
  }
  *file = reinterpret_cast<intptr_t>(handle);
  return 0;
}

int ReadStream(intptr_t stream, uint8_t* buf, size_t len, size_t* got) {
  DWORD n = 0;
  *got = 0;
  const DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
  if (!ReadFile(AsHandle(stream), buf, want, &n, nullptr)) {
    const DWORD code = GetLastError();
    // A pipe whose writer has closed reports its end this way.
    return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF
               ? 0
               : static_cast<int>(code);
  }
  *got = n;
  return 0;
}

namespace {

OVERLAPPED At(int64_t offset) {
  OVERLAPPED place = {};
  place.Offset =
      static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  place.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return place;
}

// Writes at the file's position, or at `offset` when it is not negative.
int WriteAllFrom(intptr_t file, int64_t offset, const uint8_t* data,
                 size_t len) {
  while (len > 0) {
    const DWORD want =
        len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    OVERLAPPED place = At(offset);
    DWORD put = 0;
    if (!WriteFile(AsHandle(file), data, want, &put,
                   offset >= 0 ? &place : nullptr)) {
      return static_cast<int>(GetLastError());
    }
    if (put == 0) return ERROR_WRITE_FAULT;
    data += put;
    len -= put;
    if (offset >= 0) offset += put;
  }
  return 0;
}

}  // namespace

int ReadSomeAt(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
               size_t* got) {
  OVERLAPPED place = At(offset);
  const DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
  DWORD n = 0;
  *got = 0;
  if (!ReadFile(AsHandle(file), buf, want, &n, &place)) {
    const DWORD code = GetLastError();
    return code == ERROR_HANDLE_EOF ? 0 : static_cast<int>(code);
  }
  *got = n;
  return 0;
}

int WriteAll(intptr_t file, const uint8_t* data, size_t len) {
  return WriteAllFrom(file, -1, data, len);
}

int WriteAllAt(intptr_t file, int64_t offset, const uint8_t* data, size_t len) {
  return WriteAllFrom(file, offset, data, len);
}

int64_t FileSize(intptr_t file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(file), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

bool IdentityOf(intptr_t file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(AsHandle(file), &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace d88
