// Other programs started by this one, the process environment, and where a
// loaded module's file lies.
#pragma once

#include <cstdint>
#include <memory>
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
  // The child's process id (0 without a tracked child).
  std::uint32_t Id() const;

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

// Another process, not necessarily a child, watched until it ends, and how
// it ended. On Windows the process is opened when the watch starts
// (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION), so its exit code can
// still be read after it has ended. On POSIX the exit status of a process
// that is not one's child cannot be read: a process that called
// RecordExitCodeOnNormalExit leaves its code in a file of its own at a
// normal exit (exit() or a return from main), and a process that ended
// without one (killed by a signal, crashed, _exit) has no known code.
class ProcessWatch {
 public:
  ProcessWatch();
  ~ProcessWatch();
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;

  // Starts watching the process `pid`; 0, or the error (no such process).
  std::uint32_t Open(std::uint32_t pid);
  bool IsOpen() const;
  std::uint32_t Pid() const;
  // Waits up to `timeout_ms` (0: only looks); true once the process has
  // ended (true at once when nothing is watched).
  bool WaitForExit(int timeout_ms);
  // After WaitForExit said so: the process's exit code, or -1 when it is
  // not known (see above).
  std::int64_t ExitCode();
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// This process's id.
std::uint32_t CurrentProcessId();

// From now on a normal exit of this process leaves its exit code where a
// ProcessWatch of another process finds it (POSIX: a file
// "nimbra-exit.<pid>" in $NIMBRA_NAMED_OBJECTS, default /dev/shm, holding
// the process's start time and its code). Once per process; no effect on
// Windows, where the system keeps the code.
void RecordExitCodeOnNormalExit();

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
