#include "server/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/lines.h"

namespace {

// The arguments of a command line written with single spaces between them.
std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> args;
  while (!line.empty()) {
    std::size_t space = line.find(' ');
    args.push_back(line.substr(0, space));
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
  }
  return args;
}

Expected<Options, std::string> parse(std::string_view line, const char* token_env = nullptr) {
  std::vector<std::string_view> args = split(line);
  return parseOptions(args, token_env);
}

std::string join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

TEST(Options, Accepted) {
  using Mode = Options::Mode;
  struct Case {
    const char* line;
    Mode mode;
    const char* host;
    int port;
    bool loopback;
    const char *hosts, *origins;
  } cases[] = {
      {"", Mode::Stdio, "127.0.0.1", 0, true, "", ""},
      {"--http 8080", Mode::Http, "127.0.0.1", 8080, true, "", ""},
      {"--http localhost:0", Mode::Http, "localhost", 0, true, "", ""},
      {"--http 127.9.9.9:65535", Mode::Http, "127.9.9.9", 65535, true, "", ""},
      {"--http [::1]:1", Mode::Http, "::1", 1, true, "", ""},
      {"--http [::ffff:127.0.0.1]:1", Mode::Http, "::ffff:127.0.0.1", 1, true, "", ""},
      {"--allow-host Example.COM --http 1 --allow-host [FE80::1] --allow-host my_svc", Mode::Http, "127.0.0.1", 1, true,
       "example.com,[fe80::1],my_svc", ""},
      {"--http 1 --allow-origin HTTPS://App.example:443 --allow-origin http://[::1]:8080 --allow-origin http://a:80",
       Mode::Http, "127.0.0.1", 1, true, "", "https://app.example,http://[::1]:8080,http://a"},
      {"--help --bogus", Mode::Help, "127.0.0.1", 0, true, "", ""},
      {"--http 1 --version", Mode::Version, "127.0.0.1", 0, true, "", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Expected<Options, std::string> o = parse(c.line);
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->mode, c.mode);
    EXPECT_EQ(o->http.host, c.host);
    EXPECT_EQ(o->http.port, c.port);
    EXPECT_EQ(o->http.loopback, c.loopback);
    EXPECT_EQ(join(o->http.allowed_hosts), c.hosts);
    EXPECT_EQ(join(o->http.allowed_origins), c.origins);
  }
}

