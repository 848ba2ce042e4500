#include "result_memory.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "resource_limits.h"

namespace quarvel::python {
namespace {

// The size of the small-object allocator's arenas on 64-bit interpreters
// since 3.10. The same hook also serves other requests (the frames' data
// stack takes its chunks from it), so only requests of exactly this size
// are arenas; on an interpreter whose arenas differ, none is ever seen and
// nothing is prepared.
constexpr std::size_t kArenaSize = std::size_t{1} << 20;

// The arenas made ready, and the hook that hands them to the interpreter.
// One for the process: the interpreter has one arena allocator.
struct ArenaStock {
    std::mutex mu;
    std::vector<void*> ready; // each kArenaSize bytes, its pages present
    std::size_t owed = 0;     // bytes asked for, not yet a whole arena
    int users = 0;            // ResultMemory objects alive
    // Set once the interpreter has asked for an arena of kArenaSize.
    std::atomic<bool> arenas_seen{false};
    PyObjectArenaAllocator previous{};
    bool hooked = false; // only ever set, under the interpreter lock
};

ArenaStock& stock() {
    // Never destroyed: the interpreter may ask for or free an arena at exit.
    static ArenaStock* s = new ArenaStock;
    return *s;
}

void* take_arena(void* ctx, std::size_t size) {
    ArenaStock& s = *static_cast<ArenaStock*>(ctx);
    if (size != kArenaSize) return s.previous.alloc(s.previous.ctx, size);
    s.arenas_seen.store(true, std::memory_order_relaxed);
    {
        // Never waits: a worker holds the lock only to add an arena, and in
        // a child forked meanwhile the lock may be held by no thread at all.
        std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
        if (lock.owns_lock() && !s.ready.empty()) {
            void* arena = s.ready.back();
            s.ready.pop_back();
            return arena;
        }
    }
    return s.previous.alloc(s.previous.ctx, size);
}

// Ready arenas were mapped as the interpreter maps its own, so its own free
// (an unmap of the arena) serves every arena alike.
void free_arena(void* ctx, void* arena, std::size_t size) {
    ArenaStock& s = *static_cast<ArenaStock*>(ctx);
    s.previous.free(s.previous.ctx, arena, size);
}

// True when `fn` lies in the same loaded object as the interpreter's API:
// the arena allocator in place is the interpreter's own mmap-based one, whose
// free unmaps exactly what the hook maps.
bool from_interpreter(void* fn) {
    Dl_info own{};
    Dl_info theirs{};
    if (fn == nullptr ||
        dladdr(reinterpret_cast<void*>(&PyObject_GetArenaAllocator), &own) == 0 ||
        dladdr(fn, &theirs) == 0) {
        return false;
    }
    return own.dli_fbase == theirs.dli_fbase;
}

// With the interpreter lock held. False when the hook cannot be put in.
bool hook() {
    ArenaStock& s = stock();
    if (s.hooked) return true;
    PyObjectArenaAllocator current{};
    PyObject_GetArenaAllocator(&current);
    if (current.alloc == &take_arena) {
        // Another copy of this code hooked first; its stock serves.
        return false;
    }
    if (!from_interpreter(reinterpret_cast<void*>(current.alloc))) return false;
    s.previous = current;
    PyObjectArenaAllocator ours{&s, &take_arena, &free_arena};
    PyObject_SetArenaAllocator(&ours);
    s.hooked = true;
    return true;
}

// `count` arenas in one mapping whose pages the kernel makes present as it
// maps them: one call, and the address space's lock taken once, for all of
// them. Each arena is later unmapped on its own, which the kernel allows for
// any page-aligned part of a mapping.
void* map_arenas(std::size_t count) {
    void* block = mmap(nullptr, count * kArenaSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

} // namespace

ResultMemory::ResultMemory(bool enabled) : enabled_(enabled && hook()) {
    if (!enabled_) return;
    ArenaStock& s = stock();
    std::lock_guard<std::mutex> lock(s.mu);
    ++s.users;
}

ResultMemory::~ResultMemory() {
    if (!enabled_) return;
    ArenaStock& s = stock();
    std::vector<void*> unused;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (--s.users > 0) return;
        unused.swap(s.ready);
        s.owed = 0;
    }
    for (void* arena : unused)
        munmap(arena, kArenaSize);
}

void ResultMemory::prepare(std::size_t bytes) const {
    if (!enabled_) return;
    ArenaStock& s = stock();
    // Until the interpreter has asked for an arena through the hook, it is
    // not known to use arenas of this size; the first pages go without.
    if (!s.arenas_seen.load(std::memory_order_relaxed)) return;
    constexpr std::size_t size = kArenaSize;
    const std::size_t cap = limits::kMaxPreparedResultBytes / size;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.owed += bytes;
        count = s.owed / size;
        s.owed %= size;
        count = s.ready.size() >= cap ? 0 : std::min(count, cap - s.ready.size());
    }
    if (count == 0) return;
    auto* block = static_cast<char*>(map_arenas(count));
    if (block == nullptr) return; // the interpreter maps its own instead
    std::lock_guard<std::mutex> lock(s.mu);
    for (std::size_t i = 0; i < count; ++i) {
        char* arena = block + i * size;
        if (s.users == 0 || s.ready.size() >= cap) {
            munmap(arena, size);
            continue;
        }
        s.ready.push_back(arena);
    }
}

std::size_t converted_size(const PageResult& page, const RenderOptions& options) {
    // Measured on text-dense pages: a span's dict, box and numbers come to
    // about 400 bytes (560 with "flags", whose sixth key doubles the dict's
    // table), a line's to 280 and a block's to 300, plus the text itself.
    const std::size_t per_span = options.span_flags ? 560 : 400;
    std::size_t bytes = 0;
    for (const TextBlock& block : page.blocks) {
        bytes += 300;
        for (const TextLine& line : block.lines) {
            bytes += 280;
            for (const TextSpan& span : line.spans)
                bytes += per_span + span.text.size();
        }
    }
    return bytes;
}

} // namespace quarvel::python
