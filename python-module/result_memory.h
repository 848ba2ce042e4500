// Memory for a result's Python objects, made ready by the workers.
#pragma once

#include <cstddef>

#include "extract/extract.h"
#include "render.h"

namespace quarvel::python {

// The interpreter's small-object allocator takes memory from the system an
// arena at a time, and the first write to each page of a new arena stops the
// writing thread on a page fault. Converting a text-dense document, that is
// about a third of the converting thread's time, and that thread is the one
// part of page-parallel extraction more cores do not shorten. While a
// ResultMemory is alive, the workers map arenas with their pages already
// present (a few MiB ahead, as many as the pages they extracted will need
// once converted), and the interpreter's next arenas are taken from those. What the
// interpreter then does with an arena (use it, free it) is as with its own.
//
// Nothing changes where the interpreter's arena allocator is not its own
// (an embedder replaced it) or the small-object allocator is off
// (PYTHONMALLOC=malloc): then no arena is ever asked for through the hook.
class ResultMemory {
  public:
    // With the interpreter lock held. A disabled one prepares nothing.
    explicit ResultMemory(bool enabled);
    // With the interpreter lock held: arenas not taken go back to the
    // system once no ResultMemory is alive.
    ~ResultMemory();
    ResultMemory(const ResultMemory&) = delete;
    ResultMemory& operator=(const ResultMemory&) = delete;

    // On any thread: makes ready about `bytes` more for the result.
    void prepare(std::size_t bytes) const;

  private:
    bool enabled_;
};

// About how many bytes of interpreter memory the page's blocks, lines and
// spans take once converted (images' bytes aside, which are one allocation
// each and not arena memory).
std::size_t converted_size(const PageResult& page, const RenderOptions& options);

} // namespace quarvel::python
