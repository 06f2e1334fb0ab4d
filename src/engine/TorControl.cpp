#include "engine/TorControl.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "base/Endpoints.h"
#include "base/Logger.h"
#include "engine/ControlAuth.h"
#include "platform/Abi.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace {

// The pieces as one text, each copied once into a string of the whole size.
// (Prepending to a temporary, as "text " + std::to_string(n) does, makes
// GCC 12 see an overlapping copy in the inlined insert and warn at -O2 and
// above.)
std::string Joined(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (const std::string_view piece : pieces) text += piece;
  return text;
}

}  // namespace

ESocketError::ESocketError(std::uint32_t Code) : ENetworkError(SysErrorText(Code)), FCode(Code) {}

ELineTooLong::ELineTooLong()
    : ENetworkError(
          Joined({"Reply line longer than ", std::to_string(kMaxControlLine), " characters"})) {}

// ---------------------------------------------------------------------------
// Engine host thread

namespace {

const char kSettingsFileName[] = "anon_settings";
const char kLibraryFileName[] = "anon.dll";
const char kCacheFolderName[] = "cache";

using DllStartProc = void(PLATFORM_CDECL*)(const char* SettingsPath);

}  // namespace

std::string EngineSettingsText(const std::string& DLLFolder) {
  return std::string("SocksListenAddress ") + endpoints::kLoopbackHost + "\r\n" + "SocksPort " +
         std::to_string(endpoints::kEngineSocksPort) + "\r\n" + "ControlPort " +
         std::to_string(endpoints::kEngineControlPort) + "\r\n" + "CookieAuthentication 1\r\n" +
         "DataDirectory " + DLLFolder + kCacheFolderName + "\r\n" + "Log warn file " + DLLFolder +
         kLibraryFileName + ".log" + "\r\n";
}

std::atomic<int> TTorThread::FInstanceCount{0};

TTorThread::TTorThread(const std::string& DLLFolder, TBridgeSettings Bridges)
    : FDLLFolder(DLLFolder), FBridges(std::move(Bridges)) {
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
    LogMessage(Joined({"FreeLibrary ", SysErrorText(platform::LastError())}), "TTorThread.Destroy");
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

  // Rewritten on every start, so that a choice changed while the program
  // was not running (or a failed SETCONF) holds from the first connection.
  if (!WriteBridgeDefaults(FDLLFolder, FBridges) && FBridges.Enabled) {
    LogMessage("Bridges are on but not written: the engine is not started", "TTorThread.Execute");
    return;
  }

  TorDLL = platform::LoadDynamicLibrary(FDLLFolder + kLibraryFileName);
  if (TorDLL < 32) {
    const std::uint32_t error = platform::LastError();
    TorDLL = 0;
    LogMessage(Joined({"LoadLibrary ", SysErrorText(error)}), "TTorThread.Execute");
    return;
  }

  auto dll_start = reinterpret_cast<DllStartProc>(platform::GetLibrarySymbol(TorDLL, "dll_start"));
  if (dll_start == nullptr) {
    LogMessage(Joined({"GetProcAddress ", SysErrorText(platform::LastError())}),
               "TTorThread.Execute");
    return;
  }

  platform::ForceDirectories(FDLLFolder + kCacheFolderName);

  const std::string ansi_settings_path = platform::Utf8ToAnsi(settings_path);
  dll_start(ansi_settings_path.c_str());
}

// ---------------------------------------------------------------------------
// Control client

void TControlLineBuffer::Append(const char* Bytes, std::size_t Count) {
  // Read lines are dropped from the front only now and then, so that a long
  // reply costs no quadratic copying.
  if (FStart > 0 && FStart >= FBuffer.size() / 2) {
    FBuffer.erase(0, FStart);
    FSearched -= FStart;
    FStart = 0;
  }
  const std::size_t before = FBuffer.size();
  FBuffer.append(Bytes, Count);
  // The wire is 7-bit text: anything else is not a character of it.
  for (std::size_t i = before; i < FBuffer.size(); ++i) {
    if (static_cast<unsigned char>(FBuffer[i]) > 0x7F) FBuffer[i] = '?';
  }
}

