#pragma once
// The lines a client writes and reads, built the way the server writes them, for tests that compare
// whole lines byte for byte; and the text helpers several test files share. Ids are JSON text ("1",
// "\"a\""); a text that goes into a JSON string goes in as it is, so it must be written escaped.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The server's one line on standard error once it is up.
inline constexpr std::string_view ready_line = "demo MCP server (Tarn) ready\n";

// {"jsonrpc":"2.0","id":<id>,"method":"<method>","params":<params>}, without params when empty.
std::string requestLine(std::string_view method, std::string_view params = "", std::string_view id = "1");
// A tools/call of `name`, params {"name":"<name>","arguments":<arguments><more>}: `more` adds members.
// (Other params: requestLine("tools/call", params).)
std::string callLine(std::string_view name, std::string_view arguments, std::string_view more = "",
                     std::string_view id = "1");

// {"jsonrpc":"2.0","id":<id>,"result":{"content":[{"type":"text","text":"<text>"}],"isError":<is_error>}}
std::string resultLine(std::string_view text, bool is_error = false, std::string_view id = "1");
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":"<message>"}}
std::string errorLine(int code, std::string_view message, std::string_view id = "1");
// The -32602 errorLine: invalid params or arguments.
std::string invalidLine(std::string_view message, std::string_view id = "1");

// Everything the notify tool writes for `steps` steps: each step's log message, followed by its
// progress for `token` (JSON text) unless that is empty; the result last.
std::vector<std::string> notifyLines(int steps, std::string_view token);

// `depth` arrays, each inside the one before: "[[[]]]" for 3.
std::string nested(std::size_t depth);
// The lines of `text`, without their newlines.
std::vector<std::string> splitLines(const std::string& text);
// The bytes of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string& path);