TEST(Options, Refused) {
  struct Case { const char* line; const char* reason; } cases[] = {
      {"--http", "--http needs a value: [HOST:]PORT"},
      {"--http :80", "the host must be"},
      {"--http localhost:", "the port must be"},
      {"--http +80", "the port must be"},
      {"--http 080", "the port must be"},
      {"--http 65536", "the port must be"},
      {"--http 01.2.3.4:80", "the host must be"},
      {"--http 256.0.0.1:80", "the host must be"},
      {"--http 1.2.3:80", "the host must be"},
      {"--http example.com:80", "the host must be"},
      {"--http ::1:80", "an IPv6 address goes in brackets"},
      {"--http [::1]", "needs a port after it"},
      {"--http [::1%lo]:80", "not an IPv6 address"},
      {"--http [1::2::3]:80", "not an IPv6 address"},
      {"--http [1:2:3:4:5:6:7:8:9]:80", "not an IPv6 address"},
      {"--http [127.0.0.1]:80", "not an IPv6 address"},
      {"--http 1 --http 2", "--http given twice"},
      {"--http 1 --token-file a --token-file b", "--token-file given twice"},
      {"--http 1 --allow-host ex.com:80", "the port is left out"},
      {"--http 1 --allow-host a..b", "not a host name"},
      {"--http 1 --allow-host 1.2.3.256", "not a host name"},
      {"--http 1 --allow-origin null", "refused"},
      {"--http 1 --allow-origin http://a.example/", "no path"},
      {"--http 1 --allow-origin ftp://a.example", "an origin is http://host[:port] or https://host[:port]"},
      {"--http 1 --allow-origin http://a.example:0", "the port must be"},
      {"--http 1 --allow-origin http://u@a.example", "the host is not"},
      {"--allow-host x", "--allow-host needs --http"},
      {"--token-file f", "--token-file needs --http"},
      {"--token s3cret", "never taken on the command line"},
      {"--http 1 --token=s3cret", "never taken on the command line"},
      {"--http=80", "--http takes its value as the next argument"},
      {"--bogus --help", "unknown option --bogus"},
      {"8080", "unexpected argument 8080"},
      {"--http 0.0.0.0:80", "\"0.0.0.0:80\" listens beyond this machine, so it needs a token"},
      {"--http [::]:80", "listens beyond this machine"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Expected<Options, std::string> o = parse(c.line);
    ASSERT_FALSE(o.has_value());
    EXPECT_NE(o.error().find(c.reason), std::string::npos) << o.error();
    EXPECT_EQ(o.error().find("s3cret"), std::string::npos);
    EXPECT_EQ(o.error().find('\n'), std::string::npos);
  }
}

// A token file of its own per case, in the temporary folder, removed at the end.
class TokenFile {
 public:
  explicit TokenFile(std::string_view content)
      : path_(std::filesystem::temp_directory_path() /
              ("demo_server_token_" + std::to_string(std::random_device{}()))) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TokenFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

TEST(Options, Token) {
  // `file` null: no --token-file. `reason` null: accepted with `token`.
  struct Case { const char *listen, *env, *file, *token, *reason; } cases[] = {
      {"1", nullptr, nullptr, "", nullptr},
      {"1", "", nullptr, "", nullptr},
      {"0.0.0.0:1", "env-token", nullptr, "env-token", nullptr},
      {"0.0.0.0:1", "", nullptr, "", "listens beyond this machine"},
      {"[::]:1", nullptr, "file-token \t\r\nsecond line\n", "file-token", nullptr},
      {"1", "env-token", "file-token", "file-token", nullptr},
      {"1", nullptr, "", "", "the first line holds no token"},
      {"1", nullptr, " \r\nfile-token\n", "", "the first line holds no token"},
      {"1", nullptr, "two words\n", "", "visible ASCII"},
      {"1", "two words", nullptr, "", "DEMO_SERVER_TOKEN: the token may hold only visible ASCII"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.listen) + " env " + (c.env ? c.env : "unset") + " file " + (c.file ? c.file : "none"));
    std::optional<TokenFile> file;
    std::string path = c.file ? file.emplace(c.file).path() : "";
    std::vector<std::string_view> args = {"--http", c.listen};
    if (c.file) args.insert(args.end(), {"--token-file", path});
    Expected<Options, std::string> o = parseOptions(args, c.env);
    if (c.reason) {
      ASSERT_FALSE(o.has_value());
      EXPECT_NE(o.error().find(c.reason), std::string::npos) << o.error();
    } else {
      ASSERT_TRUE(o.has_value()) << o.error();
      EXPECT_EQ(o->http.token, c.token);
    }
  }
  Expected<Options, std::string> missing = parse("--http 1 --token-file /nonexistent/demo_server_token");
  ASSERT_FALSE(missing.has_value());
  EXPECT_NE(missing.error().find("cannot open the file"), std::string::npos);
  EXPECT_TRUE(parse("", "two words").has_value());  // the stdio server takes no token
}

// The help and the README's "Command line" list the same options, with the same values, in the
// same order: "--http [HOST:]PORT" begins an entry in both.
TEST(Options, HelpAndReadmeAgree) {
  std::vector<std::string> help, readme;
  for (std::string_view text = helpText(); !text.empty();) {
    const std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    if (line.starts_with("  --")) help.emplace_back(line.substr(2, line.find("  ", 2) - 2));
  }
  const std::string file = readFile(DEMO_SOURCE_DIR "/README.md");
  const std::size_t from = file.find("\n## Command line\n");
  ASSERT_NE(from, std::string::npos);
  std::string_view section = std::string_view(file).substr(from + 1);
  section = section.substr(0, section.find("\n## "));
  for (std::size_t at = section.find("\n- `"); at != std::string_view::npos; at = section.find("\n- `", at + 1)) {
    // "- `--help`, `--version`: ...": each name in backquotes before the colon.
    std::string_view entry = section.substr(at + 3);
    entry = entry.substr(0, entry.find("`:") + 1);
    for (std::size_t open = entry.find('`'); open != std::string_view::npos; open = entry.find('`', open + 1)) {
      const std::size_t close = entry.find('`', open + 1);
      readme.emplace_back(entry.substr(open + 1, close - open - 1));
      open = close;
    }
  }
  EXPECT_EQ(help, readme);
  EXPECT_EQ(help.size(), 6u);
}

}  // namespace
