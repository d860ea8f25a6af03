// The event stream: many producers feeding one consumer without loss or reordering per producer,
// the end after a finish, the termination handler (once, whoever ends the stream, however often
// it is finished), values after the end dropped, and notifications for event-loop consumers (the
// only kind the product has).
#include "engine/Common/AsyncStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

namespace pelorin {
namespace {

using namespace std::chrono_literals;

TEST(AsyncStream, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder)
{
    constexpr int producers = 4, perProducer = 5000;
    auto [stream, continuation] = AsyncStream<std::pair<int, int>>::make(); // (producer, sequence)
    std::atomic<int> terminations = 0;
    continuation.setOnTermination([&] { ++terminations; });

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p, continuation] {
            for (int i = 0; i < perProducer; ++i)
                EXPECT_TRUE(continuation.yield({p, i}));
        });
    // The consumer polls as the product's does, while the producers are still writing.
    std::vector<int> nextExpected(producers, 0);
    int received = 0, misordered = 0;
    auto finisher = std::thread([&] {
        for (auto& t : threads)
            t.join();
        continuation.finish();
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!stream.isDrained() && std::chrono::steady_clock::now() < deadline)
        if (const auto value = stream.tryNext()) {
            misordered += value->second != nextExpected[value->first]++;
            ++received;
        }
    finisher.join();
    EXPECT_EQ(received, producers * perProducer);
    EXPECT_EQ(misordered, 0);
    EXPECT_TRUE(stream.isDrained());
    EXPECT_EQ(terminations, 1);
}

// The consumer leaving discards what was buffered.
TEST(AsyncStream, TerminationHandlerRunsOnceWhicheverSideEndsTheStream)
{
    // Whether the producer finishes first, and whether the consumer is destroyed rather than terminated.
    for (const auto& [name, finishFirst, dropConsumer] : {std::tuple{"finish, then consumer leaves", true, true},
                                                          {"consumer terminates, then finish", false, false},
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
            if (!dropConsumer) {
                stream.terminate();
                EXPECT_EQ(stream.tryNext(), std::nullopt) << "the buffer outlived the consumer";
            }
        }
        EXPECT_EQ(terminations, 1);
        continuation.finish(); // a second finish, or one after the consumer left, changes nothing
        EXPECT_FALSE(continuation.yield(8)) << "a value after the end was accepted";
        EXPECT_EQ(terminations, 1);
    }
}

TEST(AsyncStream, OnAvailableFiresForEachValueAndTheEndAndAtOnceForWhatIsWaiting)
{
    auto [stream, continuation] = AsyncStream<int>::make();
    EXPECT_TRUE(continuation.yield(1));
    std::atomic<int> notified = 0;
    stream.setOnAvailable([&] { ++notified; });
    EXPECT_EQ(notified, 1) << "a value already waiting was not announced";

    EXPECT_TRUE(continuation.yield(2) && continuation.yield(3));
    continuation.finish();
    EXPECT_EQ(notified, 4);
    std::vector<int> values;
    while (auto v = stream.tryNext())
        values.push_back(*v);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(stream.isDrained());

    // A consumer that subscribes after the end learns of it at once.
    auto [ended, endedProducer] = AsyncStream<int>::make();
    endedProducer.finish();
    int late = 0;
    ended.setOnAvailable([&] { ++late; });
    EXPECT_EQ(late, 1);
}

} // namespace
} // namespace pelorin
