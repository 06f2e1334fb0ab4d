// Requests from outside that a program without windows end: the user's
// session ending, and the system's polite ways of asking a process to stop.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Calls `handler` with a short reason when the process is asked to end:
//  - Windows: WM_ENDSESSION (the session ends; WM_QUERYENDSESSION is
//    answered yes) and WM_CLOSE to a hidden top-level window of its own
//    (a message-only window gets no broadcasts), and the console's control
//    events (Ctrl+C, Ctrl+Break, close, logoff, shutdown);
//  - POSIX: SIGTERM, SIGINT and SIGHUP.
// The handler runs on a thread of the watcher's own; where the system waits
// for an answer (WM_ENDSESSION, the console's events), it gets it only after
// the handler has returned, so a handler that finishes its work before
// returning finishes it before the session goes. False when nothing could
// be set up. One watcher per process.
bool WatchStopRequests(std::function<void(const std::string& reason)> handler);

// Stops watching; the handler is not called after this returns.
void StopWatchingStopRequests();

}  // namespace platform
