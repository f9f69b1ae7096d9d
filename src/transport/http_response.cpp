#include "transport/http_response.h"

namespace http {
namespace {

void appendHex(json::Text& out, std::uint64_t n) {
  char digits[16];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[n & 15];
    n >>= 4;
  } while (n != 0);
  while (count > 0) out += digits[--count];
}

void appendHeader(json::Text& out, std::string_view name, std::string_view value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

void appendHead(json::Text& out, const ResponseHead& head) {
  out += "HTTP/1.1 ";
  json::writeDecimal(out, head.status);
  out += ' ';
  out += reasonPhrase(head.status);
  out += "\r\n";
  if (!head.content_type.empty()) appendHeader(out, "Content-Type", head.content_type);
  if (head.status == 204) {
    // No Content says so by its status alone: it carries no length, and no body follows.
  } else if (head.content_length) {
    out += "Content-Length: ";
    json::writeDecimal(out, static_cast<std::int64_t>(*head.content_length));
    out += "\r\n";
  } else {
    if (!head.until_close) appendHeader(out, "Transfer-Encoding", "chunked");
    appendHeader(out, "Cache-Control", "no-store");
    if (head.unbuffered) appendHeader(out, "X-Accel-Buffering", "no");
  }
  if (!head.session_id.empty()) appendHeader(out, "Mcp-Session-Id", head.session_id);
  if (!head.allow.empty()) appendHeader(out, "Allow", head.allow);
  if (!head.allowed_origin.empty()) {
    appendHeader(out, "Access-Control-Allow-Origin", head.allowed_origin);
    appendHeader(out, "Access-Control-Expose-Headers", "Mcp-Session-Id");
    appendHeader(out, "Vary", "Origin");
    if (head.preflight) {
      appendHeader(out, "Access-Control-Allow-Methods", mcp_methods);
      appendHeader(out, "Access-Control-Allow-Headers",
                   "Accept, Authorization, Content-Type, Last-Event-ID, Mcp-Session-Id, MCP-Protocol-Version, Mcp-Method, Mcp-Name");
      appendHeader(out, "Access-Control-Max-Age", "600");
    }
  }
  if (head.ask_for_token) appendHeader(out, "WWW-Authenticate", "Bearer");
  if (head.close) appendHeader(out, "Connection", "close");
  out += "\r\n";
}

void appendChunk(json::Text& out, std::string_view bytes) {
  if (bytes.empty()) return;
  appendHex(out, bytes.size());
  out += "\r\n";
  out += bytes;
  out += "\r\n";
}

void appendLastChunk(json::Text& out) { out += "0\r\n\r\n"; }

void appendEvent(json::Text& out, std::string_view id, std::string_view event, std::string_view data) {
  if (!id.empty()) {
    out += "id: ";
    out += id;
    out += '\n';
  }
  if (!event.empty()) {
    out += "event: ";
    out += event;
    out += '\n';
  }
  out += "data: ";
  out += data;
  out += "\n\n";
}

void appendErrorBody(json::Text& out, std::int64_t code, std::string_view message) {
  out += R"({"jsonrpc":"2.0","id":null,"error":{"code":)";
  json::writeDecimal(out, code);
  out += R"(,"message":)";
  json::writeString(out, message);
  out += "}}";
}

}  // namespace http
