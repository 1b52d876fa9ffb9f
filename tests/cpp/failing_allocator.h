// Allocations made to fail on demand: the test program replaces the global operator new, so that
// tests can check what the engine does when memory runs out at any point of an operation.
#pragma once

namespace tessaryn::testing {

/// Lets `count` more allocations of the calling thread succeed, then fails every later one with
/// std::bad_alloc; a negative count fails none. Other threads are not affected.
void fail_allocations_after(long count) noexcept;

/// Fails allocations of the calling thread after `count` more for as long as it lives.
class FailingAllocations {
public:
    explicit FailingAllocations(long count) noexcept { fail_allocations_after(count); }
    ~FailingAllocations() { fail_allocations_after(-1); }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace tessaryn::testing
