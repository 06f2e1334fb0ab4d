#include <windows.h>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

namespace {

bool WriteAll(HANDLE file, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

bool WriteWith(const std::string& path, std::string_view bytes, DWORD disposition, bool append) {
  // Others may read or delete the file while it is open (the log's readers).
  HANDLE file = CreateFileW(W(path).c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = WriteAll(file, bytes);
  const DWORD error = GetLastError();
  const bool closed = CloseHandle(file) != 0;
  if (!ok) ::SetLastError(error);
  return ok && closed;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes) {
  return WriteWith(path, bytes, OPEN_ALWAYS, true);
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  return WriteWith(path, bytes, CREATE_ALWAYS, false);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  HANDLE file = CreateFileW(W(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string data;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      CloseHandle(file);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, n);
  }
  CloseHandle(file);
  return data;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  const std::wstring target = W(path);
  const std::wstring temp = target + L".new" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(GetCurrentThreadId());
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, bytes) && FlushFileBuffers(file);
  DWORD error = GetLastError();
  ok = CloseHandle(file) && ok;
  if (ok) {
    // A read-only target must stay unchanged: MoveFileEx would replace it.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ok = false;
      error = ERROR_ACCESS_DENIED;
    }
  }
  if (ok) {
    ok = MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temp.c_str());
    ::SetLastError(error);
  }
  return ok;
}

bool DeleteFileAt(const std::string& path) { return DeleteFileW(W(path).c_str()) != 0; }

std::optional<std::vector<DirEntry>> ListDirectory(const std::string& folder) {
  WIN32_FIND_DATAW data;
  const std::wstring pattern = W(IncludeTrailingDelimiter(folder) + "*.*");
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<DirEntry> entries;
  do {
    const std::string name = U(data.cFileName);
    if (name == "." || name == "..") continue;
    entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return entries;
}

}  // namespace platform
