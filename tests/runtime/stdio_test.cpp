#include "runtime/stdio.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "support/lines.h"
#include "support/live_server.h"
#include "support/process.h"

namespace {

std::string pingReply(int id) { return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{}})" "\n"; }
std::string ping(int id) { return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})"; }

TEST(Process, Input) {
  std::string big = R"({"id":1,"method":"ping","params":{"pad":")" + std::string(10 << 20, 'x') + "\"}}\n";
  struct Case {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      {"empty input", "", ""},
      {"only a newline", "\n", ""},
      {"last line unterminated", ping(1) + "\n" + ping(2), pingReply(1) + pingReply(2)},
      {"crlf", ping(1) + "\r\n" + ping(2) + "\r\n", pingReply(1) + pingReply(2)},
      {"blank lines between", "\n \n" + ping(3) + "\n\t\n", pingReply(3)},
      {"10 MB line", big + ping(2) + "\n", pingReply(1) + pingReply(2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = runServer(c.input);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, ready_line);
    EXPECT_EQ(r.out, c.out);
  }
}

// Lines that straddle the 64 KiB read buffer in every way are still handed over whole.
TEST(Process, LinesAcrossReadBuffers) {
  std::string input, expected;
  for (int id = 0; id < 3000; ++id) {
    std::string pad(static_cast<std::size_t>(id * 37 % 300), ' ');
    input += pad + ping(id) + pad + "\n";
    expected += pingReply(id);
  }
  ProcessResult r = runServer(input);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, expected);
}

// Hosts may hand the server non-blocking pipes: "not now" is waited out, nothing is lost, and the
// server still ends normally at end of input. The reader starts late, so writes find the pipe full.
TEST(Process, NonBlockingPipes) {
  std::string input, expected;
  const std::string text(500, 'n');
  for (int id = 0; id < 1500; ++id) {
    if (id % 2) {
      input += ping(id) + "\n";
      expected += pingReply(id);
      continue;
    }
    input += callLine("echo", R"({"text":")" + text + R"(","times":2})", "", std::to_string(id)) + "\n";
    expected += resultLine(text + " " + text, false, std::to_string(id)) + "\n";
  }
  struct Case { const char* name; bool in, out; } cases[] = {
      {"stdin", true, false}, {"stdout", false, true}, {"both", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = runServer(input, {.nonblocking_stdin = c.in, .nonblocking_stdout = c.out, .first_read_after = 0.3});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, ready_line);
    EXPECT_EQ(r.out, expected);
  }
}

// The input's file description is shared with the host, which may make it non-blocking while the
// server waits on it: the server then waits for input again instead of reading in a loop.
TEST(Process, InputMadeNonBlockingWhileRunning) {
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);  // the server gets the reading end alone
  rusage before{}, after{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  {
    LiveServer server({.in_fd = in[0]});
    const std::string first = ping(1) + "\n", second = ping(2) + "\n";
    ASSERT_EQ(::write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(server.readLine(5), R"({"jsonrpc":"2.0","id":1,"result":{}})");
    ::fcntl(in[0], F_SETFL, O_NONBLOCK);  // the server's read already waiting goes on waiting
    ASSERT_EQ(::write(in[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    EXPECT_EQ(server.readLine(5), R"({"jsonrpc":"2.0","id":2,"result":{}})");
    ::poll(nullptr, 0, 600);
    ::close(in[1]);
    EXPECT_EQ(server.wait(5), 0);
  }
  ::getrusage(RUSAGE_CHILDREN, &after);
  ::close(in[0]);
  auto seconds = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  EXPECT_LT(seconds(after) - seconds(before), 0.2);  // 0.6 s of waiting, not of reading
}

// A client that stops reading must not kill the server: it reads on and ends normally.
TEST(Process, ClosedStdout) {
  std::string input;
  for (int id = 0; id < 20000; ++id) input += ping(id) + "\n";
  ProcessResult r = runServer(input, {.close_stdout_first = true});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, ready_line);
}

// What is in `fd` now, which must not block.
std::string drain(int fd) {
  std::string got;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
  return got;
}

// A full pipe never holds the writer up: lines wait in the queue and leave whole and in order as
// the reader makes room, and a delivery is told only once every line before it has left.
TEST(OutputQueue, QueuesWhatAFullPipeCannotTake) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
#ifdef F_SETPIPE_SZ
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
#endif
  LineQueue out(fds[1], *std::pmr::new_delete_resource());
  Sink sink = sinkOf(out);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string line(static_cast<std::size_t>(i * 397 % 3000), static_cast<char>('a' + i % 26));
    sink.write(sink.ctx, line);  // no reader yet: this must not block
    expected += line + "\n";
  }
  struct Told : Delivery {
    bool told = false;
  } told;
  told.done = [](Delivery& d) noexcept { static_cast<Told&>(d).told = true; };
  ASSERT_TRUE(sink.after(sink.ctx, told));
  writeWhatFits(out, false);
  tellDelivered(out);
  EXPECT_FALSE(told.told);
  std::string got;
  for (int round = 0; !told.told && round < 10000; ++round) {
    got += drain(fds[0]);
    sys::Interest room;
    room.outputs[0] = &out.stream;
    writeWhatFits(out, sys::waitFor(room, std::chrono::seconds(1)).outputs[0]);
    tellDelivered(out);
  }
  EXPECT_TRUE(told.told);
  EXPECT_EQ(got + drain(fds[0]), expected);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A connection whose peer has gone fails its byte queue at the first write: what it held is
// dropped and counted as settled, so a delivery waiting for it is told; and it takes no more. The
// line rules are not a socket's: nothing goes on being sent, line by line, into a dead connection.
TEST(OutputQueue, FailedWriteFailsTheQueue) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);
  {
    OutputQueue out(sys::openOutput(fds[0]), *std::pmr::new_delete_resource());
    const std::string events = "event: message\ndata: one\n\nevent: message\ndata: two\n\n";
    appendBytes(out, events);
    struct Told : Delivery {
      bool told = false;
    } told;
    told.done = [](Delivery& d) noexcept { static_cast<Told&>(d).told = true; };
    ASSERT_TRUE(linkDelivery(out, told));
    writeWhatFits(out, false);
    EXPECT_TRUE(failed(out));
    EXPECT_EQ(out.error, static_cast<std::uint32_t>(EPIPE));
    EXPECT_EQ(backlog(out), 0u);
    EXPECT_EQ(out.settled, events.size());
    tellDelivered(out);
    EXPECT_TRUE(told.told);
    appendBytes(out, events);
    EXPECT_EQ(backlog(out), 0u);
  }
  ::close(fds[0]);
}

