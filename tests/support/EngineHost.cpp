// A host for the engine tests that must kill the engine's host process: it
// creates the engine controller on the folder given, as the program does,
// and then only waits to be ended.
#include <chrono>
#include <thread>

#include "engine/TorControl.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  TTorControl control(argv[1]);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
