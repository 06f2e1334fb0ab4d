// testnet-address-echo: an HTTP server for the private onion network's
// service address that answers every request with the address the
// connection came from, so a test sees which exit a request left through.
//   testnet-address-echo ADDRESS
// Prints the port it listens on (chosen by the system), then serves until
// it is ended.
#include <cstdio>
#include <string>

#include "base/Logger.h"
#include "platform/Socket.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) {
    std::fprintf(stderr, "usage: testnet-address-echo ADDRESS\n");
    return 2;
  }
  platform::TcpListener listener;
  if (const std::uint32_t error = listener.Listen(argv[1], 0)) {
    std::fprintf(stderr, "testnet-address-echo: cannot listen on %s: %s\n", argv[1],
                 SysErrorText(error).c_str());
    return 1;
  }
  std::printf("%u\n", listener.Port());
  std::fflush(stdout);  // a file, not a terminal: the script waits for this line
  for (;;) {
    platform::TcpSocket peer;
    if (listener.Accept(peer, -1) != 0) continue;
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const std::size_t before = request.size();
      if (peer.Receive(request, 4096, 10000) != 0 || request.size() == before) break;
    }
    const std::string body = peer.PeerAddress();
    peer.SendAll("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n\r\n" + body);
    peer.ShutdownSend();
  }
}
