// The system's side of the loop on Windows that the process tests do not reach: TCP sockets as
// streams, as the HTTP transport uses them, and the secure random source.

#if defined(_WIN32)

#include "runtime/platform.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// A client's blocking socket connected to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET connectTo(std::uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return INVALID_SOCKET;
  SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closesocket(fd);
    return INVALID_SOCKET;
  }
  return fd;
}

// What `tag` was reported ready for by waits on `p` within `patience`; nothing when it was not. A
// wait may end with news nobody wanted, so it waits again.
sys::Event readiness(sys::Poller& p, void* tag, std::chrono::nanoseconds patience = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  do {
    sys::Event events[8];
    sys::Waited waited = sys::waitEvents(p, patience, events);
    for (std::size_t i = 0; i < waited.count; ++i) {
      if (events[i].tag == tag) return events[i];
    }
    patience = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0));
  } while (patience.count() > 0);
  return {};
}

// A connection from taking it to its end: nothing waits before a client comes; what the client
// sends is read without waiting, what the server writes reaches it, and its leaving is the end. The
// system reports room only after a send was refused: the poller makes up for it.
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

  const SOCKET client = connectTo(port);
  ASSERT_NE(client, INVALID_SOCKET);
  ASSERT_TRUE(readiness(poller, &tag).readable);
  ASSERT_EQ(sys::acceptOne(listener, connection).status, sys::Io::Done);
  char buffer[65536];
  EXPECT_EQ(sys::readSome(connection, buffer, sizeof buffer).status, sys::Io::NotNow);
  ASSERT_EQ(send(client, "GET / HTTP/1.1\r\n", 16, 0), 16);
  ASSERT_EQ(sys::watchStream(poller, connection, sys::WantRead, &connection), 0u);
  ASSERT_TRUE(readiness(poller, &connection).readable);
  sys::Transfer got = sys::readSome(connection, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, got.count), "GET / HTTP/1.1\r\n");
  EXPECT_EQ(sys::readSome(connection, buffer, sizeof buffer).status, sys::Io::NotNow);
  EXPECT_FALSE(readiness(poller, &connection, std::chrono::nanoseconds(0)).readable);

  ASSERT_EQ(sys::watchStream(poller, connection, sys::WantWrite, &connection), 0u);
  EXPECT_TRUE(readiness(poller, &connection).writable);
  std::size_t sent = 0;
  for (got = {sys::Io::Done, 1}; got.status == sys::Io::Done && got.count > 0; sent += got.count) {
    got = sys::writeSome(connection, buffer, sizeof buffer, false);
  }
  ASSERT_EQ(got.status, sys::Io::Done);
  EXPECT_FALSE(readiness(poller, &connection, std::chrono::nanoseconds(0)).writable);
  for (std::size_t left = sent; left > 0;) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    left -= static_cast<std::size_t>(n);
  }
  EXPECT_TRUE(readiness(poller, &connection).writable);

  ASSERT_EQ(sys::watchStream(poller, connection, sys::WantRead, &connection), 0u);
  closesocket(client);
  ASSERT_TRUE(readiness(poller, &connection).readable);
  EXPECT_EQ(sys::readSome(connection, buffer, sizeof buffer).status, sys::Io::End);
  sys::forgetStream(poller, connection);
  sys::forgetStream(poller, listener);
  sys::closeStream(connection);
  sys::closeStream(listener);
  sys::closePoller(poller);
}

// Far more connections than one system wait takes, alone and beside a quiet pipe's helper: a wait
// wakes for their input and reports exactly those with some, all of them in turn, though fewer fit
// in one wait's events.
TEST(Sockets, HundredsOfConnections) {
  for (const bool beside_pipe : {false, true}) {
    SCOPED_TRACE(beside_pipe ? "beside a quiet pipe" : "alone");
    sys::Stream listener;
    ASSERT_EQ(sys::listenTcp("127.0.0.1", 0, listener), 0u);
    sys::Poller poller = sys::openPoller();
    ASSERT_EQ(sys::watchStream(poller, listener, sys::WantRead, &listener), 0u);
    HANDLE pipe_in = nullptr, pipe_out = nullptr;
    sys::Stream pipe;
    if (beside_pipe) {
      ASSERT_TRUE(CreatePipe(&pipe_in, &pipe_out, nullptr, 0));
      pipe = sys::openInput(pipe_in);
      ASSERT_EQ(sys::watchStream(poller, pipe, sys::WantRead, &pipe), 0u);
    }
    constexpr int count = 200;
    std::vector<SOCKET> clients;
    std::vector<sys::Stream> connections(count);
    char byte = 'x';
    for (sys::Stream& c : connections) {
      clients.push_back(connectTo(sys::localPort(listener)));
      ASSERT_NE(clients.back(), INVALID_SOCKET);
      ASSERT_TRUE(readiness(poller, &listener).readable);
      ASSERT_EQ(sys::acceptOne(listener, c).status, sys::Io::Done);
      ASSERT_EQ(sys::readSome(c, &byte, 1).status, sys::Io::NotNow);
      ASSERT_EQ(sys::watchStream(poller, c, sys::WantRead, &c), 0u);
    }
    sys::Stream none;
    ASSERT_EQ(sys::acceptOne(listener, none).status, sys::Io::NotNow);
    // The input comes while the poller waits, so that the wait must wake for it.
    std::set<void*> expected;
    for (int i = 0; i < count; i += 7) expected.insert(&connections[i]);
    std::thread clients_send([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      for (int i = 0; i < count; i += 7) send(clients[i], &byte, 1, 0);
    });
    std::set<void*> reported;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (reported.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
      sys::Event events[16];  // fewer than are ready
      sys::Waited waited = sys::waitEvents(poller, deadline - std::chrono::steady_clock::now(), events);
      EXPECT_EQ(waited.error, 0u);
      for (std::size_t i = 0; i < waited.count; ++i) {
        if (events[i].readable) reported.insert(events[i].tag);
      }
    }
    clients_send.join();
    EXPECT_EQ(reported, expected);

    for (sys::Stream& c : connections) {
      sys::forgetStream(poller, c);
      sys::closeStream(c);
    }
    for (SOCKET c : clients) closesocket(c);
    sys::forgetStream(poller, listener);
    sys::closeStream(listener);
    if (beside_pipe) {
      sys::forgetStream(poller, pipe);
      sys::closeStream(pipe);
      CloseHandle(pipe_out);
      CloseHandle(pipe_in);
    }
    sys::closePoller(poller);
  }
}

// An address that cannot be listened on says why, with a code the system has words for.
TEST(Sockets, AddressesRefused) {
  sys::Stream first;
  ASSERT_EQ(sys::listenTcp("127.0.0.1", 0, first), 0u);
  struct Case {
    std::string host;
    std::uint16_t port;
    std::uint32_t error;
  } cases[] = {
      {"127.0.0.1", sys::localPort(first), WSAEADDRINUSE},
      {"localhost", 0, WSAEINVAL},  // names are the caller's to resolve
      {"192.0.2.1", 0, WSAEADDRNOTAVAIL},
      {"300.0.0.1", 0, WSAEINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    sys::Stream listener;
    const std::uint32_t error = sys::listenTcp(c.host, c.port, listener);
    EXPECT_EQ(error, c.error);
    char text[256];
    EXPECT_FALSE(std::string_view(text, sys::errorText(error, text)).starts_with("error "));  // the bare number
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

#endif
