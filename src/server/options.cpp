#include "server/options.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "runtime/platform.h"
#include "transport/authority.h"

namespace {

using Failure = Unexpected<std::string>;

Failure fail(std::string reason) { return Failure{std::move(reason)}; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ASCII only: the locale must not change what a host name is.
std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Decimal digits only, no sign and no leading zero ("010" is octal to some readers), at most `max`.
std::optional<unsigned> parseDecimal(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// An address as the system reads it when it listens: 4 bytes for IPv4, 16 for IPv6, 0 for neither.
struct Address {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t size = 0;
};
Address addressOf(std::string_view text) {
  Address a;
  a.size = sys::parseAddress(text, a.bytes);
  return a;
}

// 127.0.0.0/8, ::1, or an IPv4-mapped address in 127.0.0.0/8 (::ffff:127.0.0.1), which only
// loopback reaches.
bool isLoopback(const Address& a) {
  if (a.size == 4) return a.bytes[0] == 127;
  std::size_t zeros = 0;
  while (zeros < 16 && a.bytes[zeros] == 0) ++zeros;
  if (zeros == 15) return a.bytes[15] == 1;
  return zeros == 10 && a.bytes[10] == 0xff && a.bytes[11] == 0xff && a.bytes[12] == 127;
}

// Host and port of --http: "PORT", "HOST:PORT" or "[IPv6]:PORT".
Expected<HttpOptions, std::string> parseListen(std::string_view text) {
  HttpOptions http;
  std::string_view host, port = text;
  const std::string quoted = "--http \"" + std::string(text) + '"';
  if (text.starts_with('[')) {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || text.substr(close + 1, 1) != ":")
      return fail(quoted + ": an IPv6 address in brackets needs a port after it, as [::1]:8080");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    const Address address = addressOf(host);
    if (address.size != 16) return fail(quoted + ": [" + std::string(host) + "] is not an IPv6 address");
    http.host_kind = HttpOptions::HostKind::Ipv6;
    http.loopback = isLoopback(address);
  } else if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    if (text.find(':', colon + 1) != std::string_view::npos)
      return fail(quoted + ": an IPv6 address goes in brackets, as [::1]:8080");
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host == http::localhost) {
      http.host_kind = HttpOptions::HostKind::Localhost;
    } else if (const Address address = addressOf(host); address.size == 4) {
      http.loopback = isLoopback(address);
    } else {
      return fail(quoted + ": the host must be an IPv4 address, localhost, or an IPv6 address in brackets");
    }
  }
  if (!host.empty()) http.host = host;
  std::optional<unsigned> number = parseDecimal(port, 65535);
  if (!number) return fail(quoted + ": the port must be a number from 0 to 65535");
  http.port = static_cast<std::uint16_t>(*number);
  return http;
}

// A host as a Host header or an origin carries it: "[IPv6]", or dot-separated labels of letters,
// digits, '-' and '_'. A host whose last label is a number must be a whole IPv4 address, as URLs
// read it.
bool isHostText(std::string_view text) {
  if (text.starts_with('[')) return text.ends_with(']') && addressOf(text.substr(1, text.size() - 2)).size == 16;
  if (text.empty() || text.size() > 253) return false;
  std::size_t label = 0;
  bool numeric = true;
  for (char c : text) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      numeric = true;
      continue;
    }
    if (!isDigit(c) && !isLetter(c) && c != '-' && c != '_') return false;
    numeric = numeric && isDigit(c);
    if (++label > 63) return false;
  }
  return label > 0 && (!numeric || addressOf(text).size == 4);
}

Expected<std::string, std::string> parseAllowedHost(std::string_view text) {
  if (isHostText(text)) return lowerCase(text);
  std::size_t host_end = text.starts_with('[') ? text.find(']') : 0;
  bool has_port = host_end != std::string_view::npos && text.find(':', host_end) != std::string_view::npos;
  return fail("--allow-host \"" + std::string(text) + "\": not a host name, an IPv4 address or an [IPv6] address" +
              (has_port ? " (the port is left out: any port is accepted)" : ""));
}

