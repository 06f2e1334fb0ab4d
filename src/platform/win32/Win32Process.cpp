#include <windows.h>

#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

namespace {

HANDLE H(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// One argument quoted so that the child's command-line parser gives it back
// unchanged (backslashes double only before a quote).
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Kill();
  if (job_ != 0) CloseHandle(H(job_));
  if (process_ != 0) CloseHandle(H(process_));
}

std::uint32_t ChildProcess::Start(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  Kill();
  if (job_ != 0) CloseHandle(H(job_));
  if (process_ != 0) CloseHandle(H(process_));
  job_ = 0;
  process_ = 0;

  const std::wstring program_w = W(program);
  std::wstring command_line = QuoteArgument(program_w);
  for (const std::string& argument : arguments) command_line += L" " + QuoteArgument(W(argument));

  // The job kills the child when its last handle closes, that is with this
  // object or with this process, however it ends.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program_w.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    const DWORD error = GetLastError();
    if (job != nullptr) CloseHandle(job);
    return error;
  }
  if (info.hProcess == nullptr) {
    // Wine runs a Unix program directly and hands back no handle on it.
    if (job != nullptr) CloseHandle(job);
    tracked_ = false;
    exited_ = true;
    exit_code_ = -1;
    return 0;
  }
  // A system without nested jobs refuses this when we run in a job
  // ourselves; the child then runs untied rather than not at all.
  if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  job_ = reinterpret_cast<std::intptr_t>(job);
  tracked_ = true;
  exited_ = false;
  exit_code_ = -1;
  return 0;
}

std::uint32_t ChildProcess::Id() const {
  return tracked_ && process_ != 0 ? GetProcessId(H(process_)) : 0;
}

bool ChildProcess::WaitForExit(int timeout_ms) {
  if (!tracked_ || exited_) return true;
  const DWORD wait =
      WaitForSingleObject(H(process_), timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (wait == WAIT_TIMEOUT) return false;
  DWORD code = 0;
  exit_code_ = GetExitCodeProcess(H(process_), &code) ? static_cast<int>(code) : -1;
  exited_ = true;
  return true;
}

void ChildProcess::Kill() {
  if (!tracked_ || exited_) return;
  TerminateProcess(H(process_), 1);
  WaitForExit(-1);
  exit_code_ = -1;
}

// ---- watching another process

struct ProcessWatch::State {
  HANDLE handle = nullptr;
  DWORD pid = 0;
  bool ended = false;
};

ProcessWatch::ProcessWatch() : state_(std::make_unique<State>()) {}
ProcessWatch::~ProcessWatch() { Close(); }

std::uint32_t ProcessWatch::Open(std::uint32_t pid) {
  Close();
  // Held from now on: the exit code stays readable after the process ends.
  HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (handle == nullptr) return GetLastError();
  state_->handle = handle;
  state_->pid = pid;
  return 0;
}

bool ProcessWatch::IsOpen() const { return state_->handle != nullptr; }

std::uint32_t ProcessWatch::Pid() const { return state_->pid; }

bool ProcessWatch::WaitForExit(int timeout_ms) {
  if (state_->handle == nullptr || state_->ended) return true;
  const DWORD wait = WaitForSingleObject(
      state_->handle, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  state_->ended = wait == WAIT_OBJECT_0;
  return state_->ended;
}

std::int64_t ProcessWatch::ExitCode() {
  if (state_->handle == nullptr || !state_->ended) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(state_->handle, &code)) return -1;
  return code;
}

void ProcessWatch::Close() {
  if (state_->handle != nullptr) CloseHandle(state_->handle);
  *state_ = State{};
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void RecordExitCodeOnNormalExit() {}

std::string EnvironmentValue(const std::string& name) {
  const std::wstring name_w = W(name);
  const DWORD size = GetEnvironmentVariableW(name_w.c_str(), nullptr, 0);
  if (size == 0) return "";
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(name_w.c_str(), value.data(), size);
  value.resize(n < size ? n : 0);
  return U(value);
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
  const std::wstring value_w = W(value);
  return SetEnvironmentVariableW(W(name).c_str(), value.empty() ? nullptr : value_w.c_str()) != 0;
}

std::string ModuleFileName(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return "";
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "";
    if (n < path.size()) {
      path.resize(n);
      return U(path);
    }
    path.resize(path.size() * 2);
  }
}

std::string UnixPathOf(const std::string& path) {
  // Wine's own export; absent on Windows itself.
  using UnixFileNameProc = char*(__cdecl*)(const wchar_t*);
  auto unix_file_name = reinterpret_cast<UnixFileNameProc>(
      GetSystemSymbol("kernel32.dll", "wine_get_unix_file_name"));
  if (unix_file_name == nullptr) return "";
  char* unix_path = unix_file_name(W(path).c_str());
  if (unix_path == nullptr) return "";
  std::string result = unix_path;
  HeapFree(GetProcessHeap(), 0, unix_path);
  return result;
}

std::string PathFromUnixPath(const std::string& unix_path) {
  using DosFileNameProc = wchar_t*(__cdecl*)(const char*);
  auto dos_file_name =
      reinterpret_cast<DosFileNameProc>(GetSystemSymbol("kernel32.dll", "wine_get_dos_file_name"));
  if (dos_file_name == nullptr) return "";
  wchar_t* path = dos_file_name(unix_path.c_str());
  if (path == nullptr) return "";
  std::string result = U(path);
  HeapFree(GetProcessHeap(), 0, path);
  return result;
}

}  // namespace platform
