#include <gtest/gtest.h>

#include <thread>

#include "platform/Socket.h"

namespace {

using platform::TcpListener;
using platform::TcpSocket;

TEST(SocketTest, ExchangeOnLoopbackAndPeerClose) {
  TcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0u);
  ASSERT_NE(listener.Port(), 0);
  std::thread server([&] {
    TcpSocket peer;
    ASSERT_EQ(listener.Accept(peer, 5000), 0u);
    std::string got;
    while (got.find('\n') == std::string::npos) {
      ASSERT_EQ(peer.Receive(got, 100, 5000), 0u);
    }
    EXPECT_EQ(got, "ping\r\n");
    EXPECT_EQ(peer.SendAll("pong\r\n"), 0u);
  });
  TcpSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", listener.Port(), 2000), 0u);
  ASSERT_EQ(client.SendAll("ping\r\n"), 0u);
  std::string reply;
  while (reply.size() < 6) ASSERT_EQ(client.Receive(reply, 100, 5000), 0u);
  EXPECT_EQ(reply, "pong\r\n");
  server.join();
  std::string rest;
  EXPECT_EQ(client.Receive(rest, 100, 5000), 0u);
  EXPECT_TRUE(rest.empty()) << "peer closed: nothing more";
}

TEST(SocketTest, SilentPeerTimesOutAndClosedPortIsRefused) {
  TcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0u);
  TcpSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", listener.Port(), 2000), 0u);
  std::string nothing;
  EXPECT_EQ(client.Receive(nothing, 100, 200), platform::SocketTimedOut());

  TcpSocket none;
  const std::uint16_t port = listener.Port();
  listener.Close();
  EXPECT_EQ(none.Connect("127.0.0.1", port, 2000), platform::SocketRefused());
  EXPECT_FALSE(none.IsOpen());
}

}  // namespace
