// One bootstrap-progress poll of the control client against the simulated
// engine, beside a bare loopback exchange (connect, send a line, receive a
// line, close). The ratio is what the control exchange (authentication, the
// command, line reading, the engine's answer) costs over the socket itself.
//
// The simulated engine is found beside this program's build folder
// (../tools/simengine/anon.dll) or at NIMBRA_SIMENGINE_DLL; it uses the
// engine's fixed ports, so run no engine tests at the same time.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "base/Endpoints.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"

namespace {

constexpr int kIterations = 2000;  // each one leaves a socket in TIME_WAIT

std::string SimulatedEngineLibrary() {
  const std::string named = platform::EnvironmentValue("NIMBRA_SIMENGINE_DLL");
  if (!named.empty()) return named;
  return platform::ExtractFilePath(platform::ExecutablePath()) + "../tools/simengine/anon.dll";
}

// The simulated engine hosted as the program hosts it, ready at 100 percent.
class EngineRun {
 public:
  EngineRun() {
    folder_ = std::filesystem::temp_directory_path() /
              ("nimbra-bench-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder_);
    const auto library = platform::ReadWholeFile(SimulatedEngineLibrary());
    if (!library) {
      std::fprintf(stderr, "no simulated engine at %s\n", SimulatedEngineLibrary().c_str());
      return;
    }
    platform::WriteNewFile((folder_ / "anon.dll").string(), *library);
    platform::SetEnvironmentValue("NIMBRA_SIMENGINE_BOOTSTRAP_MS", "0");
    control_ = std::make_unique<TTorControl>(folder_.string());
    control_->StartTor();
    for (int i = 0; i < 500 && control_->GetProgressStatus() != 100; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  ~EngineRun() {
    platform::TcpSocket socket;
    if (socket.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, 2000) == 0) {
      // The first-start settings ask for the cookie in the data directory.
      socket.SendAll(AuthenticateCommand(folder_.string(), "TorControlBench") +
                     "\r\nSIGNAL HALT\r\n");
      std::string ignored;
      while (socket.Receive(ignored, 4096, 2000) == 0 && !ignored.empty()) ignored.clear();
    }
    for (int i = 0; i < 500 && TTorThread::InstanceCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TTorControl* Control() { return control_.get(); }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<TTorControl> control_;
};

// A loopback server that answers one line per connection with "250 OK".
class LineServer {
 public:
  LineServer() {
    listener_.Listen("127.0.0.1", 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        platform::TcpSocket peer;
        if (listener_.Accept(peer, 100) != 0) continue;
        std::string line;
        while (line.find('\n') == std::string::npos) {
          const std::size_t before = line.size();
          if (peer.Receive(line, 4096, 2000) != 0 || line.size() == before) break;
        }
        peer.SendAll("250 OK\r\n");
        std::string rest;  // the client closes first
        while (peer.Receive(rest, 4096, 2000) == 0 && !rest.empty()) rest.clear();
      }
    });
  }
  ~LineServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }

 private:
  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool BareExchange(std::uint16_t port) {
  platform::TcpSocket socket;
  if (socket.Connect("127.0.0.1", port, 5000) != 0) return false;
  if (socket.SendAll("GETINFO status/bootstrap-phase\r\n") != 0) return false;
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    const std::size_t before = reply.size();
    if (socket.Receive(reply, 4096, 5000) != 0 || reply.size() == before) return false;
  }
  return true;
}

EngineRun& Engine() {
  static EngineRun run;
  return run;
}

LineServer& Server() {
  // The engine's fixed control port lies in the range the system picks free
  // ports from: the engine takes it before the loopback server (or a bare
  // exchange's end, which lingers after it closes) can.
  Engine();
  static LineServer server;
  return server;
}

void BM_BareLoopbackExchange(benchmark::State& state) {
  const std::uint16_t port = Server().Port();
  for (auto _ : state) {
    if (!BareExchange(port)) state.SkipWithError("loopback exchange failed");
  }
}
BENCHMARK(BM_BareLoopbackExchange)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

void BM_GetProgressStatus(benchmark::State& state) {
  TTorControl* control = Engine().Control();
  if (control == nullptr) {
    state.SkipWithError("no simulated engine");
    return;
  }
  for (auto _ : state) {
    if (control->GetProgressStatus() != 100) state.SkipWithError("the engine did not answer");
  }
}
BENCHMARK(BM_GetProgressStatus)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

// Both, interleaved so that they meet the same machine load; the counter
// "ratio" is the poll's time over the bare exchange's (the aim: at most 1.3).
void BM_ProgressPollOverBareExchange(benchmark::State& state) {
  TTorControl* control = Engine().Control();
  if (control == nullptr) {
    state.SkipWithError("no simulated engine");
    return;
  }
  const std::uint16_t port = Server().Port();
  using Clock = std::chrono::steady_clock;
  Clock::duration poll{};
  Clock::duration bare{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(control->GetProgressStatus());
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(BareExchange(port));
    const auto t2 = Clock::now();
    poll += t1 - t0;
    bare += t2 - t1;
  }
  // Per exchange, in microseconds, beside their ratio: one line of the
  // report says all three.
  const double n = static_cast<double>(state.iterations());
  state.counters["poll_us"] = std::chrono::duration<double, std::micro>(poll).count() / n;
  state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bare).count() / n;
  state.counters["ratio"] = bare.count() > 0 ? static_cast<double>(poll.count()) / bare.count() : 0;
}
BENCHMARK(BM_ProgressPollOverBareExchange)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

}  // namespace
