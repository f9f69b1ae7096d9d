// The system's side of the loop that only POSIX tests reach from here: TCP sockets as streams, as
// the HTTP transport uses them, and the secure random source.

#include "runtime/platform.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

namespace {

// A client's blocking socket connected to 127.0.0.1:port.
int connectTo(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits on `p` for up to a second and says whether `tag` was reported ready.
bool readyWithin(sys::Poller& p, void* tag) {
  sys::Event events[8];
  sys::Waited waited = sys::waitEvents(p, std::chrono::seconds(1), events);
  for (std::size_t i = 0; i < waited.count; ++i) {
    if (events[i].tag == tag) return true;
  }
  return false;
}

// A connection from taking it to its end: nothing waits before a client comes; what the client
// sends is read without waiting, what the server writes reaches it, and its leaving is the end.
TEST(Sockets, AConnectionFromStartToEnd) {
  sys::Stream listener;
  ASSERT_EQ(sys::listenTcp("127.0.0.1", 0, listener), 0u);
  const std::uint16_t port = sys::localPort(listener);
  ASSERT_NE(port, 0);
  sys::Stream connection;
  EXPECT_EQ(sys::acceptOne(listener, connection).status, sys::Io::NotNow);
  sys::Poller poller = sys::openPoller();
  int tag = 0;
  ASSERT_EQ(sys::watchStream(poller, listener, sys::WantRead, &tag), 0u);

  const int client = connectTo(port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(readyWithin(poller, &tag));
  ASSERT_EQ(sys::acceptOne(listener, connection).status, sys::Io::Done);
  char buffer[64];
  EXPECT_EQ(sys::readSome(connection, buffer, sizeof buffer).status, sys::Io::NotNow);
  ASSERT_EQ(::write(client, "GET / HTTP/1.1\r\n", 16), 16);
  ASSERT_EQ(sys::watchStream(poller, connection, sys::WantRead, &connection), 0u);
  ASSERT_TRUE(readyWithin(poller, &connection));
  sys::Transfer got = sys::readSome(connection, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, got.count), "GET / HTTP/1.1\r\n");
  EXPECT_EQ(sys::writeSome(connection, "HTTP/1.1 200 OK\r\n", 17, false).count, 17u);
  EXPECT_EQ(::read(client, buffer, sizeof buffer), 17);
  ::close(client);
  ASSERT_TRUE(readyWithin(poller, &connection));
  EXPECT_EQ(sys::readSome(connection, buffer, sizeof buffer).status, sys::Io::End);
  sys::forgetStream(poller, connection);
  sys::forgetStream(poller, listener);
  sys::closeStream(connection);
  sys::closeStream(listener);
  sys::closePoller(poller);
}

// An address that cannot be listened on says why, in the system's words.
TEST(Sockets, AddressesRefused) {
  sys::Stream first;
  ASSERT_EQ(sys::listenTcp("127.0.0.1", 0, first), 0u);
  struct Case {
    std::string host;
    std::uint16_t port;
    const char* error;
  } cases[] = {
      {"127.0.0.1", sys::localPort(first), "EADDRINUSE"},
      {"localhost", 0, "EINVAL"},  // names are the caller's to resolve
      {"192.0.2.1", 0, "EADDRNOTAVAIL"},
      {"300.0.0.1", 0, "EINVAL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    sys::Stream listener;
    std::uint32_t error = sys::listenTcp(c.host, c.port, listener);
    char text[64];
    EXPECT_EQ(std::string(text, sys::errorText(error, text)), c.error);
  }
  sys::closeStream(first);
}

TEST(SecureRandom, DrawsDiffer) {
  std::array<std::byte, 32> a{}, b{};
  ASSERT_TRUE(sys::secureRandom(a));
  ASSERT_TRUE(sys::secureRandom(b));
  EXPECT_NE(a, b);
}

}  // namespace
