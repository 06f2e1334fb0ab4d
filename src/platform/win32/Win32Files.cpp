#include <windows.h>

#include <atomic>

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

RegularFileRead ReadRegularFile(const std::string& path, std::size_t max_size, std::string& out) {
  out.clear();
  const std::wstring wide = W(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return RegularFileRead::NotRegular;
  }
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return RegularFileRead::Failed;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return RegularFileRead::NotRegular;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    ::SetLastError(error);
    return RegularFileRead::Failed;
  }
  if (static_cast<unsigned long long>(size.QuadPart) > max_size) {
    CloseHandle(file);
    return RegularFileRead::TooLarge;
  }
  try {
    out.reserve(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::bad_alloc&) {
    CloseHandle(file);
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return RegularFileRead::Failed;
  }
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      out.clear();
      ::SetLastError(error);
      return RegularFileRead::Failed;
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (out.size() + n > max_size) {
      CloseHandle(file);
      out.clear();
      return RegularFileRead::TooLarge;
    }
    out.append(buffer, n);
  }
  CloseHandle(file);
  return RegularFileRead::Ok;
}

namespace {

std::atomic<unsigned> g_temporary_counter{0};

bool ProcessHasEnded(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

// Temporary files of earlier runs beside `target` whose writing process has
// ended. Another process's (alive, or not ours by name) are left alone.
void RemoveStaleTemporaryFiles(const std::string& target) {
  const std::string folder = ExtractFilePath(target);
  const std::string prefix = ExtractFileName(target) + kTemporaryFileMarker;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(folder + prefix + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      continue;
    const std::string name = U(data.cFileName);
    // The search also matches short names: the long name must fit as well.
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::size_t at = prefix.size();
    unsigned long long pid = 0;
    const std::size_t digits = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9' && pid <= 0xFFFFFFFFull) {
      pid = pid * 10 + static_cast<unsigned>(name[at++] - '0');
    }
    if (at == digits || at >= name.size() || name[at] != '-' || pid == 0 || pid > 0xFFFFFFFFull)
      continue;
    if (pid == GetCurrentProcessId()) continue;
    if (!ProcessHasEnded(static_cast<DWORD>(pid))) continue;
    DeleteFileW(W(folder + name).c_str());
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

struct AtomicFileWriter::State {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool failed = false;
  DWORD error = 0;  // of the first failed Write
  std::string target;
  std::string temporary;
};

AtomicFileWriter::AtomicFileWriter() : state_(std::make_unique<State>()) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (state_->file != INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    CloseHandle(state_->file);
    DeleteFileW(W(state_->temporary).c_str());
    ::SetLastError(error);
  }
}

const std::string& AtomicFileWriter::TemporaryPath() const { return state_->temporary; }

bool AtomicFileWriter::Open(const std::string& path) {
  State& s = *state_;
  if (s.file != INVALID_HANDLE_VALUE) return false;
  s.failed = false;
  s.target = path;
  RemoveStaleTemporaryFiles(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    s.temporary = path + kTemporaryFileMarker + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(g_temporary_counter++);
    s.file = CreateFileW(W(s.temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (s.file == INVALID_HANDLE_VALUE) {
    s.temporary.clear();
    return false;
  }
  return true;
}

bool AtomicFileWriter::Write(std::string_view bytes) {
  State& s = *state_;
  if (s.file == INVALID_HANDLE_VALUE || s.failed) return false;
  if (!WriteAll(s.file, bytes)) {
    s.failed = true;
    s.error = GetLastError();
  }
  return !s.failed;
}

bool AtomicFileWriter::Commit() {
  State& s = *state_;
  if (s.file == INVALID_HANDLE_VALUE) return false;
  DWORD error = s.error;
  bool ok = !s.failed;
  if (ok && !FlushFileBuffers(s.file)) {
    ok = false;
    error = GetLastError();
  }
  if (!CloseHandle(s.file) && ok) {
    ok = false;
    error = GetLastError();
  }
  s.file = INVALID_HANDLE_VALUE;
  const std::wstring target = W(s.target);
  if (ok) {
    // A read-only target must stay unchanged: MoveFileEx would replace it.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ok = false;
      error = ERROR_ACCESS_DENIED;
    }
  }
  if (ok && !MoveFileExW(W(s.temporary).c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) DeleteFileW(W(s.temporary).c_str());
  s.temporary.clear();
  ::SetLastError(error);
  return ok;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  AtomicFileWriter writer;
  return writer.Open(path) && writer.Write(bytes) && writer.Commit();
}

bool DeleteFileAt(const std::string& path) { return DeleteFileW(W(path).c_str()) != 0; }

bool RenameFileNoReplace(const std::string& from, const std::string& to) {
  return MoveFileExW(W(from).c_str(), W(to).c_str(), 0) != 0;
}

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
