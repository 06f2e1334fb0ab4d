// testnet-address-echo: an HTTP server for the private onion network's
// service address that answers every request with the address the
// connection came from, so a test sees which exit a request left through.
//   testnet-address-echo ADDRESS [PAGE]
// Prints the port it listens on (chosen by the system), then one line per
// request, "PEER HOST TARGET" (the Host header and the request line's
// target, "-" when missing), and serves until it is ended. With PAGE, a
// request for "/" is answered with that file as HTML instead (read at each
// request, so that the caller can write it once it knows the port): a page
// that makes a browser load further sites.
#include <cstdio>
#include <optional>
#include <string>

#include "base/Logger.h"
#include "platform/Files.h"
#include "platform/Socket.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The request line's target and the Host header's value of a request head.
void ReadHead(const std::string& head, std::string& target, std::string& host) {
  target = host = "-";
  std::size_t line_end = head.find("\r\n");
  const std::string first = head.substr(0, line_end);
  const std::size_t space = first.find(' ');
  if (space != std::string::npos) {
    const std::size_t next = first.find(' ', space + 1);
    target =
        first.substr(space + 1, next == std::string::npos ? std::string::npos : next - space - 1);
  }
  while (line_end != std::string::npos) {
    const std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    if (Lower(line.substr(0, 5)) == "host:") {
      const std::size_t value = line.find_first_not_of(" \t", 5);
      if (value != std::string::npos) host = line.substr(value);
    }
  }
  if (target.empty()) target = "-";
  if (host.empty()) host = "-";
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: testnet-address-echo ADDRESS [PAGE]\n");
    return 2;
  }
  const std::string page_file = argc == 3 ? argv[2] : "";
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
    std::string target, host;
    ReadHead(request, target, host);
    const std::string address = peer.PeerAddress();
    std::printf("%s %s %s\n", address.c_str(), host.c_str(), target.c_str());
    std::optional<std::string> page;
    if (!page_file.empty() && target == "/") page = platform::ReadWholeFile(page_file);
    const std::string& body = page ? *page : address;
    peer.SendAll(std::string("HTTP/1.0 200 OK\r\nContent-Type: ") +
                 (page ? "text/html; charset=utf-8" : "text/plain") +
                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    peer.ShutdownSend();
  }
}
