// ipecho: a local address-echo endpoint for demos of the address lookup.
// Listens on 127.0.0.1 (or another local address: a private network's
// service address, which its exits reach) and answers every GET with a
// fixed address and CR LF, as the real endpoint answers with the caller's
// address.
//   ipecho [--bind ADDRESS] [--port N] [--answer TEXT] [--count N]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Logger.h"
#include "platform/Socket.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int port = 0;
  std::string bind = "127.0.0.1";
  std::string answer = "127.0.0.1";
  int count = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--bind") {
      bind = argv[i + 1];
    } else if (arg == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (arg == "--answer") {
      answer = argv[i + 1];
    } else if (arg == "--count") {
      count = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr,
                   "usage: ipecho [--bind ADDRESS] [--port N] [--answer TEXT] [--count N]\n");
      return 2;
    }
  }
  platform::TcpListener listener;
  if (const std::uint32_t error = listener.Listen(bind, static_cast<std::uint16_t>(port))) {
    std::printf("ipecho: cannot listen: %s\n", SysErrorText(error).c_str());
    return 2;
  }
  std::printf("ipecho: listening on %s:%u\n", bind.c_str(), listener.Port());
  for (int served = 0; served < count; ++served) {
    platform::TcpSocket peer;
    if (listener.Accept(peer, 120000) != 0) {
      std::printf("ipecho: nobody came\n");
      return 1;
    }
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const std::size_t before = request.size();
      if (peer.Receive(request, 4096, 10000) != 0 || request.size() == before) break;
    }
    std::printf("ipecho: %s\n", request.substr(0, request.find("\r\n")).c_str());
    const std::string body = answer + "\r\n";
    peer.SendAll("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    peer.ShutdownSend();
  }
  return 0;
}
