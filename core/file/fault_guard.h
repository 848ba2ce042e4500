// Reading a mapped file that another process shrinks. A page of the mapping
// that the file no longer backs raises SIGBUS on the first read, which would
// end the interpreter and every result of its batch. While a FaultGuard lives,
// the process-wide handler recognises faults inside its range, puts a page of
// zeros there so the read goes on, and records that the file changed; the
// call then fails with file_changed_error() instead of returning what the
// zeros parsed to. Every other SIGBUS goes to the handler that was there
// before, as if the guard did not exist.
//
// The registry of guarded ranges is process-wide and lock-free, because the
// read that faults runs on whatever thread reads the document: the caller's
// or any worker of the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "syntax/error.h"

namespace quarvel {

// The error of a call whose file changed under it. Fixed text: callers match
// it to tell a file being rewritten from a broken one.
inline constexpr ParseError file_changed_error() {
    return ParseError::other("file changed while reading");
}

// Whether a guarded read found the file changed; shared so that it can still
// be asked once the mapping it watched is gone (a document that failed to
// open).
class ChangeFlag {
  public:
    ChangeFlag() = default;
    explicit ChangeFlag(std::shared_ptr<const std::atomic<bool>> flag) : flag_(std::move(flag)) {}
    bool is_set() const { return flag_ != nullptr && flag_->load(std::memory_order_acquire); }

  private:
    std::shared_ptr<const std::atomic<bool>> flag_;
};

class FaultGuard {
  public:
    // Guards nothing; changed() stays false.
    FaultGuard() = default;

    // Registers [begin, begin + length), installing the handler on first use.
    // Nothing when no guard can be had: every slot of the registry is taken,
    // or another SIGBUS handler was installed over this one (faults would
    // reach it first, and it may end the process). The caller must then not
    // map the file.
    static std::optional<FaultGuard> watch(const void* begin, std::size_t length);

    FaultGuard(FaultGuard&& other) noexcept;
    FaultGuard& operator=(FaultGuard&& other) noexcept;
    FaultGuard(const FaultGuard&) = delete;
    FaultGuard& operator=(const FaultGuard&) = delete;
    // Unregisters. Must run before the range is unmapped: an address the
    // kernel hands out again must not be taken for this file's.
    ~FaultGuard();

    // Whether a range is registered (an empty one never is).
    bool active() const { return slot_ >= 0; }
    bool changed() const { return change_flag().is_set(); }
    ChangeFlag change_flag() const { return ChangeFlag(flag_); }

  private:
    void release();

    int slot_ = -1;
    std::shared_ptr<std::atomic<bool>> flag_;
};

} // namespace quarvel
