// The delaying relay: bytes cross it intact and in order in both directions
// at once, the end of one direction is passed on, and nothing arrives before
// the delay has passed (checked as a lower bound only).
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "delay_relay.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// `size` bytes of a pattern that differs per `seed` and has no short period.
std::vector<uint8_t> Pattern(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// Writes `bytes` in pieces of varying size, then ends the sending side.
void WriteInPieces(tcp::socket& socket, const std::vector<uint8_t>& bytes) {
  size_t offset = 0;
  for (size_t piece = 1; offset < bytes.size(); piece = piece * 3 % 70001 + 1) {
    const size_t n = std::min(piece, bytes.size() - offset);
    asio::write(socket, asio::buffer(bytes.data() + offset, n));
    offset += n;
  }
  socket.shutdown(tcp::socket::shutdown_send);
}

// Everything up to the end of the stream.
std::vector<uint8_t> ReadToEnd(tcp::socket& socket) {
  std::vector<uint8_t> bytes;
  boost::system::error_code ec;
  asio::read(socket, asio::dynamic_buffer(bytes), ec);
  EXPECT_EQ(ec, asio::error::eof);
  return bytes;
}

TEST(DelayRelay, ForwardsBothWaysIntactAfterTheDelay) {
  constexpr std::chrono::milliseconds c_delay(30);
  const asio::ip::address loopback = asio::ip::make_address("127.0.0.1");
  asio::io_context io;
  tcp::acceptor target(io, tcp::endpoint(loopback, 0));
  relay::DelayRelay relay("127.0.0.1", 0, c_delay);
  ASSERT_NE(relay.Port(), 0);
  relay.Start("127.0.0.1", target.local_endpoint().port());

  tcp::socket client(io);
  client.connect(tcp::endpoint(loopback, relay.Port()));
  tcp::socket server = target.accept();
  EXPECT_EQ(relay.Connections(), 1u);

  // One small message there and back: each way takes the delay at least.
  char word[4] = {};
  const Clock::time_point sent = Clock::now();
  asio::write(client, asio::buffer("ping", 4));
  asio::read(server, asio::buffer(word));
  const Clock::time_point arrived = Clock::now();
  EXPECT_EQ(std::string(word, 4), "ping");
  EXPECT_GE(arrived - sent, c_delay);
  asio::write(server, asio::buffer("pong", 4));
  asio::read(client, asio::buffer(word));
  EXPECT_EQ(std::string(word, 4), "pong");
  EXPECT_GE(Clock::now() - arrived, c_delay);
  EXPECT_GE(Clock::now() - sent, 2 * c_delay);

  // Megabytes both ways at once, each side ending its stream.
  const std::vector<uint8_t> up = Pattern(3u << 20, 1);
  const std::vector<uint8_t> down = Pattern((2u << 20) + 12345, 2);
  std::thread upWriter([&] { WriteInPieces(client, up); });
  std::thread downWriter([&] { WriteInPieces(server, down); });
  const std::vector<uint8_t> upArrived = ReadToEnd(server);
  const std::vector<uint8_t> downArrived = ReadToEnd(client);
  upWriter.join();
  downWriter.join();
  EXPECT_TRUE(upArrived == up) << upArrived.size() << " of " << up.size() << " bytes";
  EXPECT_TRUE(downArrived == down) << downArrived.size() << " of " << down.size() << " bytes";
  relay.Stop();
}

TEST(DelayRelay, ParsesAddresses) {
  std::string address;
  unsigned short port = 0;
  EXPECT_TRUE(relay::ParseAddress("127.0.0.1:5679", address, port, false));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(port, 5679);
  EXPECT_TRUE(relay::ParseAddress("127.0.0.1:0", address, port, true));
  EXPECT_EQ(port, 0);
  for (const char* bad : {"127.0.0.1:0", "127.0.0.1", ":80", "127.0.0.1:", "h:65536", "h:8x"}) {
    EXPECT_FALSE(relay::ParseAddress(bad, address, port, false)) << bad;
  }
}

}  // namespace
