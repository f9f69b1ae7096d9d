#include "tools/client_requests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "protocol/message.h"
#include "support/capture.h"
#include "support/lines.h"

namespace {

using namespace std::chrono_literals;

// Calls here have string ids; `call_id` is the text inside the quotes.
std::string quoted(std::string_view call_id) { return "\"" + std::string(call_id) + "\""; }

std::string askLine(std::string_view call_id) {
  return requestLine("tools/call", R"({"name":"ask_client"})", quoted(call_id));
}

std::string request(std::int64_t id) { return requestLine("roots/list", "{}", std::to_string(id)); }

// The answers used here hold no characters that need escaping but quotes and backslashes.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string answered(std::string_view call_id, std::string_view answer) {
  return resultLine("client answered: " + escaped(answer), false, quoted(call_id));
}

// The result of a call whose client answered, but whose answer could not be kept for lack of memory.
std::string answerLost(std::string_view call_id) {
  return resultLine("the client's answer could not be kept for lack of memory", true, quoted(call_id));
}

// The time-out result of a call whose request waited `seconds` (written as the reply writes it).
std::string timedOut(std::string_view call_id, std::string_view seconds) {
  return resultLine("the client did not answer within " + std::string(seconds) + " s", true, quoted(call_id));
}

std::int64_t lastId(const TestServer& t) { return t.session.requests.next_id; }

// Starts an ask_client call and checks that its request, the next one, is out.
void startAsk(TestServer& t, std::string_view call_id) {
  std::int64_t id = lastId(t) + 1;
  EXPECT_EQ(t.run(askLine(call_id)), std::vector<std::string>{request(id)});
}

// Sleeping calls hold nothing up: the client's answer reaches ask_client while they sleep.
TEST(AskClient, AnsweredWhileOthersSleep) {
  TestServer t;
  for (const char* id : {"s1", "s2", "s3"}) t.handle(callLine("slow", R"({"seconds":60})", "", quoted(id)));
  startAsk(t, "a");
  t.advance(9s);
  EXPECT_EQ(t.run(R"({"jsonrpc":"2.0","id":1001,"result":{}})"),
            std::vector<std::string>{answered("a", R"({"jsonrpc":"2.0","id":1001,"result":{}})")});
}

// A client's line, with the id of the pending request between the two parts.
struct AroundId {
  std::string before_id;
  std::string after_id;
};

// The tool gets the whole answering line as the client sent it, less the blanks around it, whatever
// it holds. Ids count up from 1001.
TEST(AskClient, Answered) {
  const AroundId cases[] = {
      {R"({"jsonrpc":"2.0","id":)", R"(,"result":{"roots":[]}})"},
      {" \t " R"({"jsonrpc":"2.0","id":)", R"(,"result":{"roots":[{"uri":"file:///tmp"}]}})" " \r"},
      {R"({"jsonrpc":"2.0","id":)", R"(.0,"result":{"roots":[]}})"},
      {R"({"jsonrpc":"2.0","id":)", R"(,"error":{"code":-32601,"message":"no roots"}})"},
      {R"({"result":1,"method":null,"id":)", "}"},
  };
  TestServer t;
  std::int64_t id = 1001;
  for (const AroundId& c : cases) {
    std::string line = c.before_id + std::to_string(id) + c.after_id;
    SCOPED_TRACE(line);
    startAsk(t, "c");
    EXPECT_EQ(lastId(t), id);
    t.handle(line);
    t.advance(0s);  // the answer resumes the call on the loop's next step
    std::string_view trimmed = line;
    trimmed.remove_prefix(trimmed.find('{'));
    trimmed.remove_suffix(trimmed.size() - 1 - trimmed.rfind('}'));
    EXPECT_EQ(t.out.take(), std::vector<std::string>{answered("c", trimmed)});
    ++id;
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// Messages that do not match the pending id leave the request waiting; after 10 s it ends with the
// time-out result, and the right answer coming after that is dropped without a trace.
TEST(AskClient, UnansweredRequestsTimeOut) {
  const AroundId cases[] = {
      {R"({"jsonrpc":"2.0","id":")", R"(","result":{"roots":[]}})"},
      {R"({"jsonrpc":"2.0","id":[)", R"(],"result":{"roots":[]}})"},
      {R"({"jsonrpc":"2.0","id":)", R"(.5,"result":{"roots":[]}})"},
      {R"({"jsonrpc":"2.0","id":)", R"(1,"result":{"roots":[]}})"},
      {R"({"jsonrpc":"2.0","id":null,"result":)", "}"},
      {R"({"jsonrpc":"2.0","result":)", "}"},
  };
  TestServer t;
  for (const AroundId& c : cases) {
    std::int64_t id = lastId(t) + 1;
    std::string wrong = c.before_id + std::to_string(id) + c.after_id;
    SCOPED_TRACE(wrong);
    startAsk(t, "w");
    EXPECT_EQ(t.run(wrong), std::vector<std::string>{});
    t.advance(9999ms);
    EXPECT_EQ(t.out.take(), std::vector<std::string>{});
    t.advance(1ms);
    EXPECT_EQ(t.out.take(), std::vector<std::string>{timedOut("w", "10")});
    EXPECT_EQ(t.run(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{"roots":[]}})"),
              std::vector<std::string>{});
  }
  EXPECT_TRUE(t.log.lines().empty());
}

TEST(AskClient, SecondAnswerIsDropped) {
  TestServer t;
  startAsk(t, "c");
  t.handle(R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[]}})");
  t.handle(R"({"jsonrpc":"2.0","id":1001,"result":{"roots":["second"]}})");
  t.advance(0s);
  EXPECT_EQ(t.out.take(), std::vector<std::string>{answered("c", R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[]}})")});
  EXPECT_TRUE(t.log.lines().empty());
}

