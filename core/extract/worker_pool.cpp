#include "extract/worker_pool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace quarvel {
namespace {

std::optional<long long> parse_integer(std::string_view text) {
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

std::string read_small_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The process's own cgroup v2 directory ("0::/path" in /proc/self/cgroup);
// in a container it is usually "/", the namespace root.
std::string cgroup_v2_dir() {
    std::istringstream lines(read_small_file("/proc/self/cgroup"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("0::", 0) == 0) return "/sys/fs/cgroup" + line.substr(3);
    }
    return "/sys/fs/cgroup";
}

std::optional<unsigned> cgroup_cpu_limit() {
    for (const std::string& dir : {cgroup_v2_dir(), std::string("/sys/fs/cgroup")}) {
        std::string text = read_small_file(dir + "/cpu.max");
        if (!text.empty()) return cpus_from_cpu_max(trimmed(text));
    }
    for (const char* dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        std::string quota = trimmed(read_small_file(std::string(dir) + "/cpu.cfs_quota_us"));
        std::string period = trimmed(read_small_file(std::string(dir) + "/cpu.cfs_period_us"));
        auto q = parse_integer(quota);
        auto p = parse_integer(period);
        if (q && p) return cpus_from_quota(*q, *p);
    }
    return std::nullopt;
}

// Set while a thread runs a task of the pool, so that a map started from a
// task nests in the running one instead of waiting on the pool from inside.
thread_local bool t_on_worker = false;

struct OnWorker {
    bool previous = t_on_worker;
    OnWorker() { t_on_worker = true; }
    ~OnWorker() { t_on_worker = previous; }
};

class Pool {
  public:
    Pool()
        : workers_(available_cpus()),
          // The scheduler keeps one slot for an application thread by
          // default; the caller never works here, so every CPU gets a worker.
          control_(tbb::global_control::max_allowed_parallelism, workers_ + 1),
          arena_(static_cast<int>(workers_), 0) {}

    unsigned workers() const { return workers_; }
    // False in a child forked after the pool started: the scheduler's
    // threads did not survive the fork, and a map sent to it would wait
    // forever (Python's multiprocessing forks by default on Linux).
    bool usable() const { return getpid() == owner_; }

    // Sends the map to the workers and returns at once: `finished` runs on
    // the worker that ends it, then `done` is signalled. Not from a worker.
    void start(std::size_t n, std::function<void(std::size_t)> body,
               std::function<void(std::exception_ptr)> finished,
               std::shared_ptr<BackgroundMap::Done> done);

    void run(std::size_t n, const std::function<void(std::size_t)>& body) {
        // What the caller wrote before the map is visible to every task, and
        // what every task wrote is visible to the caller afterwards. The
        // scheduler guarantees both already; these two atomics state it where
        // ThreadSanitizer can see it, since the scheduler's own library is not
        // instrumented.
        std::atomic<bool> published{false};
        std::atomic<std::size_t> finished{0};
        auto each = [&body, &published, &finished](const tbb::blocked_range<std::size_t>& range) {
            (void)published.load(std::memory_order_acquire);
            OnWorker scope;
            for (std::size_t i = range.begin(); i != range.end(); ++i)
                body(i);
            finished.fetch_add(1, std::memory_order_acq_rel);
        };
        // A page or a file is a large piece of work: one index per task lets
        // idle workers steal single pages.
        tbb::blocked_range<std::size_t> all(0, n, 1);
        if (t_on_worker) {
            published.store(true, std::memory_order_release);
            tbb::parallel_for(all, each, tbb::simple_partitioner());
            (void)finished.load(std::memory_order_acquire);
            return;
        }
        // The task shares the completion record, so it never touches the
        // caller's stack after the caller has been released; the caller
        // takes the exception out under the lock, so the task's release of
        // the record never races with the caller's handling of it.
        struct Completion {
            std::mutex mu;
            std::condition_variable cv;
            bool done = false;
            std::exception_ptr error;
        };
        auto completion = std::make_shared<Completion>();
        published.store(true, std::memory_order_release);
        arena_.enqueue([completion, all, each, &published] {
            (void)published.load(std::memory_order_acquire);
            std::exception_ptr error;
            try {
                tbb::parallel_for(all, each, tbb::simple_partitioner());
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(completion->mu);
            completion->error = std::move(error);
            completion->done = true;
            completion->cv.notify_one();
        });
        std::exception_ptr error;
        {
            std::unique_lock<std::mutex> lock(completion->mu);
            completion->cv.wait(lock, [&] { return completion->done; });
            error = std::move(completion->error);
        }
        (void)finished.load(std::memory_order_acquire);
        if (error) std::rethrow_exception(error);
    }

  private:
    pid_t owner_ = getpid();
    unsigned workers_;
    tbb::global_control control_;
    tbb::task_arena arena_;
};

} // namespace

struct BackgroundMap::Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
};

namespace {

void Pool::start(std::size_t n, std::function<void(std::size_t)> body,
                 std::function<void(std::exception_ptr)> finished,
                 std::shared_ptr<BackgroundMap::Done> done) {
    // What the map needs, written here before the release below and read by
    // the task after its acquire: the scheduler orders the two already, and
    // the atomic says so where ThreadSanitizer can see it. The map itself is
    // run()'s, nested in the task, so it hands its work over as run() does.
    struct Job {
        std::size_t n;
        std::function<void(std::size_t)> body;
        std::function<void(std::exception_ptr)> finished;
        std::shared_ptr<BackgroundMap::Done> done;
        std::atomic<bool> published{false};
    };
    auto job = std::make_shared<Job>();
    job->n = n;
    job->body = std::move(body);
    job->finished = std::move(finished);
    job->done = std::move(done);
    job->published.store(true, std::memory_order_release);
    arena_.enqueue([this, job] {
        (void)job->published.load(std::memory_order_acquire);
        std::exception_ptr error;
        try {
            OnWorker scope;
            run(job->n, job->body);
        } catch (...) {
            error = std::current_exception();
        }
        job->finished(std::move(error));
        std::lock_guard<std::mutex> lock(job->done->mu);
        job->done->done = true;
        job->done->cv.notify_all();
    });
}

// The map for a forked child: plain threads taking indices in turn, as many
// as the pool would have. Maps nest by starting threads of their own.
void run_on_threads(std::size_t n, const std::function<void(std::size_t)>& body, unsigned workers) {
    std::atomic<std::size_t> next{0};
    std::mutex error_mu;
    std::exception_ptr error;
    auto loop = [&] {
        for (std::size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
            try {
                body(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mu);
                if (!error) error = std::current_exception();
                next.store(n);
                return;
            }
        }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(workers, n);
    try {
        for (std::size_t t = 0; t < count; ++t)
            threads.emplace_back(loop);
    } catch (const std::system_error&) {
        // Fewer threads than asked for still finish the map.
    }
    if (threads.empty()) loop();
    for (std::thread& t : threads)
        t.join();
    if (error) std::rethrow_exception(error);
}

} // namespace

bool on_pool_worker() { return t_on_worker; }

namespace {

Pool& pool() {
    // Never destroyed: workers may still be parked when static destructors
    // run, and the pool is meant to live as long as the process.
    static Pool* instance = new Pool();
    return *instance;
}

} // namespace

std::optional<unsigned> cpus_from_quota(long long quota_us, long long period_us) {
    if (quota_us <= 0 || period_us <= 0) return std::nullopt;
    long long cpus = quota_us / period_us + (quota_us % period_us != 0 ? 1 : 0);
    if (cpus < 1) cpus = 1;
    if (!std::in_range<unsigned>(cpus)) return std::nullopt;
    return static_cast<unsigned>(cpus);
}

std::optional<unsigned> cpus_from_cpu_max(std::string_view text) {
    std::size_t space = text.find(' ');
    std::string_view quota = text.substr(0, space);
    if (quota == "max") return std::nullopt;
    auto q = parse_integer(quota);
    // The period is optional in what the kernel accepts; it defaults to 100 ms.
    long long period = 100000;
    if (space != std::string_view::npos) {
        auto p = parse_integer(text.substr(space + 1));
        if (!p) return std::nullopt;
        period = *p;
    }
    if (!q) return std::nullopt;
    return cpus_from_quota(*q, period);
}

unsigned available_cpus() {
    unsigned cpus = 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) cpus = static_cast<unsigned>(count);
    }
    if (auto limit = cgroup_cpu_limit(); limit && *limit < cpus) cpus = *limit;
    return cpus < 1 ? 1 : cpus;
}

