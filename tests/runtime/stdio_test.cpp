#include "runtime/stdio.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
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

// A full pipe never holds the writer up: lines wait in the queue and leave whole and in order as
// the reader makes room, and a delivery is told only once every line before it has left.
TEST(OutputQueue, QueuesWhatAFullPipeCannotTake) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
#ifdef F_SETPIPE_SZ
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
#endif
  OutputQueue out(fds[1], *std::pmr::new_delete_resource());
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

}  // namespace
