#include "platform/base/ordered_parallel.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <stdexcept>
#include <vector>

#include "platform/base/worker_pool.hpp"
#include "platform/base/yield.hpp"
#include "support/limits_scope.hpp"
#include "support/pool_control.hpp"

namespace zoetra::platform {
namespace {

TEST(OrderedParallelTest, FinishesEveryJobInOrderOnTheCallingThread) {
  for (unsigned workers : {0u, 1u, 3u, 8u}) {
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<int> value(50, 0);
    std::vector<std::size_t> order;
    OrderedParallel(
        value.size(), workers, [&](std::size_t k, unsigned worker) {
          EXPECT_LT(worker, std::max(1u, workers));
          value[k] = static_cast<int>(k) * 3;
        },
        [&](std::size_t k) {
          EXPECT_EQ(std::this_thread::get_id(), caller);
          EXPECT_EQ(value[k], static_cast<int>(k) * 3) << "done before its job";
          order.push_back(k);
        });
    ASSERT_EQ(order.size(), value.size()) << workers << " workers";
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k);
  }
}

TEST(OrderedParallelTest, AJobsFailureArrivesInItsPlaceAndNothingRunsAfter) {
  for (unsigned workers : {0u, 4u}) {
    std::atomic<int> ran{0};
    std::vector<std::size_t> done;
    try {
      OrderedParallel(
          40, workers, [&](std::size_t k, unsigned) {
            ++ran;
            if (k == 7 || k == 20) throw std::runtime_error("job " + std::to_string(k));
          },
          [&](std::size_t k) { done.push_back(k); }, 3);
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "job 7") << "the first failure in list order";
    }
    EXPECT_EQ(done.size(), 7u);
    const int after = ran.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ran.load(), after) << "a job ran after the call returned";
    EXPECT_LE(after, 7 + 1 + 3 + 4) << "the window holds the jobs back";
  }
}

TEST(OrderedParallelTest, TheWindowBoundsJobsAheadAndACancelStopsThem) {
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> finished{0};
  std::size_t worst_ahead = 0;
  constexpr std::size_t kWindow = 2;
  try {
    OrderedParallel(
        200, 4, [&](std::size_t, unsigned) { ++started; },
        [&](std::size_t k) {
          worst_ahead = std::max(worst_ahead, started.load() - k);
          if (++finished == 30) throw std::logic_error("cancelled");
        },
        kWindow);
  } catch (const std::logic_error&) {
  }
  EXPECT_EQ(finished.load(), 30u);
  EXPECT_LE(worst_ahead, kWindow + 1) << "jobs started past the window";
  EXPECT_LT(started.load(), 40u) << "jobs kept starting after the cancel";
}

// Every pool thread held by a task that waits for the test: the caller does every job itself.
TEST(OrderedParallelTest, CompletesOnTheCallerWhenEveryPoolThreadIsHeld) {
  const test::LimitsScope limits(4);
  test::DrainPool();
  const test::PoolHold hold(3);
  for (std::size_t window : {0u, 2u}) {
    const std::thread::id caller = std::this_thread::get_id();
    int wrong_worker = 0;  // written on the calling thread only
    std::atomic<int> off_caller{0};
    std::vector<std::size_t> order;
    OrderedParallel(
        30, 4,
        [&](std::size_t, unsigned worker) {
          if (std::this_thread::get_id() != caller) {
            ++off_caller;
          } else if (worker != 0) {
            ++wrong_worker;
          }
        },
        [&](std::size_t k) { order.push_back(k); }, window);
    EXPECT_EQ(off_caller.load(), 0) << "window " << window;
    EXPECT_EQ(wrong_worker, 0) << "the caller ran a job under a helper's worker number";
    ASSERT_EQ(order.size(), 30u);
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k);
  }
}

TEST(OrderedParallelTest, HelpersRunJobsUnderTheCallersStopQueryAndPutTheirOwnBack) {
  const test::LimitsScope limits(4);
  test::DrainPool();
  const auto query = std::make_shared<const StopQuery>([] { return false; });
  const StopQueryScope scope(query);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> off_caller{0}, without{0};
  OrderedParallel(
      8, 4,
      [&](std::size_t k, unsigned) {
        if (CurrentStopQuery() != query) ++without;
        if (std::this_thread::get_id() != caller) ++off_caller;
        // The first job holds the calling thread until a helper has run one.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (k == 0 && off_caller == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
      },
      [](std::size_t) {});
  ASSERT_GT(off_caller.load(), 0) << "no helper ran a job";
  EXPECT_EQ(without.load(), 0) << "a job ran without the caller's stop query";
  // The pool's threads are left without it once the call is over.
  std::atomic<bool> pool_clear{false};
  std::atomic<bool> ran{false};
  ASSERT_TRUE(PostToPool([&] {
    pool_clear = CurrentStopQuery() == nullptr;
    ran = true;
  }));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ran && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(ran.load());
  EXPECT_TRUE(pool_clear.load());
}

TEST(OrderedParallelTest, PoolGrowsOnDemandToItsLimitAndShrinksWhenItIsLowered) {
  const test::LimitsScope limits(8);
  test::DrainPool();
  {
    const test::PoolHold hold(7);
    EXPECT_EQ(PoolThreadCount(), 7u);
  }
  limits.SetMaxThreads(3);
  test::DrainPool();
  EXPECT_LE(PoolThreadCount(), 2u);
  limits.SetMaxThreads(1);
  test::DrainPool();
  EXPECT_EQ(PoolThreadCount(), 0u);
  EXPECT_FALSE(PostToPool([] {})) << "no thread may take a task";
}

// A host that forks after a conversion and ends the child with exit: the
// pool's threads are the parent's, and the child must not wait to join them.
TEST(OrderedParallelTest, AForkedChildEndsWithoutThePoolsThreads) {
  const test::LimitsScope limits(3);
  { const test::PoolHold hold(2); }
  ASSERT_EQ(PoolThreadCount(), 2u);
  // Time for both to wait for work again: the child's copy of the pool then
  // counts them as waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) std::exit(0);
  int status = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      FAIL() << "the child hung in exit";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace zoetra::platform