// When the process ends, each connection gets its own 80 ms since it last took a byte: one whose
// client has stopped reading is given up then, even while another still reads, and gets nothing
// more when its client reads again later.
TEST(OutputQueue, EachOutputGivenItsOwnPatience) {
  constexpr std::size_t size = 256 << 10;
  // The first client reads nothing for 250 ms, then all it can; the others read 2 KiB every 5 ms.
  struct Client {
    int first_ms, pause_ms;
    std::size_t chunk;
    int fds[2] = {-1, -1};
    std::size_t received = 0;
  } clients[] = {{250, 0, size}, {5, 5, 2048}, {5, 5, 2048}};
  std::vector<std::thread> readers;
  for (Client& c : clients) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, c.fds), 0);
    int small = 4096;
    ::setsockopt(c.fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
  for (Client& c : clients) {
    readers.emplace_back([&c] {
      std::vector<char> chunk(c.chunk);
      ::poll(nullptr, 0, c.first_ms);
      for (ssize_t n = 1; n > 0;) {
        if (c.pause_ms > 0) ::poll(nullptr, 0, c.pause_ms);
        n = ::read(c.fds[1], chunk.data(), chunk.size());
        c.received += n > 0 ? static_cast<std::size_t>(n) : 0;
      }
    });
  }
  {
    std::vector<std::unique_ptr<OutputQueue>> queues;
    std::vector<OutputQueue*> outputs;
    for (Client& c : clients) {
      queues.push_back(std::make_unique<OutputQueue>(sys::openOutput(c.fds[0]), *std::pmr::new_delete_resource()));
      appendBytes(*queues.back(), std::string(c.chunk == size ? size : size / 2, 'x'));
      outputs.push_back(queues.back().get());
    }
    deliverQueued(outputs);
  }
  for (Client& c : clients) ::close(c.fds[0]);
  for (std::thread& t : readers) t.join();
  for (Client& c : clients) ::close(c.fds[1]);
  EXPECT_LT(clients[0].received, size / 2) << "the stalled client was waited on while the others read";
  // The readers are delivered to as long as they keep reading; a machine busy enough to hold a
  // reader back past the patience gives it up too, so only their lead over the stalled one is held.
  EXPECT_GT(clients[1].received + clients[2].received, clients[0].received);
}