std::optional<std::string> TControlLineBuffer::TakeLine() {
  const std::size_t end = FBuffer.find('\n', std::max(FSearched, FStart));
  if (end == std::string::npos) {
    FSearched = FBuffer.size();
    // A pending CR may still belong to the line end.
    if (FBuffer.size() - FStart > kMaxControlLine + 1) throw ELineTooLong();
    return std::nullopt;
  }
  std::string line = FBuffer.substr(FStart, end - FStart);
  FStart = end + 1;
  FSearched = FStart;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kMaxControlLine) throw ELineTooLong();
  return line;
}

std::optional<int> ProgressValue(const std::string& reply) {
  static const char kProgressKey[] = "PROGRESS=";
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

namespace {

// One value after "KEY=": a quoted string with backslash escapes, or the
// text up to the next blank. False for an unterminated quote.
bool ReadPhaseValue(const std::string& text, std::size_t& i, std::string& value) {
  value.clear();
  if (i < text.size() && text[i] == '"') {
    for (++i; i < text.size(); ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) {
        value += text[++i];
      } else if (text[i] == '"') {
        ++i;
        return true;
      } else {
        value += text[i];
      }
    }
    return false;
  }
  while (i < text.size() && text[i] != ' ') value += text[i++];
  return true;
}

}  // namespace

std::string TBootstrapPhase::ProblemText() const {
  std::string text = Reason.empty() ? Tag : Reason;
  if (!Warning.empty()) text += (text.empty() ? "" : ", ") + Warning;
  if (Count > 0) text += " (" + std::to_string(Count) + ")";
  return text;
}

TBootstrapPhase ParseBootstrapPhase(const std::string& Reply) {
  TBootstrapPhase phase;
  std::string text = Reply;
  static const char kKey[] = "status/bootstrap-phase=";
  if (const std::size_t key = text.find(kKey); key != std::string::npos) {
    text = text.substr(key + sizeof kKey - 1);
  }
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const std::size_t severity_end = std::min(text.find(' ', i), text.size());
  const std::string severity = text.substr(i, severity_end - i);
  if (severity != "NOTICE" && severity != "WARN" && severity != "ERR") return phase;
  phase.Severity = severity;
  i = severity_end;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t word_end = std::min(text.find_first_of(" =", i), text.size());
    const std::string key = text.substr(i, word_end - i);
    i = word_end;
    if (i >= text.size() || text[i] != '=') continue;  // a bare word ("BOOTSTRAP")
    ++i;
    std::string value;
    if (!ReadPhaseValue(text, i, value)) break;
    if (key == "PROGRESS") {
      phase.Progress = ProgressValue("PROGRESS=" + value + " ");
    } else if (key == "TAG") {
      phase.Tag = value;
    } else if (key == "SUMMARY") {
      phase.Summary = value;
    } else if (key == "WARNING") {
      phase.Warning = value;
    } else if (key == "REASON") {
      phase.Reason = value;
    } else if (key == "COUNT") {
      phase.Count = std::max(0, ProgressValue("PROGRESS=" + value + " ").value_or(0));
    } else if (key == "RECOMMENDATION") {
      phase.Recommendation = value;
    }
  }
  return phase;
}

namespace {

// The AUTHENTICATE line for the engine folder's settings, and whether it
// holds until the engine refuses it: only a line made from a readable
// settings file (and the cookie, when they ask for one) does. Without a
// usable cookie the line is made anew for every exchange, and so is its log
// line.
struct TAuthLine {
  std::string Line;
  bool Lasting = false;
};

TAuthLine ReadAuthLine(const std::string& DLLFolder, const std::string& Source) {
  static const char kCommand[] = "AUTHENTICATE";
  std::string settings;
  const std::string settings_path =
      platform::IncludeTrailingDelimiter(DLLFolder) + kSettingsFileName;
  // Without a readable settings file nothing says a cookie is wanted.
  if (platform::ReadRegularFile(settings_path, kMaxSettingsFileSize, settings) !=
      platform::RegularFileRead::Ok) {
    return {kCommand, false};
  }
  const engine_auth::TControlAuth auth =
      engine_auth::ParseControlAuth(platform::AnsiToUtf8(settings), platform::kPathDelim);
  if (!auth.Cookie) return {kCommand, true};

  std::string path = auth.CookieFile;
  // An engine program of the host's Unix side (under Wine) names its files
  // the Unix way.
  if (platform::kPathDelim == '\\' && !path.empty() && path.front() == '/') {
    const std::string mapped = platform::PathFromUnixPath(path);
    if (!mapped.empty()) path = mapped;
  }
  std::string reason;
  std::string cookie;
  if (path.empty()) {
    reason = "no data directory in the settings";
  } else {
    switch (platform::ReadRegularFile(path, engine_auth::kCookieLength, cookie)) {
      case platform::RegularFileRead::Ok:
        if (cookie.size() == engine_auth::kCookieLength) {
          std::string line = kCommand;
          line += ' ';
          line += engine_auth::HexText(cookie);
          return {line, true};
        }
        reason = std::to_string(cookie.size()) + " bytes instead of " +
                 std::to_string(engine_auth::kCookieLength);
        break;
      case platform::RegularFileRead::Failed:
        reason = SysErrorText(platform::LastError());
        break;
      case platform::RegularFileRead::NotRegular:
        reason = "not a regular file";
        break;
      case platform::RegularFileRead::TooLarge:
        reason = Joined({"more than ", std::to_string(engine_auth::kCookieLength), " bytes"});
        break;
    }
  }
  LogMessage("Unusable authentication cookie " + path + ": " + reason, Source);
  return {kCommand, false};
}

}  // namespace

