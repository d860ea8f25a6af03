// The event stream: many producers feeding one consumer without loss or reordering per producer,
// the end after a finish, the termination handler (once, whoever ends the stream), values after
// the end dropped, notifications for event-loop consumers, and next() waiting for a value.
#include "engine/Common/AsyncStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

namespace pelorin {
namespace {

using namespace std::chrono_literals;
using Stream = AsyncStream<std::pair<int, int>>; // (producer, sequence)

// next() on a helper thread, so a stream that never wakes its consumer fails instead of hanging.
template <typename T>
std::optional<std::optional<T>> nextWithin(AsyncStream<T>& stream, std::chrono::seconds limit = 20s)
{
    auto value = std::async(std::launch::async, [&] { return stream.next(); });
    if (value.wait_for(limit) != std::future_status::ready) {
        stream.terminate(); // wakes the waiting next()
        value.wait();
        return std::nullopt;
    }
    return value.get();
}

TEST(AsyncStream, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder)
{
    constexpr int producers = 4, perProducer = 5000;
    auto [stream, continuation] = Stream::make();
    std::atomic<int> terminations = 0;
    continuation.setOnTermination([&] { ++terminations; });

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p, continuation] {
            for (int i = 0; i < perProducer; ++i)
                EXPECT_TRUE(continuation.yield({p, i}));
        });
    // The consumer reads while the producers are still writing.
    std::vector<int> nextExpected(producers, 0);
    int received = 0;
    auto finisher = std::thread([&] {
        for (auto& t : threads)
            t.join();
        continuation.finish();
    });
    while (true) {
        auto value = nextWithin(stream);
        ASSERT_TRUE(value.has_value()) << "next() did not return after " << received << " values";
        if (!*value)
            break;
        const auto [p, i] = **value;
        ASSERT_EQ(i, nextExpected[p]) << "producer " << p;
        ++nextExpected[p];
        ++received;
    }
    finisher.join();
    EXPECT_EQ(received, producers * perProducer);
    EXPECT_TRUE(stream.isDrained());
    EXPECT_EQ(terminations, 1);
}

TEST(AsyncStream, FinishedStreamHandsOutItsBufferThenEndsAndDropsLaterValues)
{
    auto [stream, continuation] = AsyncStream<int>::make();
    int terminations = 0;
    continuation.setOnTermination([&] { ++terminations; });
    EXPECT_TRUE(continuation.yield(1));
    EXPECT_TRUE(continuation.yield(2));
    continuation.finish();
    continuation.finish();
    EXPECT_FALSE(continuation.yield(3));
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(stream.isDrained());
    EXPECT_EQ(stream.next(), 1);
    EXPECT_EQ(stream.tryNext(), 2);
    EXPECT_EQ(stream.next(), std::nullopt);
    EXPECT_TRUE(stream.isDrained());

    // A handler registered after the end runs at once.
    bool late = false;
    continuation.setOnTermination([&] { late = true; });
    EXPECT_TRUE(late);
    stream.terminate();
    EXPECT_EQ(terminations, 1);
}

TEST(AsyncStream, TerminationHandlerRunsOnceWhicheverSideEndsTheStream)
{
    // Whether the producer finishes first, and whether the consumer is destroyed rather than terminated.
    for (const auto& [name, finishFirst, dropConsumer] :
         {std::tuple{"finish, then consumer leaves", true, true}, {"consumer terminates, then finish", false, false},
          {"consumer destroyed, then finish", false, true}}) {
        SCOPED_TRACE(name);
        auto made = AsyncStream<int>::make();
        auto continuation = made.second;
        std::atomic<int> terminations = 0;
        continuation.setOnTermination([&] { ++terminations; });
        {
            auto stream = std::move(made.first);
            EXPECT_TRUE(continuation.yield(7));
            if (finishFirst)
                continuation.finish();
            if (!dropConsumer)
                stream.terminate();
        }
        EXPECT_EQ(terminations, 1);
        if (!finishFirst)
            continuation.finish();
        EXPECT_FALSE(continuation.yield(8)) << "a value after the end was accepted";
        EXPECT_EQ(terminations, 1);
    }
}

TEST(AsyncStream, ConsumerLeavingDiscardsItsBufferAndWakesAWaitingNext)
{
    auto [stream, continuation] = AsyncStream<int>::make();
    EXPECT_TRUE(continuation.yield(1));
    stream.terminate();
    EXPECT_EQ(stream.tryNext(), std::nullopt);
    EXPECT_TRUE(stream.isDrained());

    auto [waiting, producer] = AsyncStream<int>::make();
    auto value = std::async(std::launch::async, [&waiting] { return waiting.next(); });
    EXPECT_EQ(value.wait_for(100ms), std::future_status::timeout) << "next() returned with nothing to give";
    waiting.terminate();
    ASSERT_EQ(value.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(value.get(), std::nullopt);
}

TEST(AsyncStream, OnAvailableFiresForEachValueAndTheEndAndAtOnceForWhatIsWaiting)
{
    auto [stream, continuation] = AsyncStream<int>::make();
    EXPECT_TRUE(continuation.yield(1));
    std::atomic<int> notified = 0;
    stream.setOnAvailable([&] { ++notified; });
    EXPECT_EQ(notified, 1) << "a value already waiting was not announced";

    // Notifications arrive on the producing thread; the consumer drains on each.
    std::thread producer([continuation] {
        EXPECT_TRUE(continuation.yield(2));
        EXPECT_TRUE(continuation.yield(3));
        continuation.finish();
    });
    producer.join();
    EXPECT_EQ(notified, 4);
    std::vector<int> values;
    while (auto v = stream.tryNext())
        values.push_back(*v);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(stream.isDrained());

    // A consumer that subscribes after the end learns of it at once; after leaving, nothing.
    auto [ended, endedProducer] = AsyncStream<int>::make();
    endedProducer.finish();
    int late = 0;
    ended.setOnAvailable([&] { ++late; });
    EXPECT_EQ(late, 1);

    auto [left, leftProducer] = AsyncStream<int>::make();
    int afterLeaving = 0;
    left.setOnAvailable([&] { ++afterLeaving; });
    left.terminate();
    EXPECT_FALSE(leftProducer.yield(1));
    leftProducer.finish();
    EXPECT_EQ(afterLeaving, 0);
}

} // namespace
} // namespace pelorin