// Origins are kept as browsers send them, the form the server compares them in. The command line
// is stricter than a request: a port is written without leading zeros, and is not 0.
Expected<std::string, std::string> parseAllowedOrigin(std::string_view text) {
  const std::string quoted = "--allow-origin \"" + std::string(text) + '"';
  if (text == "null") return fail(quoted + ": refused, since any sandboxed page or local file sends it");
  Expected<http::Origin, http::OriginError> origin = http::parseOrigin(text);
  std::optional<http::OriginError> error;
  if (!origin) {
    error = origin.error();
  } else if (!isHostText(origin->authority.host)) {
    error = http::OriginError::Host;
  } else if (!origin->authority.port.empty() && parseDecimal(origin->authority.port, 65535).value_or(0) == 0) {
    error = http::OriginError::Port;
  }
  if (!error) return http::normalOrigin(*origin);
  switch (*error) {
    case http::OriginError::Scheme: return fail(quoted + ": an origin is http://host[:port] or https://host[:port]");
    case http::OriginError::Path: return fail(quoted + ": an origin has no path, not even a trailing slash");
    case http::OriginError::Host:
      return fail(quoted + ": the host is not a name, an IPv4 address or an [IPv6] address");
    case http::OriginError::Port: break;
  }
  return fail(quoted + ": the port must be a number from 1 to 65535");
}

// A token travels as "Authorization: Bearer <token>", so it must be visible ASCII, without blanks.
std::optional<std::string> tokenProblem(std::string_view token, std::string_view source) {
  for (char c : token)
    if (c <= ' ' || c > '~')
      return std::string(source) + ": the token may hold only visible ASCII characters, no blanks";
  return std::nullopt;
}

// The first line of the file, without the blanks and line ends after it. Read with C's streams:
// C++'s would bring their locales into the program, and cost every start-up memory.
Expected<std::string, std::string> readTokenFile(const std::string& path) {
  const std::string source = "--token-file \"" + path + '"';
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return fail(source + ": cannot open the file");
  std::string token;
  for (int c; (c = std::getc(file)) != EOF && c != '\n';) token += static_cast<char>(c);
  const bool failed = std::ferror(file) != 0;
  (void)std::fclose(file);
  if (failed) return fail(source + ": cannot read the file");
  std::size_t end = token.find_last_not_of(" \t\r\n");
  token.resize(end == std::string::npos ? 0 : end + 1);
  if (token.empty()) return fail(source + ": the first line holds no token");
  if (std::optional<std::string> problem = tokenProblem(token, source)) return fail(*problem);
  return token;
}

// What HTTP mode adds once every argument is read: the token, and the rule that only loopback may
// go without one.
Expected<Options, std::string> finishHttp(Options options, std::string_view listen, const std::string* token_file,
                                          const char* token_env) {
  HttpOptions& http = options.http;
  if (token_file) {
    Expected<std::string, std::string> token = readTokenFile(*token_file);
    if (!token) return fail(token.error());
    http.token = std::move(*token);
  } else if (token_env && *token_env) {
    if (std::optional<std::string> problem = tokenProblem(token_env, token_variable)) return fail(*problem);
    http.token = token_env;
  }
  if (!http.loopback && http.token.empty())
    return fail("--http \"" + std::string(listen) + "\" listens beyond this machine, so it needs a token: " +
                "put one in a file for --token-file, or in " + token_variable);
  return options;
}

// The options that take a value, each with the name of its value in the synopsis.
struct ValueOption {
  std::string_view name, value;
};
constexpr std::array<ValueOption, 4> value_options = {{
    {"--http", "[HOST:]PORT"}, {"--allow-host", "NAME"}, {"--allow-origin", "ORIGIN"}, {"--token-file", "PATH"}}};

const ValueOption* findValueOption(std::string_view name) {
  for (const ValueOption& o : value_options)
    if (o.name == name) return &o;
  return nullptr;
}

std::string notAnOption(std::string_view arg) {
  std::string_view name = arg.substr(0, arg.find('='));
  if (name != arg && findValueOption(name)) return std::string(name) + " takes its value as the next argument";
  return (arg.starts_with('-') ? "unknown option " : "unexpected argument ") + std::string(arg);
}

}  // namespace

