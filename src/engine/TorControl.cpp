#include "engine/TorControl.h"

#include <chrono>
#include <climits>
#include <optional>

#include "core/Logger.h"
#include "platform/Abi.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/SysError.h"
#include "platform/Text.h"

ESocketError::ESocketError(std::uint32_t Code) : ENetworkError(SysErrorText(Code)), FCode(Code) {}

ELineTooLong::ELineTooLong()
    : ENetworkError("Reply line longer than " + std::to_string(kMaxControlLine) + " characters") {}

// ---------------------------------------------------------------------------
// Engine host thread

namespace {

const char kSettingsFileName[] = "anon_settings";
const char kLibraryFileName[] = "anon.dll";
const char kCacheFolderName[] = "cache";

using DllStartProc = void(PLATFORM_CDECL*)(const char* SettingsPath);

}  // namespace

std::string EngineSettingsText(const std::string& DLLFolder) {
  return std::string("SocksListenAddress ") + kEngineHost + "\r\n" + "SocksPort " +
         std::to_string(kEngineSocksPort) + "\r\n" + "ControlPort " +
         std::to_string(kEngineControlPort) + "\r\n" + "DataDirectory " + DLLFolder +
         kCacheFolderName + "\r\n" + "Log warn file " + DLLFolder + kLibraryFileName + ".log" +
         "\r\n";
}

std::atomic<int> TTorThread::FInstanceCount{0};

TTorThread::TTorThread(const std::string& DLLFolder) : FDLLFolder(DLLFolder) {
  ++FInstanceCount;
  // Set before the body can run: a body that ends at once (no library) must
  // still find the flag and free the object.
  SetFreeOnTerminate(true);
  Start();
}

TTorThread::~TTorThread() {
  // Unconditional, as after a failed load there is nothing to release and the
  // failed release is worth a log line of its own.
  if (!platform::FreeDynamicLibrary(TorDLL)) {
    LogMessage("FreeLibrary " + SysErrorText(platform::LastError()), "TTorThread.Destroy");
  }
  --FInstanceCount;
}

void TTorThread::Execute() {
  FDLLFolder = platform::IncludeTrailingDelimiter(FDLLFolder);
  const std::string settings_path = FDLLFolder + kSettingsFileName;

  // An existing settings file is the user's (or an earlier run's): never
  // rewritten, whatever it holds.
  if (!platform::FileExists(settings_path)) {
    if (!platform::ReplaceFileAtomically(settings_path,
                                         platform::Utf8ToAnsi(EngineSettingsText(FDLLFolder)))) {
      throw ESettingsWriteError("Cannot create file \"" + settings_path + "\". " +
                                SysErrorText(platform::LastError()));
    }
  }

  TorDLL = platform::LoadDynamicLibrary(FDLLFolder + kLibraryFileName);
  if (TorDLL < 32) {
    const std::uint32_t error = platform::LastError();
    TorDLL = 0;
    LogMessage("LoadLibrary " + SysErrorText(error), "TTorThread.Execute");
    return;
  }

  auto dll_start = reinterpret_cast<DllStartProc>(platform::GetLibrarySymbol(TorDLL, "dll_start"));
  if (dll_start == nullptr) {
    LogMessage("GetProcAddress " + SysErrorText(platform::LastError()), "TTorThread.Execute");
    return;
  }

  platform::ForceDirectories(FDLLFolder + kCacheFolderName);

  const std::string ansi_settings_path = platform::Utf8ToAnsi(settings_path);
  dll_start(ansi_settings_path.c_str());
}

// ---------------------------------------------------------------------------
// Control client

namespace {

const char kSuccessReply[] = "250 OK";
const char kProgressKey[] = "PROGRESS=";

// One connection to the control port: line-based, 7-bit text, CR LF sent,
// LF read with a CR before it removed. Whatever is still buffered is dropped
// when the connection goes.
class TControlConnection {
 public:
  TControlConnection() {
    const std::uint32_t error =
        FSocket.Connect(kEngineHost, kEngineControlPort, kControlConnectTimeoutMs);
    if (error == platform::SocketTimedOut()) {
      throw ESocketTimeout("Connect to " + std::string(kEngineHost) + ":" +
                           std::to_string(kEngineControlPort) + " timed out");
    }
    if (error != 0) throw ESocketError(error);
  }