// Bytes waiting in the pipe read at `fd`.
int unread(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

std::string echoCall(int id, std::size_t size) {
  return callLine("echo", R"({"text":")" + std::string(size, 'e') + R"("})", "", std::to_string(id)) + "\n";
}

// A blocking pipe whose reader has paused: replies that leave one at a time take a page of the pipe
// each, so it is full long before its byte count says. The server must go on reading and end at
// `crash` rather than sit in a write.
TEST(Process, BlockingPipeFilledReplyByReply) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  LiveServer server({.out_fd = out[1]});
  ::close(out[1]);
  for (int id = 0, taken = 1; id < 20 && taken; ++id) {
    int before = unread(out[0]);
    server.write(echoCall(id, 3000));
    // Until the reply is in the pipe; none for a second means the pipe takes no more.
    taken = 0;
    for (int tries = 0; tries < 200 && !taken; ++tries) taken = unread(out[0]) != before || ::poll(nullptr, 0, 5);
  }
  EXPECT_LT(unread(out[0]), 65536);  // the pipe filled before its bytes did
  server.write(callLine("crash", "{}", "", "99") + "\n");
  EXPECT_EQ(server.wait(2), 3) << "the server sits in a write";
  ::close(out[0]);
}

// A terminal stopped with Ctrl-S as the server's standard error: its reports wait, and the server
// answers meanwhile, sleeps and wakes. Once the terminal goes on, every report arrives.
TEST(PosixStreams, StoppedTerminal) {
  int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  int err = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(err, 0);
  termios mode{};
  ::tcgetattr(err, &mode);
  mode.c_iflag |= IXON;
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
  ::tcsetattr(err, TCSANOW, &mode);
  ASSERT_EQ(::write(terminal, "\x13", 1), 1);  // Ctrl-S: output stops
  LiveServer server({.err_fd = err});
  ::close(err);
  std::string reports;
  const std::string too_deep = requestLine("ping", "", nested(300));
  for (int i = 0; i < 50; ++i) server.write(too_deep + "\n");  // one report each, and they fill the terminal
  server.write(requestLine("ping", "", "1") + "\n" + callLine("slow", R"({"seconds":0.3})", "", "2") + "\n");
  EXPECT_EQ(server.readLine(5), R"({"jsonrpc":"2.0","id":1,"result":{}})");
  EXPECT_EQ(server.readLine(5), resultLine("slept 0.3 s", false, "2"));
  ASSERT_EQ(::write(terminal, "\x11", 1), 1);  // Ctrl-Q: output goes on
  server.closeInput();
  ::fcntl(terminal, F_SETFL, O_NONBLOCK);
  for (int tries = 0; tries < 400 && reports.find("demo") == std::string::npos; ++tries) {
    char chunk[4096];
    ssize_t n = ::read(terminal, chunk, sizeof chunk);
    if (n > 0) reports.append(chunk, static_cast<std::size_t>(n));
    if (n <= 0) ::poll(nullptr, 0, 5);
  }
  EXPECT_EQ(server.wait(5), 0);
  EXPECT_EQ(reports.find("demo MCP server (Tarn) ready"), 0u) << reports;
  ::close(terminal);
}

// Standard output a file under a size limit: the writes that would pass it fail, as when the
// reader has gone. The server does not die of the signal, and the file ends with a whole line.
TEST(PosixStreams, FileSizeLimit) {
  char path[] = "/tmp/demo_server_outXXXXXX";
  int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  std::string input, expected;
  for (int id = 0; id < 2000; ++id) {
    input += echoCall(id, 150);
    expected += resultLine(std::string(150, 'e'), false, std::to_string(id)) + "\n";
  }
  LiveServer server({.out_fd = file, .file_size_limit = 100'000});
  server.write(input);
  server.closeInput();
  EXPECT_EQ(server.wait(30), 0) << server.errors();
  std::string written = readFile(path);
  EXPECT_GT(written.size(), 90'000u);
  EXPECT_LE(written.size(), 100'000u);
  EXPECT_EQ(written, expected.substr(0, written.size()));
  EXPECT_EQ(written.back(), '\n');
  ::close(file);
  ::unlink(path);
}

// A reader that takes lines steadily but slower than they come, and never quite catches up: the
// queue's memory follows what waits unread, a few blocks beyond it at most, however much has passed.
TEST(OutputQueue, MemoryFollowsTheBacklog) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  FailingResource memory;
  std::size_t most = 0;
  {
    LineQueue out(fds[1], memory);
    Sink sink = sinkOf(out);
    const std::string line(1000, 'q');
    char chunk[16384];
    for (int round = 0; round < 2000; ++round) {  // 40 MB in all
      for (int i = 0; i < 20; ++i) sink.write(sink.ctx, line);  // 20 kB in, 16 kB out per round
      writeWhatFits(out, false);
      ASSERT_GT(::read(fds[0], chunk, sizeof chunk), 0);
      while (backlog(out) > 1'000'000 && ::read(fds[0], chunk, sizeof chunk) > 0) writeWhatFits(out, false);
      most = std::max(most, memory.outstandingBytes());
    }
  }
  EXPECT_LE(most, 1'000'000 + (OutputQueue::kept_blocks + 2) * (OutputQueue::block_size + 64));
  EXPECT_EQ(memory.outstanding(), 0u);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
