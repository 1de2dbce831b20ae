#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <thread>

#include "platform/thread.h"

namespace zolt {
namespace {

using namespace std::chrono_literals;

// Touches `bytes` of stack, more than a default 8 MiB stack holds.
[[gnu::noinline]] uint32_t UseStack(std::size_t bytes) {
    constexpr std::size_t Page = 4096;
    volatile uint8_t* area = static_cast<volatile uint8_t*>(__builtin_alloca(bytes));
    uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes; i += Page) {
        area[i] = static_cast<uint8_t>(i / Page);
        sum += area[i];
    }
    return sum;
}

// The calling thread's stack size: as the thread library reports it, or on Windows the address
// space reserved for the stack (the allocation that holds a local, walked region by region).
std::size_t ThisThreadStackBytes() {
    std::size_t size = 0;
#ifdef _WIN32
    MEMORY_BASIC_INFORMATION info{};
    volatile int local = 0;
    if (::VirtualQuery(const_cast<int*>(&local), &info, sizeof info) == 0) {
        return 0;
    }
    const auto* base = static_cast<const char*>(info.AllocationBase);
    while (::VirtualQuery(base + size, &info, sizeof info) != 0 &&
           info.AllocationBase == static_cast<const void*>(base)) {
        size += info.RegionSize;
    }
#else
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
#endif
    return size;
}

TEST(StartDetachedThread, RunsTheBodyOnANewThreadWithTheLargeStack) {
    std::promise<std::size_t> stackSize;
    std::promise<std::thread::id> ranOn;
    std::promise<uint32_t> used;
    ASSERT_TRUE(StartDetachedThread([&] {
        stackSize.set_value(ThisThreadStackBytes());
        ranOn.set_value(std::this_thread::get_id());
        used.set_value(UseStack(24'000'000));
    }));
    auto size = stackSize.get_future();
    ASSERT_EQ(size.wait_for(10s), std::future_status::ready);
    EXPECT_GE(size.get(), DefaultThreadStackBytes);
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id());
    auto sum = used.get_future();
    ASSERT_EQ(sum.wait_for(10s), std::future_status::ready);
    EXPECT_GT(sum.get(), 0u);
}

TEST(StartDetachedThread, NothingJoinsTheThread) {
    // The caller returns while the body still runs; the body ends on its own.
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    ASSERT_TRUE(StartDetachedThread(
        [&] {
            while (!release) {
                std::this_thread::sleep_for(1ms);
            }
            ended = true;
        },
        1'000'000));
    EXPECT_FALSE(ended);
    release = true;
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!ended && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(ended);
}

TEST(StartDetachedThread, FailsWithoutRunningTheBodyWhenNoThreadCanStart) {
    std::atomic<bool> ran{false};
    // A stack larger than the address space cannot be had.
    EXPECT_FALSE(
        StartDetachedThread([&] { ran = true; }, std::numeric_limits<std::size_t>::max() / 2));
    EXPECT_FALSE(StartDetachedThread(std::function<void()>{}));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace zolt
