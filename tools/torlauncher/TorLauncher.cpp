// An engine library that runs a real engine program instead of containing
// the engine: dll_start starts "tor -f <settings> --defaults-torrc <empty>",
// waits for it and returns once it has ended, never leaving it behind.
//
// The program is the one named by NIMBRA_TOR_EXECUTABLE, else "tor.exe"
// (Windows) or "tor" beside this library. Its life is tied to the host three
// ways: the child is killed when dll_start returns or the host dies (a job
// object on Windows, the parent-death signal on POSIX), and the launcher
// takes ownership of the engine over its control port, so the engine also
// stops when that connection closes. The last is the only tie when Wine
// runs a Unix engine program, as Wine gives no handle on such a child.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "EngineKit.h"
#include "engine/ControlAuth.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartupWaitMs = 30000;  // for the engine to open its control port
constexpr int kStopWaitMs = 10000;     // for the engine to end once told

#ifdef _WIN32
const char kProgramName[] = "tor.exe";
#else
const char kProgramName[] = "tor";
#endif

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class Launcher {
 public:
  void Run(const std::string& settings_path) {
    const auto settings = enginekit::ReadSettings(settings_path);
    if (!settings) return;  // the engine could not read them either
    if (auto log = enginekit::Find(*settings, "Log")) {
      const std::string prefix = "warn file ";
      if (log->compare(0, prefix.size(), prefix) == 0) warn_log_ = log->substr(prefix.size());
    }
    std::uint16_t control_port = 0;
    if (const auto control = enginekit::Find(*settings, "ControlPort")) {
      control_port = enginekit::PortOf(*control).value_or(0);
    }

    const std::string program = EngineProgram();
    if (!platform::FileExists(program)) {
      Warn("No engine program at " + program);
      return;
    }
#ifdef _WIN32
    // Wine runs Unix programs too; such an engine's settings hold Unix paths.
    unix_engine_ = IsUnixProgram(program);
    if (unix_engine_ && !warn_log_.empty()) warn_log_ = platform::PathFromUnixPath(warn_log_);
#endif
    std::vector<std::string> arguments;
    if (!Arguments(program, settings_path, *settings, arguments)) return;

    platform::ChildProcess child;
    if (const std::uint32_t error = child.Start(program, arguments)) {
      Warn("Could not start " + program + ": error " + std::to_string(error));
      return;
    }

    const std::string settings_text =
        platform::AnsiToUtf8(platform::ReadWholeFile(settings_path).value_or(""));
    auth_ = engine_auth::ParseControlAuth(settings_text, unix_engine_ ? '/' : platform::kPathDelim);
#ifdef _WIN32
    if (unix_engine_ && !auth_.CookieFile.empty()) {
      auth_.CookieFile = platform::PathFromUnixPath(auth_.CookieFile);
    }
#endif

    platform::TcpSocket owner;
    const bool owned = control_port != 0 && TakeOwnership(owner, control_port, child);
    if (!owned && !child.Tracked()) {
      Warn(
          "No hold on the engine program: it was started without a handle and its control port "
          "did not take ownership.");
    }

    // Wait for the engine to end: its process ending, or the ownership
    // connection closing (which the engine does only on its way out).
    for (;;) {
      if (child.Tracked() && child.WaitForExit(0)) break;
      if (owned) {
        std::string ignored;
        const std::uint32_t error = owner.Receive(ignored, 4096, 200);
        if (error == platform::SocketTimedOut()) continue;
        if (error != 0 || ignored.empty()) break;
      } else if (!child.Tracked()) {
        break;
      } else {
        child.WaitForExit(200);
      }
    }

    // Whatever ended the wait, nothing of the engine may outlive this call.
    owner.Close();  // an owned engine stops when this connection closes
    if (!child.WaitForExit(kStopWaitMs)) child.Kill();
    if (!child.Tracked() && owned) WaitUntilPortCloses(control_port);
  }

 private:
  std::string EngineProgram() const {
    const std::string named = platform::EnvironmentValue("NIMBRA_TOR_EXECUTABLE");
    if (!named.empty()) return named;
    const std::string library = platform::ModuleFileName(reinterpret_cast<const void*>(&dll_start));
    return platform::ExtractFilePath(library) + kProgramName;
  }

  static bool IsUnixProgram(const std::string& program) {
    const auto bytes = platform::ReadWholeFile(program);
    return bytes && bytes->compare(0, 4,
                                   "\x7F"
                                   "ELF") == 0;
  }

  // The engine's command line. A Unix engine program started from a Windows
  // host (Wine) reads Unix paths, so the settings file's path is handed over
  // as Unix sees it.
  bool Arguments(const std::string& program, const std::string& settings_path,
                 const std::vector<enginekit::Setting>& settings,
                 std::vector<std::string>& arguments) {
    std::string settings_argument = settings_path;
    std::string defaults = "/dev/null";
#ifdef _WIN32
    if (unix_engine_) {
      settings_argument = platform::UnixPathOf(settings_path);
      if (settings_argument.empty()) {
        Warn("Cannot hand " + settings_path + " to the Unix program " + program);
        return false;
      }
    } else {
      // A Windows engine needs a real empty file; the data directory is the
      // engine's own place for it.
      const auto data = enginekit::Find(settings, "DataDirectory");
      const std::string folder = data ? platform::IncludeTrailingDelimiter(*data)
                                      : platform::ExtractFilePath(settings_path);
      platform::ForceDirectories(folder);
      defaults = folder + "empty-defaults";
      if (!platform::FileExists(defaults)) platform::WriteNewFile(defaults, "");
    }
#else
    (void)program;
    (void)settings;
#endif
    // The host's bridges, when it wrote them, are the defaults instead.
    const std::string bridges = platform::ExtractFilePath(settings_path) + "anon_defaults";
    if (platform::FileExists(bridges)) {
      defaults = bridges;
#ifdef _WIN32
      if (unix_engine_) defaults = platform::UnixPathOf(bridges);
#endif
    }
    arguments = {"-f", settings_argument, "--defaults-torrc", defaults, "--hush"};
    return true;
  }

  // Connects to the engine's control port as soon as it is open and asks the
  // engine to stop when this connection closes.
  bool TakeOwnership(platform::TcpSocket& owner, std::uint16_t port,
                     platform::ChildProcess& child) {
    const auto give_up = Clock::now() + std::chrono::milliseconds(kStartupWaitMs);
    while (Clock::now() < give_up) {
      if (child.Tracked() && child.WaitForExit(0)) return false;
      if (owner.Connect("127.0.0.1", port, 1000) == 0) {
        std::string replies;
        if (owner.SendAll(AuthenticateLine() + "\r\nTAKEOWNERSHIP\r\n") == 0) {
          const auto reply_end = Clock::now() + std::chrono::seconds(5);
          while (replies.find("\n", replies.find('\n') + 1) == std::string::npos &&
                 Clock::now() < reply_end) {
            const std::size_t before = replies.size();
            if (owner.Receive(replies, 4096, 200) == 0 && replies.size() == before) break;
          }
        }
        if (replies == "250 OK\r\n250 OK\r\n") {
          Log("notice", "the engine now stops when its host does (ownership taken on port " +
                            std::to_string(port) + ")");
          return true;
        }
        Warn("The engine refused ownership: " + replies);
        owner.Close();
        return false;
      }
      SleepMs(100);
    }
    Warn("The engine's control port " + std::to_string(port) + " did not open");
    return false;
  }

  // "AUTHENTICATE" with the engine's cookie when the settings ask for one
  // (the engine writes it before it opens its control port).
  std::string AuthenticateLine() {
    if (!auth_.Cookie) return "AUTHENTICATE";
    std::string cookie;
    if (platform::ReadRegularFile(auth_.CookieFile, engine_auth::kCookieLength, cookie) !=
            platform::RegularFileRead::Ok ||
        cookie.size() != engine_auth::kCookieLength) {
      Warn("No usable authentication cookie at " + auth_.CookieFile);
      return "AUTHENTICATE";
    }
    return "AUTHENTICATE " + engine_auth::HexText(cookie);
  }

  // For an engine without a process handle: its closed control port is the
  // sign that it has ended.
  void WaitUntilPortCloses(std::uint16_t port) {
    const auto give_up = Clock::now() + std::chrono::milliseconds(kStopWaitMs);
    while (Clock::now() < give_up) {
      platform::TcpSocket probe;
      if (probe.Connect("127.0.0.1", port, 1000) != 0) return;
      probe.Close();
      SleepMs(100);
    }
    Warn("The engine still listens on port " + std::to_string(port));
  }

  void Warn(const std::string& text) { Log("warn", text); }

  // The launcher's lines go to the engine's own warnings log.
  void Log(const std::string& level, const std::string& text) {
    if (warn_log_.empty()) return;
    platform::AppendToFile(
        warn_log_, platform::Utf8ToAnsi("[" + level + "] Engine launcher: " + text + "\r\n"));
  }

  std::string warn_log_;
  engine_auth::TControlAuth auth_;
  bool unix_engine_ = false;  // a Unix engine program run from a Windows host
};

}  // namespace

void PLATFORM_CDECL dll_start(const char* settings_path) {
  if (settings_path == nullptr) return;
  Launcher launcher;
  launcher.Run(platform::AnsiToUtf8(settings_path));
}
