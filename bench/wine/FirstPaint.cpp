// Starts a program and waits, on the X display, until a window of the given
// name is mapped and the pixel at an offset inside it is no longer black:
// the program's first paint. Prints the milliseconds from the start to then
// and the program's process id. Polling here, in one process, instead of
// with a tool started for every look, keeps the measurement from taking the
// CPU from the program it measures.
//   first-paint NAME DX DY TIMEOUT_MS PROGRAM [ARGS...]
// Exit status 0 with "MS PID" on standard output; 1 when no such window was
// painted in time or the program ended first (its pid still printed, so the
// caller can end it), 2 on bad arguments.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool HasName(Display* display, Window window, const char* name) {
  char* title = nullptr;
  if (XFetchName(display, window, &title) == 0 || title == nullptr) return false;
  const bool same = std::strcmp(title, name) == 0;
  XFree(title);
  return same;
}

// A mapped window of that name among the root's children and theirs.
Window FindMapped(Display* display, Window parent, const char* name, int depth) {
  Window root_return = 0;
  Window parent_return = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, parent, &root_return, &parent_return, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) == 0) continue;
    if (attributes.map_state != IsViewable) continue;
    if (HasName(display, children[i], name)) {
      found = children[i];
    } else if (depth > 0) {
      found = FindMapped(display, children[i], name, depth - 1);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

// Windows gone between the query and the look are not an error here.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: first-paint NAME DX DY TIMEOUT_MS PROGRAM [ARGS...]\n");
    return 2;
  }
  const char* name = argv[1];
  const int dx = std::atoi(argv[2]);
  const int dy = std::atoi(argv[3]);
  const auto timeout = std::chrono::milliseconds(std::atoi(argv[4]));
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "first-paint: no display\n");
    return 2;
  }
  XSetErrorHandler(IgnoreErrors);
  const Window root = DefaultRootWindow(display);

  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    // The program and what it starts (a wineserver that stays up) must not
    // hold our output open: the caller reads it to its end.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execvp(argv[5], argv + 5);
    _exit(127);
  }
  auto ended = [&] {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
  };
  auto fail = [&](const char* why) {
    std::printf("0 %d\n", static_cast<int>(pid));
    std::fprintf(stderr, "first-paint: %s\n", why);
    return 1;
  };

  Window window = 0;
  while (window == 0) {
    if (Clock::now() - start > timeout) return fail("no window in time");
    if (ended()) return fail("the program ended without a window");
    window = FindMapped(display, root, name, 2);
    if (window == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (;;) {
    if (Clock::now() - start > timeout) return fail("the window was not painted in time");
    Window child = 0;
    int x = 0;
    int y = 0;
    XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
    XImage* image = XGetImage(display, root, x + dx, y + dy, 1, 1, AllPlanes, ZPixmap);
    const unsigned long pixel = image != nullptr ? XGetPixel(image, 0, 0) : 0;
    if (image != nullptr) XDestroyImage(image);
    if ((pixel & 0xFFFFFF) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  std::printf("%lld %d\n", static_cast<long long>(elapsed), static_cast<int>(pid));
  XCloseDisplay(display);
  return 0;
}
