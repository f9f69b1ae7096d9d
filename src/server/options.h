#pragma once
// The command line: no arguments for the stdio server, --http [HOST:]PORT for HTTP, --help,
// --version. Arguments are read left to right; the first mistake, --help or --version decides.
// The HTTP bearer token comes from --token-file or the environment, never from the command line,
// which every local user can read. The caller prints "demo_server: <reason>" and usage() on
// standard error and exits 2 when parsing fails; helpText() or versionText() on standard output
// and exits 0 for Mode::Help or Mode::Version.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/expected.h"

// The variable that holds the token when --token-file is not given.
inline constexpr const char* token_variable = "DEMO_SERVER_TOKEN";

struct HttpOptions {
  enum class HostKind { Ipv4, Ipv6, Localhost };

  std::string host = "127.0.0.1";  // as given, an IPv6 address without its brackets
  HostKind host_kind = HostKind::Ipv4;
  std::uint16_t port = 0;          // 0: any free port
  bool loopback = true;            // 127.0.0.0/8, ::1 (also IPv4-mapped) or localhost
  std::vector<std::string> allowed_hosts;    // lower case; a name, an IPv4 address or "[IPv6]"; no port
  std::vector<std::string> allowed_origins;  // lower case, "scheme://host[:port]", default port left out
  std::string token;               // empty: no token; never empty when `loopback` is false
};

struct Options {
  enum class Mode { Stdio, Http, Help, Version };

  Mode mode = Mode::Stdio;
  HttpOptions http;  // meaningful for Mode::Http only
};

// Reads the arguments after the program's name. In HTTP mode it also reads the token from the
// --token-file file, or else from `token_env` (the value of token_variable, null when unset).
// On failure, a one-line reason without the program's name that never repeats a token.
Expected<Options, std::string> parseOptions(std::span<const std::string_view> args, const char* token_env);

// The synopsis, printed after a failure's reason; ends in a line feed.
std::string_view usage();

// The whole --help text; ends in a line feed.
std::string_view helpText();

// "demo_server <version>" and a line feed, for --version.
std::string_view versionText();