// Two calls wait at once; each wakes for the answer carrying its own id, in the order answers come.
TEST(AskClient, TwoAtOnce) {
  const std::string first = R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[1]}})";
  const std::string second = R"({"jsonrpc":"2.0","id":1002,"result":{"roots":[2]}})";
  TestServer t;
  startAsk(t, "a");
  startAsk(t, "b");
  EXPECT_EQ(t.run(second), std::vector<std::string>{answered("b", second)});
  EXPECT_EQ(t.run(first), std::vector<std::string>{answered("a", first)});
}

// The 10 s count from when the request has left: a client slow to read it does not lose its time.
TEST(AskClient, TimeCountsFromWhenTheRequestHasLeft) {
  TestServer t;
  t.out.holdDeliveries();
  startAsk(t, "a");
  t.advance(30s);  // the request still waits to be read
  EXPECT_EQ(t.out.take(), std::vector<std::string>{});
  t.out.releaseDeliveries();
  t.advance(9999ms);
  EXPECT_EQ(t.out.take(), std::vector<std::string>{});
  t.advance(1ms);
  EXPECT_EQ(t.out.take(), std::vector<std::string>{timedOut("a", "10")});
}

// An answer may come before the server has seen its request leave: the call takes it then.
TEST(AskClient, AnswerBeforeTheRequestHasLeft) {
  const std::string answer = R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[]}})";
  TestServer t;
  t.out.holdDeliveries();
  startAsk(t, "a");
  EXPECT_EQ(t.run(answer), std::vector<std::string>{});
  t.out.releaseDeliveries();
  EXPECT_EQ(t.out.take(), std::vector<std::string>{answered("a", answer)});
}

// An answer that arrives but cannot be kept gets the call exactly one reply, a tool error that says
// so, and one report, rather than passing for an answer that never came.
TEST(AskClient, AnswerThatCannotBeKept) {
  TestServer t;
  startAsk(t, "c");
  t.gpa.arm(1);  // the answer's message reuses the kept arena: the 1st allocation is its copy
  t.handle(R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[]}})");
  t.gpa.arm(0);
  t.advance(0s);
  EXPECT_EQ(t.out.take(), std::vector<std::string>{answerLost("c")});
  EXPECT_EQ(t.log.take(), std::vector<std::string>{"out of memory; message dropped"});
}

// Every run ends in one of: the answered reply; nothing sent; the request but no reply; or, when the
// answer itself was dropped, the time-out result. All but the first leave exactly one report.
TEST(AskClient, OutOfMemory) {
  TestServer t;
  startAsk(t, "warm-up");  // the table of pending requests keeps its buckets from now on
  t.run(R"({"id":1001,"result":{}})");
  std::size_t baseline = t.gpa.outstanding();
  for (std::size_t n = 1;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    ASSERT_LT(n, 1000u);
    std::int64_t id = lastId(t) + 1;
    std::string answer = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{"roots":[]}})";
    t.gpa.arm(n);
    t.handle(askLine("c"));
    if (t.out.lines() == std::vector<std::string>{request(id)}) t.handle(answer);
    t.finishCalls();
    std::size_t used = t.gpa.allocations();
    t.gpa.arm(0);
    std::vector<std::string> out = t.out.take();
    std::vector<std::string> log = t.log.take();
    EXPECT_EQ(t.gpa.outstanding(), baseline);
    if (out == std::vector<std::string>{request(id), answered("c", answer)}) {
      EXPECT_TRUE(log.empty());
    } else {
      EXPECT_TRUE(out.empty() || out == std::vector<std::string>{request(id)} ||
                  out == (std::vector<std::string>{request(id), timedOut("c", "10")}) ||
                  out == (std::vector<std::string>{request(id), answerLost("c")}))
          << testing::PrintToString(out);
      EXPECT_EQ(log, std::vector<std::string>{"out of memory; message dropped"});
    }
    EXPECT_EQ(t.replyTo(R"({"id":"next","method":"ping"})"), R"({"jsonrpc":"2.0","id":"next","result":{}})");
    if (used < n) return;  // the failure point lay past the call: it went through whole
  }
}

}  // namespace
