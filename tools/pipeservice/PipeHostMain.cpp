// pipehost: a console host for the pipe client and the address lookup. It
// answers the service's status queries with a fixed state, runs the window
// thread's message loop for the synchronized calls, and ends once the
// service has closed the pipe and the lookup (if any) has ended.
//   pipehost [--pipe NAME] [--event NAME] [--state ready|notready]
//            [--lookup URL] [--lookup-delay MS] [--log-folder DIR] [--timeout S]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/RefreshIPThread.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "pipe/PipeClient.h"
#include "platform/Files.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: pipehost [--pipe NAME] [--event NAME] [--state ready|notready] "
               "[--lookup URL] [--lookup-delay MS] [--log-folder DIR] [--timeout S]\n");
  return 2;
}

// Answers every status query of a block in order; other commands, payloads
// and a tail shorter than a header are skipped.
void AnswerQueries(TPipeClient& client, std::uint8_t state, const void* data, std::uint32_t size) {
  const int answered = AnswerStatusQueries(data, size, state, [&](std::uint8_t answer) {
    return client.SendToServer(answer, nullptr, 0);
  });
  std::printf("pipehost: block of %u bytes, %d queries answered %s\n", size, answered,
              state == StatusReady ? "StatusReady" : "StatusNotReady");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::string pipe_name = kServicePipeName;
  std::string event_name = kServiceStartEventName;
  std::uint8_t state = StatusNotReady;
  std::string lookup_url;
  int lookup_delay_ms = kIPLookupDelayMs;
  std::string log_folder;
  int timeout_s = 120;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--pipe" && has_value) {
      pipe_name = argv[++i];
    } else if (arg == "--event" && has_value) {
      event_name = argv[++i];
    } else if (arg == "--state" && has_value) {
      state = std::string(argv[++i]) == "ready" ? StatusReady : StatusNotReady;
    } else if (arg == "--lookup" && has_value) {
      lookup_url = argv[++i];
    } else if (arg == "--lookup-delay" && has_value) {
      lookup_delay_ms = std::atoi(argv[++i]);
    } else if (arg == "--log-folder" && has_value) {
      log_folder = argv[++i];
    } else if (arg == "--timeout" && has_value) {
      timeout_s = std::atoi(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (!log_folder.empty()) {
    platform::ForceDirectories(log_folder);
    InitAppFolders(platform::IncludeTrailingDelimiter(log_folder));
    InitLog(true);
  }
  platform::AttachSynchronizedCallsToMessageLoop();

  auto client = std::make_unique<TPipeClient>(pipe_name, event_name);
  client->SetOnConnected([] { std::printf("pipehost: connected to the service\n"); });
  TPipeClient* answering = client.get();
  client->SetOnResponse([answering, state](const void* data, std::uint32_t size) {
    AnswerQueries(*answering, state, data, size);
  });
  client->Start();
  std::printf("pipehost: waiting for \"%s\"\n", pipe_name.c_str());

  if (!lookup_url.empty()) {
    std::printf("pipehost: looking up the external address in %d ms\n", lookup_delay_ms);
    new TRefreshIPThread(
        [](const std::string& ip) { std::printf("pipehost: external address: %s\n", ip.c_str()); },
        TIPLookupSettings{lookup_delay_ms, lookup_url});
  }

  // Ends the loop once the client has stopped and no lookup is left.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!done) {
      if (client->Finished() && RunningIPLookups() == 0) {
        platform::QuitMessageLoop(0);
        return;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        std::printf("pipehost: timed out\n");
        platform::QuitMessageLoop(3);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const int code = platform::RunMessageLoop();
  done = true;
  watcher.join();
  client.reset();
  platform::DetachSynchronizedCallsFromMessageLoop();
  std::printf("pipehost: ended\n");
  if (!log_folder.empty()) {
    const auto log = platform::ReadWholeFile(LogFileName());
    std::printf("-- log %s:\n%s", LogFileName().c_str(), log ? log->c_str() : "(none)\n");
  }
  return code;
}