Expected<Options, std::string> parseOptions(std::span<const std::string_view> args, const char* token_env) {
  Options options;
  std::optional<std::string> token_file;
  std::string_view listen;      // the value of --http
  std::string_view needs_http;  // the first option given that only HTTP mode takes
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--help") return Options{Options::Mode::Help, {}};
    if (arg == "--version") return Options{Options::Mode::Version, {}};
    // Whatever follows is a secret now in the shell's history: never repeat it.
    if (arg == "--token" || arg.starts_with("--token="))
      return fail("the token is never taken on the command line: use --token-file or " + std::string(token_variable));
    const ValueOption* option = findValueOption(arg);
    if (!option) return fail(notAnOption(arg));
    if (i + 1 == args.size()) return fail(std::string(arg) + " needs a value: " + std::string(option->value));
    std::string_view value = args[++i];
    if (arg != "--http" && needs_http.empty()) needs_http = arg;
    if (arg == "--http") {
      if (!listen.empty()) return fail("--http given twice");
      Expected<HttpOptions, std::string> http = parseListen(value);
      if (!http) return fail(http.error());
      http->allowed_hosts = std::move(options.http.allowed_hosts);  // those given before --http
      http->allowed_origins = std::move(options.http.allowed_origins);
      options = Options{Options::Mode::Http, std::move(*http)};
      listen = value;
    } else if (arg == "--token-file") {
      if (token_file) return fail("--token-file given twice");
      token_file = std::string(value);
    } else if (arg == "--allow-host") {
      Expected<std::string, std::string> host = parseAllowedHost(value);
      if (!host) return fail(host.error());
      options.http.allowed_hosts.push_back(std::move(*host));
    } else {
      Expected<std::string, std::string> origin = parseAllowedOrigin(value);
      if (!origin) return fail(origin.error());
      options.http.allowed_origins.push_back(std::move(*origin));
    }
  }
  if (listen.empty()) {
    if (!needs_http.empty()) return fail(std::string(needs_http) + " needs --http");
    return options;
  }
  return finishHttp(std::move(options), listen, token_file ? &*token_file : nullptr, token_env);
}

// The synopsis, which usage() and helpText() share.
#define DEMO_SYNOPSIS                                                   \
  "usage: demo_server\n"                                                 \
  "       demo_server --http [HOST:]PORT [--allow-host NAME]...\n"       \
  "                   [--allow-origin ORIGIN]... [--token-file PATH]\n" \
  "       demo_server --help | --version\n"

std::string_view usage() { return DEMO_SYNOPSIS; }

// Lines stay under 80 columns.
std::string_view helpText() {
  return "demo_server: an MCP demo server. With no arguments, it speaks JSON-RPC\n"
         "on standard input and output, one message per line.\n"
         "\n"
         DEMO_SYNOPSIS
         "\n"
         "  --http [HOST:]PORT     Serve MCP over HTTP instead: Streamable HTTP at\n"
         "                         /mcp, the older HTTP+SSE at /sse. HOST is an IPv4\n"
         "                         address, localhost, or an IPv6 address in\n"
         "                         brackets ([::1]); 127.0.0.1 by default. PORT 0\n"
         "                         takes any free port.\n"
         "  --allow-host NAME      Also accept NAME in the Host header, with or\n"
         "                         without a port (localhost, 127.0.0.1 and [::1]\n"
         "                         always are). Repeatable.\n"
         "  --allow-origin ORIGIN  Also accept requests from the browser origin\n"
         "                         ORIGIN: http://host[:port] or https://host[:port].\n"
         "                         Repeatable.\n"
         "  --token-file PATH      Require the bearer token on the first line of\n"
         "                         PATH; without this option, the token is\n"
         "                         DEMO_SERVER_TOKEN when set and not empty. The\n"
         "                         token is never taken on the command line, which\n"
         "                         every local user can read.\n"
         "  --help                 Print this help and exit.\n"
         "  --version              Print the version and exit.\n"
         "\n"
         "--allow-host, --allow-origin and --token-file need --http. A HOST other\n"
         "than loopback (127.0.0.0/8, ::1, localhost) needs a token. With a token,\n"
         "every request must carry it.\n";
}

#undef DEMO_SYNOPSIS

std::string_view versionText() { return "demo_server " DEMO_VERSION "\n"; }
