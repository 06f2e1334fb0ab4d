// A scripted Nimbra for the service's tests: opens the service's pipe as
// Nimbra does and answers each status query with its current state, and
// follows the commands a test appends to a file, one a line, in order:
//   ready | notready | silent   answer 1, answer 2, or stop answering
//   garbage                     send records of commands nobody knows
//   huge                        send a record header claiming ~4 GiB
//   close                       close the pipe and stay running
//   exit N                      close the pipe and return N from main
// It writes "connected" and then every answer it sent ("answered 1") to its
// report file, one a line, so that a test can wait for it.
//   nimbra_pipe_peer PIPE COMMAND_FILE REPORT_FILE
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe/PipeProtocol.h"
#include "platform/Files.h"
#include "platform/Pipe.h"

namespace {

void Report(const std::string& path, const std::string& line) {
  platform::AppendToFile(path, line + "\n");
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  const auto text = platform::ReadWholeFile(path);
  if (!text) return lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: nimbra_pipe_peer PIPE COMMAND_FILE REPORT_FILE\n");
    return 2;
  }
  const std::string pipe_name = argv[1];
  const std::string commands = argv[2];
  const std::string report = argv[3];

  platform::PipeClientEnd pipe;
  for (int tries = 0;; ++tries) {
    if (pipe.Open(pipe_name) == 0) break;
    if (tries > 600) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Report(report, "connected");

  std::atomic<std::uint8_t> state{0};  // 0: silent
  std::atomic<bool> closing{false};
  std::mutex write_mutex;
  auto send = [&](const std::string& bytes) {
    std::lock_guard<std::mutex> lock(write_mutex);
    return pipe.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 5000) == 0;
  };
  // The reading thread answers every query with the state of the moment.
  std::thread reader([&] {
    std::array<std::uint8_t, kPipeBufferSize> buffer{};
    for (;;) {
      std::uint32_t count = 0;
      std::uint32_t error = pipe.BeginRead(buffer.data(), kPipeBufferSize, count);
      if (error == platform::PipeIoPending()) error = pipe.FinishRead(count);
      if (error != 0) {
        // Not asked to close itself: the service dropped it (the error
        // differs: broken pipe, or on Windows not connected after the
        // server's disconnect).
        Report(report, closing ? "read ended" : "service closed the pipe");
        return;
      }
      std::string bytes(reinterpret_cast<const char*>(buffer.data()), count);
      for (const TPipeRecord& record : TakePipeRecords(bytes)) {
        const std::uint8_t answer = state;
        if (record.Command != StatusQuery || answer == 0) continue;
        if (send(EncodePipeRecord(answer))) Report(report, "answered " + std::to_string(answer));
      }
    }
  });
  auto close = [&] {
    closing = true;
    pipe.Interrupt();
    if (reader.joinable()) reader.join();
    pipe.Close();
  };

  std::size_t done = 0;
  for (;;) {
    const std::vector<std::string> lines = Lines(commands);
    for (; done < lines.size(); ++done) {
      const std::string& command = lines[done];
      if (command == "ready") {
        state = StatusReady;
      } else if (command == "notready") {
        state = StatusNotReady;
      } else if (command == "silent") {
        state = 0;
      } else if (command == "garbage") {
        std::string bytes;
        for (int i = 0; i < 50; ++i)
          bytes += EncodePipeRecord(static_cast<std::uint8_t>(100 + i), "x");
        send(bytes);
        Report(report, "sent garbage");
      } else if (command == "huge") {
        const unsigned char header[] = {0xF0, 0xFF, 0xFF, 0xFF, StatusReady, 'a', 'b'};
        send(std::string(reinterpret_cast<const char*>(header), sizeof header));
        Report(report, "sent huge");
      } else if (command == "close") {
        close();
        Report(report, "closed");
      } else if (command.rfind("exit ", 0) == 0) {
        close();
        Report(report, "exiting");
        return std::atoi(command.c_str() + 5);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
