// The bounded queue between Paho's threads and the client's owner.
#include "thread_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace kavrion::mosquitto {
namespace {

using namespace std::chrono_literals;

struct LengthCost {
  std::size_t operator()(const std::string& s) const { return s.size(); }
};

TEST(ThreadQueue, HandsItemsOutInArrivalOrder) {
  ThreadQueue<std::unique_ptr<int>> queue(10, 10);
  queue.put(std::make_unique<int>(1));
  queue.put(std::make_unique<int>(2));
  std::unique_ptr<int> out;
  ASSERT_TRUE(queue.try_get_for(&out, 0ms));
  EXPECT_EQ(*out, 1);
  ASSERT_TRUE(queue.try_get_for(&out, 0ms));
  EXPECT_EQ(*out, 2);
  EXPECT_FALSE(queue.try_get_for(&out, 10ms));
}

TEST(ThreadQueue, CountBoundDropsTheOldest) {
  ThreadQueue<int> queue(3, 1000);
  EXPECT_EQ(queue.put(1), 0u);
  queue.put(2);
  queue.put(3);
  EXPECT_EQ(queue.put(4), 1u);
  EXPECT_EQ(queue.put(5), 1u);
  EXPECT_EQ(queue.take_dropped(), 2u);
  EXPECT_EQ(queue.take_dropped(), 0u);
  int out = 0;
  ASSERT_TRUE(queue.try_get_for(&out, 0ms));
  EXPECT_EQ(out, 3);
  EXPECT_EQ(queue.size(), 2u);
}

TEST(ThreadQueue, CostBoundDropsAsManyOldestAsNeeded) {
  ThreadQueue<std::string, LengthCost> queue(100, 10);
  queue.put("aaaa");
  queue.put("bbbb");
  EXPECT_EQ(queue.put("cc"), 0u);  // exactly at the bound
  EXPECT_EQ(queue.put("ddddddddd"), 3u);
  std::string out;
  ASSERT_TRUE(queue.try_get_for(&out, 0ms));
  EXPECT_EQ(out, "ddddddddd");
  EXPECT_EQ(queue.size(), 0u);
}

TEST(ThreadQueue, KeepsTheNewestItemEvenWhenItAlonePassesTheCostBound) {
  ThreadQueue<std::string, LengthCost> queue(100, 4);
  queue.put("ab");
  EXPECT_EQ(queue.put("0123456789"), 1u);
  EXPECT_EQ(queue.size(), 1u);
  // The cost of taken items is given back: small items fit again.
  std::string out;
  ASSERT_TRUE(queue.try_get_for(&out, 0ms));
  EXPECT_EQ(queue.put("ab"), 0u);
  EXPECT_EQ(queue.put("cd"), 0u);
  EXPECT_EQ(queue.size(), 2u);
}

TEST(ThreadQueue, ClearEmptiesAndReleasesTheCost) {
  ThreadQueue<std::string, LengthCost> queue(100, 8);
  queue.put("aaaa");
  queue.put("bbbb");
  EXPECT_EQ(queue.clear(), 2u);
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.put("cccc"), 0u);
  EXPECT_EQ(queue.put("dddd"), 0u);
}

TEST(ThreadQueue, WaitingGetWakesForAnItemFromAnotherThread) {
  ThreadQueue<int> queue(10, 10);
  std::thread producer([&] {
    std::this_thread::sleep_for(50ms);
    queue.put(7);
  });
  int out = 0;
  const bool got = queue.try_get_for(&out, 5s);
  producer.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(out, 7);
}

TEST(ThreadQueue, ManyProducersLoseNothingBelowTheBound) {
  ThreadQueue<int> queue(100000, 100000);
  constexpr int kPerThread = 5000;
  std::thread a([&] {
    for (int i = 0; i < kPerThread; ++i) queue.put(i);
  });
  std::thread b([&] {
    for (int i = 0; i < kPerThread; ++i) queue.put(-i - 1);
  });
  long long sum = 0;
  int out = 0;
  for (int i = 0; i < 2 * kPerThread; ++i) {
    ASSERT_TRUE(queue.try_get_for(&out, 5s));
    sum += out;
  }
  a.join();
  b.join();
  EXPECT_EQ(sum, -kPerThread);  // (0 + ... + 4999) - (1 + ... + 5000)
  EXPECT_EQ(queue.take_dropped(), 0u);
}

}  // namespace
}  // namespace kavrion::mosquitto
