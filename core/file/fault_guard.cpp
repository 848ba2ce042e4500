#include "file/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "resource_limits.h"

namespace quarvel {
namespace {

// One guarded range. The fields are written under a sequence count (odd
// while they change) so that the handler, which cannot take a lock, never
// pairs the start of one registration with the end of another. The range
// whose read faulted is never changing at that moment: its document is
// being read.
struct Slot {
    std::atomic<bool> taken{false};
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<std::atomic<bool>*> changed{nullptr};
};

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::atomic<bool>*>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the fault handler may only touch lock-free atomics");

// Process-wide by nature: a signal handler has no other way to reach the
// mappings. Written only by watch() and release(); read by the handler.
Slot slots[limits::kMaxGuardedMappings];
// Slots ever taken, so the handler does not scan the untouched tail.
std::atomic<std::size_t> slots_used{0};
// Set once, before the handler is installed, never written after.
struct sigaction previous_action {};
std::uintptr_t page_size = 4096;

std::atomic<bool>* find_changed_flag(std::uintptr_t address) {
    const std::size_t used = slots_used.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < used; ++i) {
        Slot& slot = slots[i];
        const std::uint32_t before = slot.seq.load(std::memory_order_acquire);
        if (before % 2 != 0) continue;
        const std::uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
        const std::uintptr_t end = slot.end.load(std::memory_order_relaxed);
        std::atomic<bool>* changed = slot.changed.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.seq.load(std::memory_order_relaxed) != before) continue;
        if (changed != nullptr && address >= begin && address < end) return changed;
    }
    return nullptr;
}

// Hands a fault that is not ours to whoever handled SIGBUS before, the way
// the kernel would have: a handler is called with what we were given; the
// default ends the process with SIGBUS (a fault repeats on return; a sent
// signal is raised again and delivered once this handler returns).
void pass_on(int signal_number, siginfo_t* info, void* context) {
    const bool sent = info == nullptr || info->si_code <= 0;
    if ((previous_action.sa_flags & SA_SIGINFO) != 0) {
        if (previous_action.sa_sigaction != nullptr) {
            previous_action.sa_sigaction(signal_number, info, context);
            return;
        }
    } else if (previous_action.sa_handler == SIG_IGN) {
        // The kernel does not let a fault be ignored.
        if (sent) return;
    } else if (previous_action.sa_handler != SIG_DFL) {
        previous_action.sa_handler(signal_number);
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
    if (sent) ::raise(signal_number);
}

// Async-signal-safe: lock-free atomics, mmap, sigaction and raise only.
void on_sigbus(int signal_number, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    // Only a fault raised by the kernel (si_code > 0) carries the address
    // that was read; a signal sent by a process carries its sender instead.
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        if (std::atomic<bool>* changed = find_changed_flag(address)) {
            // The page the file no longer backs becomes a private page of
            // zeros; the read resumes there and the document is marked.
            void* page = reinterpret_cast<void*>(address & ~(page_size - 1));
            if (::mmap(page, page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1,
                       0) != MAP_FAILED) {
                changed->store(true, std::memory_order_release);
                errno = saved_errno;
                return;
            }
        }
    }
    errno = saved_errno;
    pass_on(signal_number, info, context);
}

bool is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &on_sigbus;
}

bool install_handler() {
    const long size = ::sysconf(_SC_PAGESIZE);
    if (size > 0) page_size = static_cast<std::uintptr_t>(size);
    // The previous action is read before ours goes in, so that a fault on
    // another thread in between never finds it unset.
    if (::sigaction(SIGBUS, nullptr, &previous_action) != 0) return false;
    struct sigaction action {};
    action.sa_sigaction = &on_sigbus;
    // SA_ONSTACK: a thread that set up an alternate stack (the interpreter's
    // fault handler does) keeps using it.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, nullptr) == 0;
}

// Installs the handler once per process and tells whether it is still the
// one the kernel calls. A handler installed over it (faulthandler.enable()
// after the first file was opened, or another library) would see our faults
// first and could end the process, so files are then not mapped at all.
bool handler_in_place() {
    static const bool installed = install_handler();
    if (!installed) return false;
    struct sigaction current {};
    return ::sigaction(SIGBUS, nullptr, &current) == 0 && is_ours(current);
}

} // namespace

std::optional<FaultGuard> FaultGuard::watch(const void* begin, std::size_t length) {
    if (length == 0) return FaultGuard();
    if (!handler_in_place()) return std::nullopt;
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    std::uintptr_t last = 0;
    if (__builtin_add_overflow(first, length, &last)) return std::nullopt;
    for (std::size_t i = 0; i < limits::kMaxGuardedMappings; ++i) {
        Slot& slot = slots[i];
        if (slot.taken.exchange(true, std::memory_order_acquire)) continue;
        FaultGuard guard;
        guard.slot_ = static_cast<int>(i);
        guard.flag_ = std::make_shared<std::atomic<bool>>(false);
        const std::uint32_t seq = slot.seq.load(std::memory_order_relaxed);
        slot.seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        slot.begin.store(first, std::memory_order_relaxed);
        // The mapping's last page reaches past `length`; a read there faults
        // the same way once the file is cut.
        slot.end.store(last + (page_size - last % page_size) % page_size,
                       std::memory_order_relaxed);
        slot.changed.store(guard.flag_.get(), std::memory_order_relaxed);
        slot.seq.store(seq + 2, std::memory_order_release);
        std::size_t used = slots_used.load(std::memory_order_relaxed);
        while (used < i + 1 &&
               !slots_used.compare_exchange_weak(used, i + 1, std::memory_order_release)) {
        }
        return guard;
    }
    return std::nullopt;
}

FaultGuard::FaultGuard(FaultGuard&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)), flag_(std::move(other.flag_)) {}

FaultGuard& FaultGuard::operator=(FaultGuard&& other) noexcept {
    if (this == &other) return *this;
    release();
    slot_ = std::exchange(other.slot_, -1);
    flag_ = std::move(other.flag_);
    return *this;
}

FaultGuard::~FaultGuard() {
    release();
}

void FaultGuard::release() {
    if (slot_ >= 0) {
        Slot& slot = slots[static_cast<std::size_t>(slot_)];
        const std::uint32_t seq = slot.seq.load(std::memory_order_relaxed);
        slot.seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        slot.changed.store(nullptr, std::memory_order_relaxed);
        slot.begin.store(0, std::memory_order_relaxed);
        slot.end.store(0, std::memory_order_relaxed);
        slot.seq.store(seq + 2, std::memory_order_release);
        slot.taken.store(false, std::memory_order_release);
    }
    slot_ = -1;
    // The flag itself stays with whoever still holds a ChangeFlag of it.
    flag_.reset();
}

} // namespace quarvel
