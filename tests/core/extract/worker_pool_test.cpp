#include "extract/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quarvel {
namespace {

TEST(WorkerPool, HasOneWorkerPerAvailableCpu) {
    EXPECT_GE(worker_count(), 1u);
    EXPECT_EQ(worker_count(), available_cpus());
    EXPECT_LE(available_cpus(), std::thread::hardware_concurrency());
}

TEST(WorkerPool, MapKeepsInputOrderAndRunsOffTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    std::atomic<int> on_caller{0};
    auto squares = parallel_map(1000, [&](std::size_t i) {
        if (std::this_thread::get_id() == caller) ++on_caller;
        return i * i;
    });
    ASSERT_EQ(squares.size(), 1000u);
    for (std::size_t i = 0; i < squares.size(); ++i)
        ASSERT_EQ(squares[i], i * i);
    EXPECT_EQ(on_caller.load(), 0);
    EXPECT_TRUE(parallel_map(0, [](std::size_t i) { return i; }).empty());
}

TEST(WorkerPool, NestedMapsComplete) {
    // More outer tasks than workers, each waiting on an inner map: the
    // shape of many files whose pages are extracted in parallel.
    auto sums = parallel_map(16, [](std::size_t file) {
        auto pages = parallel_map(50, [file](std::size_t page) { return file * 100 + page; });
        std::size_t sum = 0;
        for (std::size_t p : pages)
            sum += p;
        return sum;
    });
    for (std::size_t file = 0; file < sums.size(); ++file) {
        EXPECT_EQ(sums[file], file * 100 * 50 + 49 * 50 / 2);
    }
}

TEST(WorkerPool, ExceptionOnAWorkerReachesTheCaller) {
    try {
        parallel_map(64, [](std::size_t i) -> int {
            if (i == 37) throw std::runtime_error("page 37 broke an invariant");
            return 0;
        });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "page 37 broke an invariant");
    }
    // The pool is still usable afterwards, nested maps included.
    EXPECT_THROW(parallel_map(4,
                              [](std::size_t) {
                                  return parallel_map(4, [](std::size_t j) -> int {
                                      if (j == 2) throw std::logic_error("inner");
                                      return 0;
                                  });
                              }),
                 std::logic_error);
    EXPECT_EQ(parallel_map(3, [](std::size_t i) { return i; }).back(), 2u);
}

TEST(WorkerPool, CallersOnSeveralThreadsShareThePool) {
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&wrong, t] {
            auto r =
                parallel_map(200, [t](std::size_t i) { return i + static_cast<std::size_t>(t); });
            for (std::size_t i = 0; i < r.size(); ++i) {
                if (r[i] != i + static_cast<std::size_t>(t)) ++wrong;
            }
        });
    }
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPool, ForkedChildMapsWithoutThePoolsThreads) {
    // The pool's threads exist in the parent only; a child forked after
    // they started must still finish its maps, nested ones included.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow threads started after a fork";
#endif
    ASSERT_EQ(parallel_map(4, [](std::size_t i) { return i; }).size(), 4u);
    // Every worker runs a task and then rests before the fork: a child forked
    // while a worker is still starting up may inherit a lock of the loader or
    // the thread library that the starting thread held, and hang on it (seen
    // once in CI). That race is the process's, not the map's.
    const unsigned workers = worker_count();
    std::atomic<unsigned> arrived{0};
    parallel_for_each_index(workers, [&](std::size_t) {
        ++arrived;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (arrived.load() < workers && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30); // a hang ends the child with SIGALRM
        auto sums = parallel_map(6, [](std::size_t f) {
            auto inner = parallel_map(5, [f](std::size_t p) { return f * 10 + p; });
            return inner.back();
        });
        bool ok = sums.size() == 6 && sums[5] == 54;
        try {
            parallel_map(3, [](std::size_t i) -> int {
                if (i == 1) throw std::runtime_error("x");
                return 0;
            });
            ok = false;
        } catch (const std::runtime_error&) {
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

struct QuotaCase {
    const char* text;
    std::optional<unsigned> cpus;
};

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, CpuMaxRoundsUp) {
    EXPECT_EQ(cpus_from_cpu_max(GetParam().text), GetParam().cpus) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    CpuMax, CgroupQuota,
    ::testing::Values(QuotaCase{"max 100000", std::nullopt}, QuotaCase{"max", std::nullopt},
                      QuotaCase{"200000 100000", 2u}, QuotaCase{"150000 100000", 2u},
                      QuotaCase{"50000 100000", 1u}, QuotaCase{"100000", 1u},
                      QuotaCase{"-1 100000", std::nullopt}, QuotaCase{"abc 100000", std::nullopt},
                      QuotaCase{"100000 0", std::nullopt}, QuotaCase{"", std::nullopt}));

TEST(CgroupQuota, V1QuotaAndPeriod) {
    EXPECT_EQ(cpus_from_quota(-1, 100000), std::nullopt);
    EXPECT_EQ(cpus_from_quota(300000, 100000), 3u);
    EXPECT_EQ(cpus_from_quota(1, 100000), 1u);
    EXPECT_EQ(cpus_from_quota(100000, -5), std::nullopt);
}

} // namespace
} // namespace quarvel
