// The anonymity engine: the thread that hosts the engine library, and the
// controller that asks the running engine for its bootstrap progress and for
// new circuits over its local control port.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/BridgeSettings.h"
#include "platform/DynamicLibrary.h"
#include "platform/Thread.h"

// Failures of the control connection. Workers catch them and log
// "<class> : <message>", so the class names are part of the log's wording.
class ENetworkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A system error of the socket layer (refused, reset, unreachable...).
class ESocketError : public ENetworkError {
 public:
  explicit ESocketError(std::uint32_t Code);
  std::uint32_t Code() const { return FCode; }

 private:
  std::uint32_t FCode;
};

// The engine did not accept the connection, or did not answer, in time.
class ESocketTimeout : public ENetworkError {
 public:
  using ENetworkError::ENetworkError;
};

// The engine closed the connection before a whole line arrived.
class EConnectionClosed : public ENetworkError {
 public:
  EConnectionClosed() : ENetworkError("Connection closed by the engine") {}
};

// A reply line longer than the client accepts.
class ELineTooLong : public ENetworkError {
 public:
  ELineTooLong();
};

// The engine's settings file could not be written.
class ESettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fixed values shared by the settings file and the control client.
inline constexpr std::size_t kMaxControlLine = 16384;
// A stalled engine must not hold the window thread for good: one deadline
// for the whole exchange, connect and every reply line together.
inline constexpr int kControlExchangeTimeoutMs = 5000;
// What is still buffered when a connection closes is dropped, up to this
// much; the rest goes with the connection.
inline constexpr std::size_t kMaxDiscardedInput = 65536;
// The settings file is read for its authentication settings up to this size.
inline constexpr std::size_t kMaxSettingsFileSize = 1 << 20;

// The six lines of a first-time settings file for `DLLFolder` (which ends
// with a separator), UTF-8, each ended by CR LF. The control port asks for
// the cookie the engine writes into its data directory.
std::string EngineSettingsText(const std::string& DLLFolder);

// Reply lines as they arrive on the control port: bytes above 7 bits become
// '?', a line ends at LF with a CR before it removed. TakeLine raises
// ELineTooLong for a line longer than kMaxControlLine, also before its end
// has arrived.
class TControlLineBuffer {
 public:
  void Append(const char* Bytes, std::size_t Count);
  // The next whole line, or nothing until more bytes arrive.
  std::optional<std::string> TakeLine();
  std::size_t Pending() const { return FBuffer.size() - FStart; }

 private:
  std::string FBuffer;
  std::size_t FStart = 0;     // where the unread part begins
  std::size_t FSearched = 0;  // how far a line end has been looked for
};

// The whole number after the first "PROGRESS=", up to the next blank; nothing
// when the key, the blank or the number is missing.
std::optional<int> ProgressValue(const std::string& Reply);

// The engine's last bootstrap status, as "status/bootstrap-phase" gives it:
//   NOTICE BOOTSTRAP PROGRESS=50 TAG=loading_descriptors SUMMARY="..."
//   WARN BOOTSTRAP PROGRESS=5 TAG=conn ... WARNING="..." REASON=NOROUTE
//        COUNT=3 RECOMMENDATION=warn HOSTADDR=...
// Fields may come in any order; values may be quoted with escapes inside.
struct TBootstrapPhase {
  std::string Severity;  // "NOTICE", "WARN", "ERR"; empty when unreadable
  std::optional<int> Progress;
  std::string Tag;
  std::string Summary;
  std::string Warning;
  std::string Reason;
  int Count = 0;
  std::string Recommendation;

  // The engine reports a problem on its way (it keeps trying).
  bool IsProblem() const { return Severity == "WARN" || Severity == "ERR"; }
  // "Reason, warning (count)" for the log.
  std::string ProblemText() const;
};

// Reads a reply line ("250-status/bootstrap-phase=..." or the bare value).
// Unknown keys are skipped; a broken quoted value ends the reading there.
TBootstrapPhase ParseBootstrapPhase(const std::string& Reply);

// The first line a control connection sends for the engine folder's settings
// file: "AUTHENTICATE" with the cookie's bytes in hexadecimal when the
// settings ask for cookie authentication, "AUTHENTICATE" alone otherwise.
// A cookie that cannot be used is logged with `Source` and the line goes
// without it (the engine then refuses, which is logged as its reply).
std::string AuthenticateCommand(const std::string& DLLFolder, const std::string& Source);

