// pipeservice: the companion-service stand-in. Owns the pipe and the start
// event, sends blocks of status queries and prints every answer.
//   pipeservice [--pipe NAME] [--event NAME] [--blocks 1,3,2] [--empty-block]
//               [--interval MS] [--wait MS] [--until-ready]
// With --until-ready it goes on asking, one query per interval, until an
// answer says ready or the wait is over.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/Logger.h"
#include "pipe/PipeClient.h"
#include "pipe/PipeServer.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: pipeservice [--pipe NAME] [--event NAME] [--blocks N,N,...] "
               "[--empty-block] [--interval MS] [--wait MS] [--until-ready]\n");
  return 2;
}

std::vector<int> ParseBlocks(const std::string& text) {
  std::vector<int> blocks;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    const int count = std::atoi(item.c_str());
    if (count > 0 && count <= 2048) blocks.push_back(count);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return blocks;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::string pipe_name = kServicePipeName;
  std::string event_name = kServiceStartEventName;
  std::vector<int> blocks = {1, 3};
  bool empty_block = false;
  bool until_ready = false;
  int interval_ms = 500;
  int wait_ms = 60000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--pipe" && has_value) {
      pipe_name = argv[++i];
    } else if (arg == "--event" && has_value) {
      event_name = argv[++i];
    } else if (arg == "--blocks" && has_value) {
      blocks = ParseBlocks(argv[++i]);
    } else if (arg == "--empty-block") {
      empty_block = true;
    } else if (arg == "--until-ready") {
      until_ready = true;
    } else if (arg == "--interval" && has_value) {
      interval_ms = std::atoi(argv[++i]);
    } else if (arg == "--wait" && has_value) {
      wait_ms = std::atoi(argv[++i]);
    } else {
      return Usage();
    }
  }

  TPipeServer service(pipe_name, event_name);
  if (const std::uint32_t error = service.Create()) {
    std::printf("pipeservice: cannot create the pipe or event: %s\n", SysErrorText(error).c_str());
    return 2;
  }
  service.SignalStart();
  std::printf("pipeservice: pipe \"%s\" created, start event \"%s\" set\n", pipe_name.c_str(),
              event_name.c_str());
  if (const std::uint32_t error = service.WaitForClient(wait_ms)) {
    std::printf("pipeservice: no client: %s\n", SysErrorText(error).c_str());
    return 1;
  }
  std::printf("pipeservice: client connected\n");

  if (empty_block) {
    service.SendBlock("");
    std::printf("empty block sent\n");
  }
  int missing = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (b > 0 || empty_block) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    std::printf("block %zu: %d StatusQuery\n", b + 1, blocks[b]);
    if (const std::uint32_t error = service.SendQueries(blocks[b])) {
      std::printf("pipeservice: write failed: %s\n", SysErrorText(error).c_str());
      return 1;
    }
    std::vector<TPipeRecord> answers;
    const std::uint32_t error =
        service.ReadRecords(static_cast<std::size_t>(blocks[b]), 10000, answers);
    for (const TPipeRecord& answer : answers) {
      std::printf("  answer: %s\n", PipeCommandName(answer.Command).c_str());
    }
    if (error != 0) {
      std::printf("pipeservice: %zu of %d answers: %s\n", answers.size(), blocks[b],
                  SysErrorText(error).c_str());
      missing += blocks[b] - static_cast<int>(answers.size());
    }
  }
  if (until_ready) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
      if (service.SendQueries(1) != 0) break;
      std::vector<TPipeRecord> answers;
      if (service.ReadRecords(1, 10000, answers) != 0) break;
      std::printf("  answer: %s\n", PipeCommandName(answers[0].Command).c_str());
      ready = answers[0].Command == StatusReady;
    }
    if (!ready) {
      std::printf("pipeservice: never ready\n");
      ++missing;
    }
  }
  std::printf("pipeservice: closing the pipe\n");
  service.ClosePipe();
  return missing == 0 ? 0 : 1;
}
