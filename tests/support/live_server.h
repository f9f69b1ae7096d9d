#pragma once
// The real demo_server as a conversation partner: the test writes lines, reads lines as they come,
// and may close either stream, for what only a running process shows (answers to the server's own
// requests, a reader that goes away).

#include <string>
#include <string_view>
#include <optional>

#include "support/process.h"

class LiveServer {
 public:
  // Starts the binary; its standard error is kept (unless `how` gives it another).
  explicit LiveServer(const ServerStart& how = {});
  ~LiveServer();  // kills it if it still runs
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  // Writes `text` (whole lines, newlines included) to the server's standard input.
  void write(std::string_view text);
  // The next line on standard output, without its newline, or nullopt after `seconds` or at its end.
  std::optional<std::string> readLine(double seconds = 30);
  void closeInput();
  void closeOutput();  // the reader goes away
  // Waits for the process to end; its exit status, or 128 + signal, or -1 after `seconds`.
  int wait(double seconds = 30);
  std::string errors();  // everything on standard error so far (after wait(): all of it)

 private:
  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string out_buffer_, err_buffer_;
  int status_ = -1;
};