// Hosts the engine library: writes its settings file on the first run in the
// engine folder, writes the bridges' defaults file (every run), loads
// "anon.dll" and stays inside its dll_start for as long as the engine runs.
// With bridges on and a defaults file that cannot be written, the engine is
// not loaded: it would reach out without them. Starts at construction and
// always frees itself when its body ends (the creator keeps no use for it).
class TTorThread : public TThread {
 public:
  explicit TTorThread(const std::string& DLLFolder, TBridgeSettings Bridges = {});
  ~TTorThread() override;

  // How many host threads exist right now (for tests and the console stub,
  // which must know when a self-freeing thread is gone).
  static int InstanceCount() { return FInstanceCount.load(); }

 protected:
  void Execute() override;

 private:
  std::string FDLLFolder;
  TBridgeSettings FBridges;
  platform::ModuleHandle TorDLL = 0;

  static std::atomic<int> FInstanceCount;
};

// What the anonymity controller asks of the engine controller (tests put a
// scripted engine in its place).
class TEngineControl {
 public:
  virtual ~TEngineControl() = default;
  virtual void StartTor() = 0;
  virtual void StopTor() = 0;
  // The engine's bootstrap progress in percent; 0 when anonymity is off and
  // on every failure. Never raises.
  virtual int GetProgressStatus() = 0;
  // True when the engine accepted the request for new circuits. Never raises.
  virtual bool SendNewNym() = 0;
  // The engine's last bootstrap status, as read by GetProgressStatus.
  virtual TBootstrapPhase LastBootstrapPhase() const { return {}; }
  // Brings the engine to new bridge settings: the defaults file for the next
  // start, and the running engine at once. True when both took. Never raises.
  virtual bool ApplyBridges(const TBridgeSettings& Bridges) {
    (void)Bridges;
    return false;
  }
};

// Checks and stores the user's bridge choice and, when every line passed,
// hands it to `Engine`; a refused text changes nothing, neither the options
// nor the engine. The check tells the caller what was wrong.
TBridgeCheck ChangeBridges(TEngineControl& Engine, bool Enabled, TBridgeSource Source,
                           std::string_view CustomText, const std::string& OptionsFile = "");

// The program's one handle on the engine. The constructor starts the host
// thread; the two questions answer only while anonymity is on (StartTor) and
// never raise: failures are logged and give 0 or false.
class TTorControl : public TEngineControl {
 public:
  // `Bridges` are in force from the engine's start (the defaults file is
  // written before the library loads).
  explicit TTorControl(const std::string& TorDLLFolder, const TBridgeSettings& Bridges = {});
  ~TTorControl() override;
  TTorControl(const TTorControl&) = delete;
  TTorControl& operator=(const TTorControl&) = delete;

  void StartTor() override;
  void StopTor() override;
  // The engine's bootstrap progress in percent, passed on unchanged; 0 when
  // anonymity is off, when the engine refused the authentication and on
  // every failure.
  int GetProgressStatus() override;
  // True only when the engine accepted the authentication and answered
  // "250 OK" to the request for new circuits.
  bool SendNewNym() override;
  TBootstrapPhase LastBootstrapPhase() const override;
  // Writes the defaults file and sends SETCONF whether or not anonymity is
  // on: the engine runs either way. True only on "250 OK".
  bool ApplyBridges(const TBridgeSettings& Bridges) override;

 private:
  struct TExchange {
    bool Authenticated;  // the engine answered AUTHENTICATE with "250 OK"
    std::string Reply;   // the first line of the command's reply
  };
  // Connects, sends AUTHENTICATE and `Command` together and reads both
  // replies. A refused AUTHENTICATE is logged; when its line was the one
  // kept from earlier, the settings and cookie are read again and, if that
  // gives another line, the exchange is tried once more. Network errors
  // raise.
  TExchange Exchange(const std::string& Command, const std::string& Source);
  // The kept AUTHENTICATE line, or one read now (and kept when it lasts).
  std::string AuthLine(const std::string& Source, bool& FromCache);
  void ForgetAuthLine(const std::string& Refused);

  std::string FTorDLLFolder;
  TBootstrapPhase FLastPhase;
  TTorThread* FTorThread;  // frees itself; never touched after creation
  bool FRunning;
  // The AUTHENTICATE line as the settings and the engine's cookie gave it,
  // read on the first exchange after the engine listens and kept until the
  // engine refuses it (an engine started anew writes a new cookie).
  std::mutex FAuthLock;
  std::string FAuthLine;
};