unsigned worker_count() {
    return pool().workers();
}

void parallel_for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) {
    if (n == 0) return;
    // One piece of work gains nothing from a worker, and waking one and
    // waiting for it costs a short document as much as its page.
    if (n == 1) {
        body(0);
        return;
    }
    Pool& p = pool();
    if (!p.usable()) {
        run_on_threads(n, body, p.workers());
        return;
    }
    p.run(n, body);
}

void BackgroundMap::run_here(std::size_t n, const std::function<void(std::size_t)>& body,
                             const std::function<void(std::exception_ptr)>& finished) {
    std::exception_ptr error;
    try {
        parallel_for_each_index(n, body);
    } catch (...) {
        error = std::current_exception();
    }
    finished(std::move(error));
}

bool BackgroundMap::start(std::size_t n, std::function<void(std::size_t)> body,
                          std::function<void(std::exception_ptr)> finished) {
    Pool& p = pool();
    if (p.usable() && !t_on_worker) {
        // No thread of its own: starting one per document cost more than
        // extracting a short document's pages.
        done_ = std::make_shared<Done>();
        p.start(n, std::move(body), std::move(finished), done_);
        return true;
    }
    try {
        thread_ = std::thread([n, body = std::move(body), finished = std::move(finished)] {
            run_here(n, body, finished);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void BackgroundMap::join() {
    if (thread_.joinable()) thread_.join();
    if (done_ != nullptr) {
        std::unique_lock<std::mutex> lock(done_->mu);
        done_->cv.wait(lock, [&] { return done_->done; });
        lock.unlock();
        done_.reset();
    }
}

} // namespace quarvel
