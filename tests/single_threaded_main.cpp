// The main of the single-threaded tests. A test that starts a worker thread or the server process
// fails here: it belongs among the concurrency tests, which ThreadSanitizer runs too.

#include <gtest/gtest.h>

#include "protocol/task_group.h"
#include "support/process.h"

namespace {

class StaysSingleThreaded : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    threads_ = TaskGroup::threadsStarted();
    servers_ = serversStarted();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    EXPECT_EQ(TaskGroup::threadsStarted(), threads_) << "this test starts workers: move it to a concurrency test file";
    EXPECT_EQ(serversStarted(), servers_) << "this test starts the server: move it to a concurrency test file";
  }
  std::size_t threads_ = 0;
  std::size_t servers_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new StaysSingleThreaded);
  return RUN_ALL_TESTS();
}