  ~TControlConnection() {
    FSocket.DiscardPendingInput();
    FSocket.Close();
  }

  void WriteLn(const std::string& line) {
    if (const std::uint32_t error = FSocket.SendAll(line + "\r\n")) throw ESocketError(error);
  }

  std::string ReadLn() {
    // One deadline for the whole line, so an engine that trickles bytes
    // cannot stretch the wait either.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlReadTimeoutMs);
    std::size_t searched = 0;
    for (;;) {
      const std::size_t end = FBuffer.find('\n', searched);
      if (end != std::string::npos) {
        std::string line = FBuffer.substr(0, end);
        FBuffer.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxControlLine) throw ELineTooLong();
        return line;
      }
      searched = FBuffer.size();
      // A pending CR may still belong to the line end.
      if (FBuffer.size() > kMaxControlLine + 1) throw ELineTooLong();

      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) throw ESocketTimeout("Read timed out");
      const std::size_t before = FBuffer.size();
      const std::uint32_t error = FSocket.Receive(FBuffer, 4096, static_cast<int>(left));
      if (error == platform::SocketTimedOut()) throw ESocketTimeout("Read timed out");
      if (error != 0) throw ESocketError(error);
      if (FBuffer.size() == before) throw EConnectionClosed();
      // The wire is 7-bit text: anything else is not a character of it.
      for (std::size_t i = before; i < FBuffer.size(); ++i) {
        if (static_cast<unsigned char>(FBuffer[i]) > 0x7F) FBuffer[i] = '?';
      }
    }
  }

 private:
  platform::TcpSocket FSocket;
  std::string FBuffer;
};

// Connects, authenticates (without credentials) and sends `command`; returns
// the first line of the reply. An unexpected answer to AUTHENTICATE is logged
// and the command is sent all the same. Network errors raise.
std::string ControlExchange(const std::string& command, const std::string& source) {
  TControlConnection connection;
  connection.WriteLn("AUTHENTICATE");
  const std::string auth_reply = connection.ReadLn();
  if (auth_reply != kSuccessReply) LogMessage("AUTHENTICATE reply = " + auth_reply, source);
  connection.WriteLn(command);
  return connection.ReadLn();
}

// The whole number after the first "PROGRESS=", up to the next blank; nothing
// when the key, the blank or the number is missing.
std::optional<int> ProgressValue(const std::string& reply) {
  const std::size_t key = reply.find(kProgressKey);
  if (key == std::string::npos) return std::nullopt;
  const std::size_t start = key + sizeof kProgressKey - 1;
  const std::size_t blank = reply.find(' ', start);
  if (blank == std::string::npos) return std::nullopt;
  const std::string text = reply.substr(start, blank - start);

  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

TTorControl::TTorControl(const std::string& TorDLLFolder)
    : FTorDLLFolder(TorDLLFolder), FTorThread(nullptr), FRunning(false) {
  // The thread frees itself when its body ends; the engine is loaded from
  // now on, whether or not anonymity is switched on.
  FTorThread = new TTorThread(FTorDLLFolder);
}

// The host thread and the engine are left running: the process ends next.
TTorControl::~TTorControl() { FRunning = false; }

void TTorControl::StartTor() { FRunning = true; }

void TTorControl::StopTor() { FRunning = false; }

int TTorControl::GetProgressStatus() {
  static const char kSource[] = "TTorControl.GetProgressStatus";
  if (!FRunning) return 0;
  int result = -1;  // no value yet
  try {
    const std::string reply = ControlExchange("GETINFO status/bootstrap-phase", kSource);
    if (const std::optional<int> value = ProgressValue(reply)) {
      result = *value;
    } else {
      LogMessage("Invalid GETINFO status/bootstrap-phase reply = " + reply, kSource);
      result = 0;
    }
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
  }
  return result == -1 ? 0 : result;
}

bool TTorControl::SendNewNym() {
  static const char kSource[] = "TTorControl.SendNewNym";
  if (!FRunning) return false;
  bool result = false;
  try {
    const std::string reply = ControlExchange("SIGNAL NEWNYM", kSource);
    if (reply == kSuccessReply) {
      result = true;
    } else {
      LogMessage("SIGNAL NEWNYM reply = " + reply, kSource);
    }
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
  }
  return result;
}
