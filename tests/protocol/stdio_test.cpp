#include "protocol/stdio.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/lines.h"
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

// Reads `fd` until `enough` bytes have come or its writer has closed it, for 10 s at the most: a
// pipe that is still short then fails the test. Closes `fd` either way, so that a writer blocked on
// the full pipe gets EPIPE and ends, rather than hanging the test.
std::string readPipe(int fd, std::size_t enough = std::string::npos) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string got;
  char chunk[65536];
  while (got.size() < enough) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "the pipe was still open after 10 s, with " << got.size() << " bytes read";
      break;
    }
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;  // time is up, or a signal came
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
  }
  ::signal(SIGPIPE, SIG_IGN);  // a write after the close fails, rather than ending the process
  ::close(fd);
  return got;
}

// Lines written from many threads at once arrive whole, one per line, short and long alike.
TEST(StdoutSink, WholeLinesFromManyThreads) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  StdoutSink out(fds[1], false);
  Sink sink = sinkOf(out);
  std::string collected;
  std::thread reader([&] { collected = readPipe(fds[0]); });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 200; ++i) sink.write(sink.ctx, std::string(static_cast<std::size_t>(i * 97), char('a' + w)));
    });
  }
  for (std::thread& t : writers) t.join();
  ::close(fds[1]);
  reader.join();

  std::size_t lines = 0;
  for (std::size_t pos = 0; pos < collected.size(); ++lines) {
    std::size_t end = collected.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    std::string_view line(collected.data() + pos, end - pos);
    EXPECT_EQ(line.find_first_not_of(line.empty() ? 'a' : line[0]), std::string_view::npos);
    EXPECT_EQ(line.size() % 97, 0u);
    pos = end + 1;
  }
  EXPECT_EQ(lines, 800u);
}

// A holding sink sends nothing until a flush or a full buffer, whichever thread wrote: lines from
// every thread then leave together, in the order they were written.
TEST(StdoutSink, HeldLinesKeepTheirOrder) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  StdoutSink out(fds[1], true);
  Sink sink = sinkOf(out);
  sink.write(sink.ctx, "one");
  std::thread([&] { sink.write(sink.ctx, "from a tool"); }).join();
  sink.write(sink.ctx, "two");
  EXPECT_EQ(drain(fds[0]), "");
  flush(sink);
  EXPECT_EQ(drain(fds[0]), "one\nfrom a tool\ntwo\n");
  std::string big(100000, 'b');  // larger than the buffer: leaves at once, after what is held
  sink.write(sink.ctx, "three");
  std::thread reader([&] { EXPECT_EQ(readPipe(fds[0], 6 + big.size() + 1), "three\n" + big + "\n"); });
  sink.write(sink.ctx, big);
  reader.join();
  ::close(fds[1]);
}

}  // namespace
