#pragma once
// Runs the real demo_server binary, for what only a process shows: exit status, the start-up line,
// end of input and a closed standard output.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct ProcessResult {
  int exit_code = -1;  // the status, or 128 + signal number when a signal ended it
  std::string out;
  std::string err;
  double seconds = 0;  // from the start until the process had ended (or was killed)
};

struct ProcessOptions {
  bool close_stdout_first = false;  // the reader of standard output goes away before any input
  double timeout_seconds = 60;      // the process is killed after this long
  bool nonblocking_stdin = false;   // the server's standard input is a non-blocking file description
  bool nonblocking_stdout = false;  // so is its standard output
  double first_read_after = 0;      // seconds before the test starts reading standard output; what
                                    // a server that ends before then leaves unread is read at its end
  std::vector<std::string> args{};  // its command line after the program's name
};

// A started demo_server and the test's ends of its three standard streams.
struct ServerPipes {
  int pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  int err = -1;  // its standard error
};
// How to start it. By default its three standard streams are blocking pipes to the test.
struct ServerStart {
  bool nonblocking_stdin = false;
  bool nonblocking_stdout = false;
  int in_fd = -1;                  // its standard input, instead of a pipe (ServerPipes::in is then -1)
  int out_fd = -1;                 // its standard output, instead of a pipe (ServerPipes::out is then -1)
  int err_fd = -1;                 // its standard error, likewise
  long long file_size_limit = -1;  // its RLIMIT_FSIZE in bytes; -1 leaves it as it is
  long long descriptor_limit = -1;  // its RLIMIT_NOFILE, soft and hard; -1 leaves it as it is
  std::vector<std::string> args{};  // its command line after the program's name
};
ServerPipes startServer(const ServerStart& how = {});

// How many servers this test process has started.
std::size_t serversStarted();

// Starts demo_server, writes `input` to its standard input, closes it, and collects both outputs.
ProcessResult runServer(std::string_view input, ProcessOptions options = {});
