// Fuzzes message handling end to end, as a client sees it. The input is split into lines the way
// the line loop splits standard input (at "\n", the last piece too), and each line goes to
// handle() of a server over capturing sinks. Its loop runs on a clock of the fuzzer's own: once the
// lines are handled, the clock jumps from timer to timer until no call waits, so slow calls, notify's
// pauses and the time-outs of requests to the client all take no time, and every run of an input is
// the same. One server serves the whole run; between inputs nothing is pending, and the ids of
// requests to the client start again from 1001, so an input meets the server as a fresh one would.
// Once every tool call of an input has ended:
// - every line written is one JSON object (by our own parser) and holds no raw line feed;
// - every request got exactly one reply carrying its own id, every line that is not JSON or not an
//   object got one reply with id null, and nothing else was answered;
// - a request whose id nests too deeply to be written got, instead, one report on the log, as did
//   each progress notification whose token nests too deeply, and the log holds nothing else;
// - requests to the client carry integer ids from 1001 up, each used once;
// - the server's memory resource has got back all the input gave out: it holds as many blocks as
//   after the warm-up, which leaves the table of pending requests with its buckets;
// and when the run ends and the server is released, every block has come back.
// Any violation aborts with a message, which libFuzzer reports as a crash; ASan and UBSan watch
// the rest. Lines that call "crash" are not handled at all, since it ends the process; a line is
// judged by parsing it with the same parser (built from the same source, see handle_checks.h) and
// the same member rules as handle(), so escapes in the tool name ("cr\u0061sh") do not slip through.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "handle_checks.h"
#include "runtime/loop.h"
#include "server/server.h"

namespace {

// Keeps the lines of one input, one after another in one string. clear() keeps its capacity, so
// later inputs mostly write without allocating, and it never holds more than one input's output.
class CapturingSink {
 public:
  Sink sink() {
    return Sink{this, [](void* ctx, std::string_view line) {
                  auto* self = static_cast<CapturingSink*>(ctx);
                  self->text_ += line;
                  self->ends_.push_back(self->text_.size());
                }};
  }
  // The lines written since clear(), valid until the next write.
  std::span<const std::string_view> lines() {
    views_.clear();
    std::size_t begin = 0;
    for (std::size_t end : ends_) {
      views_.push_back(std::string_view(text_).substr(begin, end - begin));
      begin = end;
    }
    return views_;
  }
  void clear() {
    text_.clear();
    ends_.clear();
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;        // where each line ends in text_
  std::vector<std::string_view> views_;  // what lines() returned last
};

// new/delete, counting what is still given out.
class CountingResource : public std::pmr::memory_resource {
 public:
  std::size_t outstanding() const { return outstanding_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override {
    void* p = ::operator new(bytes, std::align_val_t(align));
    ++outstanding_;
    return p;
  }
  void do_deallocate(void* p, std::size_t, std::size_t align) override {
    --outstanding_;
    ::operator delete(p, std::align_val_t(align));
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::size_t outstanding_ = 0;
};

// The server of the whole run, warmed up. Released at exit, when all its memory must come back.
class Fixture {
 public:
  Fixture() {
    loop_.emplace(gpa_, clock());
    server_ = initServer(gpa_, *loop_);
    check(server_ != nullptr, "the server did not start");
    session_.emplace(gpa_, Wire{out_.sink(), log_.sink()});
    first_ask_id_ = session_->requests.next_id;
    // The first request to the client gives the table of pending requests the buckets it keeps.
    run(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"ask_client"}})");
    baseline_ = gpa_.outstanding();
  }
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;
  ~Fixture() {
    session_.reset();
    server_.reset();
    loop_.reset();
    check(gpa_.outstanding() == 0, "the server did not give back all its memory");
  }

  // Handles `input` and checks what came out, and that its memory came back.
  void test(std::string_view input) {
    run(input);
    check(gpa_.outstanding() == baseline_, "an input's memory did not all come back");
  }

 private:
  void run(std::string_view input) {
    session_->requests.next_id = first_ask_id_;  // no tool call runs: the ids of a fresh server
    Due e;
    for (;;) {
      const std::size_t newline = input.find('\n');
      const std::string_view line = input.substr(0, newline);
      if (classify(line, e)) handle(*server_, *session_, line);
      if (newline == std::string_view::npos) break;
      input.remove_prefix(newline + 1);
    }
    while (loop_->tasks > 0) {  // from timer to timer, until no call waits
      std::optional<Loop::Time> next = loop_->nextDeadline();
      check(next.has_value(), "a call waits for nothing that could ever come");
      now_ = *next;
      loop_->fireDue();
    }
    std::int64_t asked = session_->requests.next_id - first_ask_id_;
    checkOutput(out_.lines(), e, asked);
    checkLog(log_.lines(), e);
    out_.clear();
    log_.clear();
  }

  LoopClock clock() const {
    return {[](const void* self) { return static_cast<const Fixture*>(self)->now_; }, this};
  }

  CountingResource gpa_;
  CapturingSink out_;
  CapturingSink log_;
  Loop::Time now_{};
  std::optional<Loop> loop_;
  ServerPtr server_;  // declared after what it uses: released first
  std::optional<Session> session_;
  std::int64_t first_ask_id_ = 0;
  std::size_t baseline_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  fixture.test(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