std::string AuthenticateCommand(const std::string& DLLFolder, const std::string& Source) {
  return ReadAuthLine(DLLFolder, Source).Line;
}

namespace {

const char kSuccessReply[] = "250 OK";

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, at least 0.
int MillisecondsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One connection to the control port: line-based, 7-bit text, CR LF sent,
// LF read with a CR before it removed. Connect and every read share one
// deadline. Whatever is still buffered is dropped (up to a bound) when the
// connection goes.
class TControlConnection {
 public:
  explicit TControlConnection(SteadyClock::time_point deadline) : FDeadline(deadline) {
    const int left = MillisecondsLeft(FDeadline);
    const std::uint32_t error =
        left > 0 ? FSocket.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, left)
                 : platform::SocketTimedOut();
    if (error == platform::SocketTimedOut()) {
      throw ESocketTimeout(Joined({"Connect to ", endpoints::kLoopbackHost, ":",
                                   std::to_string(endpoints::kEngineControlPort), " timed out"}));
    }
    if (error != 0) throw ESocketError(error);
  }

  ~TControlConnection() {
    FSocket.DiscardPendingInput(kMaxDiscardedInput);
    FSocket.Close();
  }

  // Sends the lines in one write, each ended by CR LF.
  void WriteLines(std::initializer_list<std::string_view> lines) {
    std::string bytes;
    for (const std::string_view line : lines) {
      bytes += line;
      bytes += "\r\n";
    }
    if (const std::uint32_t error = FSocket.SendAll(bytes)) throw ESocketError(error);
  }

  std::string ReadLn() {
    for (;;) {
      if (std::optional<std::string> line = FLines.TakeLine()) return *line;
      const int left = MillisecondsLeft(FDeadline);
      if (left <= 0) throw ESocketTimeout("Read timed out");
      std::string chunk;
      const std::uint32_t error = FSocket.Receive(chunk, 4096, left);
      if (error == platform::SocketTimedOut()) throw ESocketTimeout("Read timed out");
      if (error != 0) throw ESocketError(error);
      if (chunk.empty()) throw EConnectionClosed();
      FLines.Append(chunk.data(), chunk.size());
    }
  }

 private:
  SteadyClock::time_point FDeadline;
  platform::TcpSocket FSocket;
  TControlLineBuffer FLines;
};

}  // namespace

std::string TTorControl::AuthLine(const std::string& Source, bool& FromCache) {
  {
    std::lock_guard<std::mutex> lock(FAuthLock);
    if (!FAuthLine.empty()) {
      FromCache = true;
      return FAuthLine;
    }
  }
  FromCache = false;
  TAuthLine read = ReadAuthLine(FTorDLLFolder, Source);
  if (read.Lasting) {
    std::lock_guard<std::mutex> lock(FAuthLock);
    FAuthLine = read.Line;
  }
  return std::move(read.Line);
}

void TTorControl::ForgetAuthLine(const std::string& Refused) {
  std::lock_guard<std::mutex> lock(FAuthLock);
  if (FAuthLine == Refused) FAuthLine.clear();
}

