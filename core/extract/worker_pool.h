// The process-wide work-stealing pool that pages and files are spread over.
//
// Created on first use with one worker per CPU available to the process and
// kept until the process ends. The calling thread never runs tasks itself:
// it blocks until a parallel map is complete, so the Python interpreter lock
// it holds is never taken near a worker. Maps nest (files, then the pages of
// each file) without deadlock, and an exception thrown by a task reaches the
// caller of the map.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quarvel {

// CPUs the process may use: its affinity mask, lowered by a cgroup CPU quota
// (v2 cpu.max or v1 cfs_quota_us / cfs_period_us). At least 1.
unsigned available_cpus();

// The CPUs a cgroup v2 cpu.max text ("max 100000", "150000 100000")
// allows, rounded up; nothing when unlimited or unreadable.
std::optional<unsigned> cpus_from_cpu_max(std::string_view text);
// The same for a cgroup v1 quota and period in microseconds (quota -1 or
// any non-positive value means unlimited).
std::optional<unsigned> cpus_from_quota(long long quota_us, long long period_us);

// Number of workers of the pool (creates it).
unsigned worker_count();

// True on a thread running a task of the pool. Such a thread must not wait
// for other tasks except through a map, which nests in the running one.
bool on_pool_worker();

// Runs body(0) .. body(n - 1) on the pool and returns when all have run.
// The first exception a call throws is rethrown here once the map has
// stopped. Called from a worker, the map nests inside the running one.
void parallel_for_each_index(std::size_t n, const std::function<void(std::size_t)>& body);

// parallel_for_each_index(n, body) started without waiting for it, so that
// the thread that starts it is free to take what the tasks produce while
// they run. `finished` is called once the map has ended, with the exception
// it ended with (null when none), on the worker that ends it (or on a
// thread of the map's own where the pool is not usable). Joined when
// destroyed; whatever the tasks use must outlive the object.
class BackgroundMap {
  public:
    BackgroundMap() = default;
    BackgroundMap(const BackgroundMap&) = delete;
    BackgroundMap& operator=(const BackgroundMap&) = delete;
    ~BackgroundMap() { join(); }

    // False, with nothing run, when no thread could be started.
    bool start(std::size_t n, std::function<void(std::size_t)> body,
               std::function<void(std::exception_ptr)> finished);
    // Runs the same map and `finished` on the calling thread.
    static void run_here(std::size_t n, const std::function<void(std::size_t)>& body,
                         const std::function<void(std::exception_ptr)>& finished);
    void join();

    struct Done;

  private:
    std::thread thread_;           // where the pool is not usable
    std::shared_ptr<Done> done_;   // a map sent to the pool
};

// parallel_for_each_index collecting the results of `f` in input order.
template <typename F>
auto parallel_map(std::size_t n, F&& f) -> std::vector<decltype(f(std::size_t{}))> {
    using T = decltype(f(std::size_t{}));
    std::vector<std::optional<T>> slots(n);
    parallel_for_each_index(n, [&](std::size_t i) { slots[i].emplace(f(i)); });
    std::vector<T> results;
    results.reserve(n);
    for (auto& slot : slots)
        results.push_back(std::move(*slot));
    return results;
}

} // namespace quarvel
