// Fuzzes the HTTP request parser and the chunked decoder alone, where llhttp is not there to hold
// them to (fuzz_http_oracle does that). Each input is read as a connection's pipeline of requests,
// and:
// - every view of a head lies inside the input, and a head's size within the input;
// - a head read in two reads, its buffer moved between them, reads as one read at once (head_checks.h);
// - a refusal carries one of the statuses we answer with;
// - the decoder uses no byte it was not given, and decodes no more than it used; a body fed in two
//   reads decodes to what it does in one.
// Any violation aborts with a message, which libFuzzer reports as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "head_checks.h"
#include "transport/http_request.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_http: %s\n", what);
  std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void checkRefusal(const http::Refusal& r) {
  check(r.status == 400 || r.status == 431 || r.status == 501 || r.status == 505, "a status we do not answer with");
  check(!r.reason.empty(), "a refusal without a reason");
}

// Decodes `body` in one read and in two cut at `cut`; returns how many bytes belonged to the body,
// or 0 when it did not end.
std::size_t checkChunked(std::string_view body, std::size_t cut) {
  std::string whole(body);
  http::ChunkedDecoder one;
  const http::BodyResult r = one.decode(whole);
  check(r.payload <= r.used && r.used <= body.size(), "the decoder used bytes it was not given");
  if (r.progress == http::Progress::Refused) checkRefusal(r.refusal);
  if (r.progress == http::Progress::NeedMore) check(r.used == body.size(), "the decoder left bytes unused");

  std::string pieces(body.substr(0, cut));
  http::ChunkedDecoder two;
  const http::BodyResult first = two.decode(pieces);
  if (first.progress == http::Progress::Refused) check(r.progress == first.progress, "a refusal goes away with more bytes");
  if (first.progress == http::Progress::NeedMore) {
    pieces.resize(first.payload);
    pieces += body.substr(cut);
    const http::BodyResult second = two.decode(std::span(pieces).subspan(first.payload));
    check(second.progress == r.progress, "a body cut in two reads ends otherwise");
    if (r.progress == http::Progress::Done) {
      check(first.payload + second.payload == r.payload && pieces.substr(0, r.payload) == whole.substr(0, r.payload),
            "a body cut in two reads decodes otherwise");
    }
  }
  return r.progress == http::Progress::Done ? r.used : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; at < input.size();) {
    const std::string_view rest = input.substr(at);
    http::RequestHead head;
    const http::HeadResult h = head_checks::parseInTwo(rest, (size * 13) % (rest.size() + 1), head);
    if (h.progress == http::Progress::Refused) checkRefusal(h.refusal);
    if (h.progress != http::Progress::Done) return 0;
    check(h.size <= rest.size() && inside(head.method, rest) && inside(head.target, rest), "a view outside the head");
    for (std::size_t i = 0; i < head.header_count; ++i) {
      const http::Header f = head.field(i);
      const std::string_view in = rest.substr(0, h.size);
      check(inside(f.name, in) && inside(f.value, in), "a field outside the head");
    }
    at += h.size;
    if (head.framing == http::Framing::Chunked) {
      const std::size_t used = checkChunked(input.substr(at), (size * 7) % (input.size() - at + 1));
      if (used == 0) return 0;
      at += used;
    } else {
      if (input.size() - at < head.content_length) return 0;
      at += head.content_length;
    }
  }
  return 0;
}