TTorControl::TExchange TTorControl::Exchange(const std::string& Command,
                                             const std::string& Source) {
  // One deadline for everything, a second try included.
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(kControlExchangeTimeoutMs);
  std::optional<std::string> fresh;  // read again after a refusal
  for (int attempt = 0;; ++attempt) {
    TControlConnection connection(deadline);
    // Read once the engine listens: while it starts, its cookie may not be
    // written yet.
    bool from_cache = false;
    const std::string auth = fresh ? *fresh : AuthLine(Source, from_cache);
    // The engine answers in order, so the command need not wait for the
    // answer to AUTHENTICATE: one round trip instead of two.
    connection.WriteLines({auth, Command});
    const std::string auth_reply = connection.ReadLn();
    if (auth_reply == kSuccessReply) return {true, connection.ReadLn()};
    LogMessage("AUTHENTICATE reply = " + auth_reply, Source);
    ForgetAuthLine(auth);
    // A line kept from earlier may be stale: an engine started anew writes
    // a new cookie. Asked once more only with a line that differs.
    if (from_cache && attempt == 0) {
      bool ignored = false;
      fresh = AuthLine(Source, ignored);
      if (*fresh != auth) continue;
      // The files still say what the engine refused: read them anew next
      // time.
      ForgetAuthLine(*fresh);
    }
    // The command's answer still comes (or the connection's end does) and
    // decides, as when the session was accepted.
    return {false, connection.ReadLn()};
  }
}

TTorControl::TTorControl(const std::string& TorDLLFolder, const TBridgeSettings& Bridges)
    : FTorDLLFolder(TorDLLFolder), FTorThread(nullptr), FRunning(false) {
  // The thread frees itself when its body ends; the engine is loaded from
  // now on, whether or not anonymity is switched on.
  FTorThread = new TTorThread(FTorDLLFolder, Bridges);
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
    const TExchange exchange = Exchange("GETINFO status/bootstrap-phase", kSource);
    // A refused AUTHENTICATE is logged and the command's own reply still
    // decides: an engine that refuses answers the command with an error.
    if (const std::optional<int> value = ProgressValue(exchange.Reply)) {
      result = *value;
      TBootstrapPhase phase = ParseBootstrapPhase(exchange.Reply);
      if (phase.IsProblem() && !FLastPhase.IsProblem()) {
        LogMessage("Bootstrap problem: " + phase.ProblemText(), kSource);
      }
      FLastPhase = std::move(phase);
    } else {
      LogMessage("Invalid GETINFO status/bootstrap-phase reply = " + exchange.Reply, kSource);
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
    const TExchange exchange = Exchange("SIGNAL NEWNYM", kSource);
    if (exchange.Reply == kSuccessReply) {
      result = true;
    } else {
      LogMessage("SIGNAL NEWNYM reply = " + exchange.Reply, kSource);
    }
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
  }
  return result;
}

TBootstrapPhase TTorControl::LastBootstrapPhase() const { return FLastPhase; }

bool TTorControl::ApplyBridges(const TBridgeSettings& Bridges) {
  static const char kSource[] = "TTorControl.ApplyBridges";
  const bool written = WriteBridgeDefaults(FTorDLLFolder, Bridges);
  bool applied = false;
  try {
    const std::string reply =
        Exchange(BridgeSetconfCommand(Bridges, Obfs4ProxyPath(FTorDLLFolder)), kSource).Reply;
    if (reply == kSuccessReply) {
      applied = true;
      // The engine starts over towards the new first hop.
      FLastPhase = TBootstrapPhase{};
    } else {
      LogMessage("SETCONF reply = " + reply, kSource);
    }
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
  }
  return written && applied;
}

TBridgeCheck ChangeBridges(TEngineControl& Engine, bool Enabled, TBridgeSource Source,
                           std::string_view CustomText, const std::string& OptionsFile) {
  TBridgeCheck check;
  try {
    check = SaveBridgeSettings(Enabled, Source, CustomText, OptionsFile);
  } catch (const std::exception& error) {
    // Not stored: the engine keeps what it has.
    LogMessage(ExceptionLogText(error), "ChangeBridges");
    throw;
  }
  if (check.Ok()) Engine.ApplyBridges(LoadBridgeSettings(OptionsFile));
  return check;
}
