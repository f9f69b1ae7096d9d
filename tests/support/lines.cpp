#include "support/lines.h"

#include <fstream>
#include <sstream>

std::string requestLine(std::string_view method, std::string_view params, std::string_view id) {
  std::string line = R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"method":")" + std::string(method) + "\"";
  if (!params.empty()) line += R"(,"params":)" + std::string(params);
  return line + "}";
}

std::string callLine(std::string_view name, std::string_view arguments, std::string_view more, std::string_view id) {
  std::string params = R"({"name":")" + std::string(name) + R"(","arguments":)" + std::string(arguments);
  return requestLine("tools/call", params + std::string(more) + "}", id);
}

std::string resultLine(std::string_view text, bool is_error, std::string_view id) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"result":{"content":[{"type":"text","text":")" +
         std::string(text) + R"("}],"isError":)" + (is_error ? "true" : "false") + "}}";
}

std::string errorLine(int code, std::string_view message, std::string_view id) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"error":{"code":)" + std::to_string(code) +
         R"(,"message":")" + std::string(message) + R"("}})";
}

std::string invalidLine(std::string_view message, std::string_view id) { return errorLine(-32602, message, id); }

std::vector<std::string> notifyLines(int steps, std::string_view token) {
  std::vector<std::string> lines;
  for (int i = 1; i <= steps; ++i) {
    std::string step = std::to_string(i), total = std::to_string(steps);
    lines.push_back(R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","logger":"demo",)"
                    R"("data":"step )" + step + "/" + total + R"("}})");
    if (token.empty()) continue;
    lines.push_back(R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":)" +
                    std::string(token) + R"(,"progress":)" + step + R"(,"total":)" + total + "}}");
  }
  lines.push_back(resultLine("done after " + std::to_string(steps) + " steps"));
  return lines;
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
