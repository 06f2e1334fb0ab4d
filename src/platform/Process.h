// Other programs started by this one, the process environment, and where a
// loaded module's file lies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A program started by this process and tied to it: the child is killed when
// this object goes while it still runs, and when this process dies (a job
// object that kills on close on Windows; the parent-death signal on POSIX,
// which the system sends when the starting *thread* ends, so start a child
// from a thread that lives at least as long as the child should).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (a full path) with `arguments` (not including the
  // program itself), without a console window of its own. 0 or a system
  // error code.
  std::uint32_t Start(const std::string& program, const std::vector<std::string>& arguments);

  // False when the system started the program without giving a handle on it
  // (Wine starting a Unix program): such a child can be neither waited for
  // nor stopped from here.
  bool Tracked() const { return tracked_; }

  // Waits up to `timeout_ms` (< 0: for ever); true when the child has ended.
  // True at once when there is no tracked child.
  bool WaitForExit(int timeout_ms);

  // Kills a tracked child that still runs and waits for it.
  void Kill();

  // The child's exit code once WaitForExit returned true; -1 when unknown or
  // when it was killed by a signal.
  int ExitCode() const { return exit_code_; }

 private:
  std::intptr_t process_ = 0;               // process handle (Windows) or pid (POSIX)
  [[maybe_unused]] std::intptr_t job_ = 0;  // Windows: the job object the child runs in
  bool tracked_ = false;
  bool exited_ = true;
  int exit_code_ = -1;
};

// The value of an environment variable of this process ("" when unset).
std::string EnvironmentValue(const std::string& name);
// Sets a variable for this process and the programs it starts; an empty
// value removes it. False on failure.
bool SetEnvironmentValue(const std::string& name, const std::string& value);

// The full path of the executable or library that holds `address` (a
// function or object of it); "" when the system cannot say.
std::string ModuleFileName(const void* address);

// The path under which the host's Unix side sees `path`: on POSIX the path
// itself; under Wine the Unix file a Windows path maps to; "" on Windows
// without Wine or when the path maps to no Unix file.
std::string UnixPathOf(const std::string& path);

// The other way round: the path of this platform for a Unix path (itself on
// POSIX, the Windows path Wine maps it to, "" on Windows without Wine).
std::string PathFromUnixPath(const std::string& unix_path);

}  // namespace platform
