#include "service/StatusServer.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "base/Logger.h"
#include "platform/Pipe.h"

namespace {

const char kSource[] = "StatusServer";
// Queries sent without an answer: no more are sent until one comes.
constexpr std::size_t kMaxOutstanding = 8;
// Unknown commands logged per client; the rest are counted silently.
constexpr int kMaxUnknownTold = 5;
// How long one wait for a client or for bytes lasts, so that a stop
// request is seen soon.
constexpr int kSliceMs = 100;
// A query that cannot be written within this is given up.
constexpr int kQueryWriteMs = 1000;

void Log(const std::string& Message) { LogMessage(Message, kSource); }

int MsUntil(std::chrono::steady_clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      when - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TStatusServer::TStatusServer(TStatusServerOptions Options, TActivationPolicy& Policy)
    : FOptions(std::move(Options)),
      FPolicy(Policy),
      FServer(FOptions.PipeName, FOptions.StartEventName) {}

std::uint32_t TStatusServer::Open() { return FServer.Create(); }

void TStatusServer::Run() {
  if (const std::uint32_t error = FServer.SignalStart())
    Log("Cannot set the start event: " + SysErrorText(error));
  Log("Listening on the pipe");
  while (!FStop) {
    if (FServer.Connected()) {
      Serve();
      continue;
    }
    WatchLeftClient();
    const std::uint32_t error = FServer.WaitForClient(kSliceMs);
    if (error == platform::PipeTimedOut()) continue;
    if (error != 0) {
      // A client that came and went before it was taken, or worse: start
      // the wait afresh.
      Log("Waiting for Nimbra failed: " + SysErrorText(error));
      FServer.Disconnect();
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    Connected();
  }
  if (FServer.Connected()) FServer.Disconnect();
  FServer.ResetStart();
}

void TStatusServer::Connected() {
  const std::uint32_t pid = FServer.ClientProcessId();
  FWatch.Close();
  FWatchingLeftClient = false;
  if (pid == 0) {
    Log("Nimbra connected; its process is not known");
  } else if (const std::uint32_t error = FWatch.Open(pid)) {
    Log("Nimbra connected as process " + std::to_string(pid) +
        ", which cannot be watched: " + SysErrorText(error));
  } else {
    Log("Nimbra connected as process " + std::to_string(pid));
  }
  FOutstanding.clear();
  FNextQuery = TClock::now();
  FMissingTold = false;
  FWriteFailureTold = false;
  FUnknownTold = 0;
  FPolicy.OnClientConnected();
}

void TStatusServer::Serve() {
  const auto now = TClock::now();
  if (now >= FNextQuery) {
    FNextQuery += std::chrono::milliseconds(FOptions.QueryIntervalMs);
    if (FNextQuery < now) FNextQuery = now + std::chrono::milliseconds(FOptions.QueryIntervalMs);
    if (FOutstanding.size() < kMaxOutstanding) {
      const std::uint32_t error = FServer.SendBlock(EncodePipeRecord(StatusQuery), kQueryWriteMs);
      if (error == platform::PipeBroken()) {
        ClientGone("Nimbra closed the pipe");
        return;
      }
      if (error == 0) {
        FOutstanding.push_back(now);
        FWriteFailureTold = false;
      } else if (!FWriteFailureTold) {
        Log("Cannot write a status query: " + SysErrorText(error));
        FWriteFailureTold = true;
      }
    }
  }

  std::vector<TPipeRecord> records;
  bool malformed = false;
  const int wait = std::min(MsUntil(FNextQuery), kSliceMs);
  const std::uint32_t error = FServer.Receive(wait, FOptions.MaxPayload, records, malformed);
  for (const TPipeRecord& record : records) {
    if (record.Command != StatusReady && record.Command != StatusNotReady) {
      if (FUnknownTold < kMaxUnknownTold) {
        Log("Ignored " + PipeCommandName(record.Command) + " with " +
            std::to_string(record.Payload.size()) + " bytes from Nimbra");
      } else if (FUnknownTold == kMaxUnknownTold) {
        Log("Further unknown records from this client are ignored without a word");
      }
      ++FUnknownTold;
      continue;
    }
    if (!FOutstanding.empty()) FOutstanding.pop_front();
    if (FMissingTold) Log("Nimbra answers again");
    FMissingTold = false;
    FPolicy.OnAnswer(record.Command);
  }
  if (malformed) {
    Log("A record from Nimbra is longer than " + std::to_string(FOptions.MaxPayload) +
        " bytes: the client is dropped");
    ClientGone("Dropped", true);
    return;
  }
  if (error == platform::PipeBroken()) {
    ClientGone("Nimbra closed the pipe");
    return;
  }
  if (error != 0) {
    ClientGone("Reading from Nimbra failed: " + SysErrorText(error));
    return;
  }
  if (!FOutstanding.empty() && !FMissingTold &&
      TClock::now() - FOutstanding.front() > std::chrono::milliseconds(FOptions.AnswerTimeoutMs)) {
    Log("No answer within " + std::to_string(FOptions.AnswerTimeoutMs) +
        " ms: counted as not ready");
    FMissingTold = true;
    FPolicy.OnAnswerMissing();
  }
}

void TStatusServer::ClientGone(const std::string& Why, bool Dropped) {
  FServer.Disconnect();
  FOutstanding.clear();
  // Not ready from this moment, while it is found out how the client ended.
  FPolicy.OnClientLeaving();
  if (Dropped && FWatch.IsOpen()) {
    FWatchingLeftClient = true;
    FPolicy.OnClientGone(TClientEnd::StillRunning);
    return;
  }
  if (!FWatch.IsOpen()) {
    Log(Why + "; how its process ended cannot be known: counted as abnormal");
    FPolicy.OnClientGone(TClientEnd::Abnormal);
    return;
  }
  // Nimbra closes the pipe as it ends: give it a moment to be gone.
  const auto until = TClock::now() + std::chrono::milliseconds(FOptions.ExitWaitMs);
  bool ended = false;
  while (!(ended = FWatch.WaitForExit(kSliceMs)) && !FStop && TClock::now() < until) {
  }
  if (!ended) {
    Log(Why + "; its process " + std::to_string(FWatch.Pid()) + " runs on");
    FWatchingLeftClient = true;
    FPolicy.OnClientGone(TClientEnd::StillRunning);
    return;
  }
  const std::int64_t code = FWatch.ExitCode();
  FWatch.Close();
  if (code == 0) {
    Log(Why + "; it has ended normally");
    FPolicy.OnClientGone(TClientEnd::Normal);
  } else {
    Log(Why + "; it has ended " +
        (code < 0 ? std::string("without an exit code (killed or crashed)")
                  : "with exit code " + std::to_string(code)));
    FPolicy.OnClientGone(TClientEnd::Abnormal);
  }
}

void TStatusServer::WatchLeftClient() {
  if (!FWatchingLeftClient || !FWatch.WaitForExit(0)) return;
  FWatchingLeftClient = false;
  const std::int64_t code = FWatch.ExitCode();
  const std::uint32_t pid = FWatch.Pid();
  FWatch.Close();
  if (code == 0) {
    Log("Nimbra's process " + std::to_string(pid) + ", which had left the pipe, ended normally");
    FPolicy.OnClientGone(TClientEnd::Normal);
  } else {
    Log("Nimbra's process " + std::to_string(pid) + ", which had left the pipe, ended abnormally");
    FPolicy.OnClientGone(TClientEnd::Abnormal);
  }
}
