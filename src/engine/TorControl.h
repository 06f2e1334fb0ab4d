// The anonymity engine: the thread that hosts the engine library, and the
// controller that asks the running engine for its bootstrap progress and for
// new circuits over its local control port.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

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
inline constexpr char kEngineHost[] = "127.0.0.1";
inline constexpr std::uint16_t kEngineSocksPort = 35491;
inline constexpr std::uint16_t kEngineControlPort = 35490;
inline constexpr std::size_t kMaxControlLine = 16384;
// A stalled engine must not hold the window thread for good.
inline constexpr int kControlConnectTimeoutMs = 5000;
inline constexpr int kControlReadTimeoutMs = 5000;

// The five lines of a first-time settings file for `DLLFolder` (which ends
// with a separator), UTF-8, each ended by CR LF.
std::string EngineSettingsText(const std::string& DLLFolder);

// Hosts the engine library: writes its settings file on the first run in the
// engine folder, loads "anon.dll" and stays inside its dll_start for as long
// as the engine runs. Starts at construction and always frees itself when its
// body ends (the creator keeps no use for it).
class TTorThread : public TThread {
 public:
  explicit TTorThread(const std::string& DLLFolder);
  ~TTorThread() override;

  // How many host threads exist right now (for tests and the console stub,
  // which must know when a self-freeing thread is gone).
  static int InstanceCount() { return FInstanceCount.load(); }

 protected:
  void Execute() override;

 private:
  std::string FDLLFolder;
  platform::ModuleHandle TorDLL = 0;

  static std::atomic<int> FInstanceCount;
};

// The program's one handle on the engine. The constructor starts the host
// thread; the two questions answer only while anonymity is on (StartTor) and
// never raise: failures are logged and give 0 or false.
class TTorControl {
 public:
  explicit TTorControl(const std::string& TorDLLFolder);
  ~TTorControl();
  TTorControl(const TTorControl&) = delete;
  TTorControl& operator=(const TTorControl&) = delete;

  void StartTor();
  void StopTor();
  // The engine's bootstrap progress in percent, passed on unchanged; 0 when
  // anonymity is off and on every failure.
  int GetProgressStatus();
  // True only when the engine answered "250 OK" to the request for new
  // circuits.
  bool SendNewNym();

 private:
  std::string FTorDLLFolder;
  TTorThread* FTorThread;  // frees itself; never touched after creation
  bool FRunning;
};
