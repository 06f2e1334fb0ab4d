// The window thread's message loop and the synchronized call. Workers queue
// calls with platform::SynchronizedCall (Thread.h); on Windows the loop is
// woken by a message to a hidden message-only window and pumps the queue in
// that window's procedure, so the calls also run inside modal loops (message
// boxes, dialogs). Without a window system the loop waits on the same queue.
#pragma once

namespace platform {

// Makes the calling thread's message loop serve synchronized calls: installs
// the wake-up (SetSynchronizedCallWakeUp) and runs the calls already waiting
// as soon as the loop runs. Call it on the window thread. False when the
// hidden window could not be made (the queue then stays headless).
bool AttachSynchronizedCallsToMessageLoop();
// Removes the wake-up; waiting calls are left for PumpSynchronizedCalls.
void DetachSynchronizedCallsFromMessageLoop();

// Runs the window thread's message loop until QuitMessageLoop; returns its
// exit code. Synchronized calls are served while it runs.
int RunMessageLoop();

// Ends RunMessageLoop with `exit_code`; may be called from any thread.
void QuitMessageLoop(int exit_code);

}  // namespace platform
