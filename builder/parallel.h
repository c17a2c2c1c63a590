// Work spread over threads whose result never depends on their number: items
// are numbered, each is worked on by one thread, and results are taken in
// item order.
#pragma once

#include <cstddef>
#include <functional>

// The threads to use for `requested` (0: one per processor), at least 1.
unsigned ThreadCount(unsigned requested);

// Runs work(i) for every i below `count` on up to `threads` threads, and
// deliver(i) in order of i, one at a time, as soon as work(0..i) are done, on
// whichever thread finished the last of them; deliver can thus write results
// out while later items are still being worked on. When a call throws, no
// further item is started, the running ones end, and the exception of the
// lowest item is rethrown (so the same fault is reported whatever the timing).
void ParallelInOrder(size_t count, unsigned threads, const std::function<void(size_t)>& work,
                     const std::function<void(size_t)>& deliver);

// The same without an ordered step.
inline void ParallelFor(size_t count, unsigned threads, const std::function<void(size_t)>& work) {
  ParallelInOrder(count, threads, work, [](size_t) {});
}
