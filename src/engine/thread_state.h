// What the engine keeps per thread: the workbench (scratch memory and undo log) and the random
// generator. The state is made on a thread's first engine call that needs it, by code that
// reports failure: a block allocated with a checked allocation and registered for destruction at
// thread exit through a key made once per process. A failure raises std::bad_alloc on that call
// and leaves nothing half made, where a C++ `thread_local` with a destructor would have the C
// library end the process when registering the destructor finds no memory.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/plan.h"
#include "engine/random.h"

namespace tessaryn {

struct ThreadState {
    Workbench bench;
    /// Keyed from the operating system at the thread's first draw, and again after a fork.
    std::optional<ChaCha12Rng> generator;
};

/// Readies per-thread state for the process: the key that destroys a thread's state at its exit
/// and the fork rule for generators. Called at module start-up, so that a failure shows there;
/// `thread_state` calls it too. Throws std::bad_alloc when the system refuses.
void prepare_thread_states();

namespace detail {
// Initial-exec, so that reading it is one load relative to the thread pointer and the module's
// thread-local block is placed with the thread's static block when the module is loaded, rather
// than allocated on a thread's first access (where the C library ends the process if that fails).
[[gnu::tls_model("initial-exec")]] inline constinit thread_local ThreadState* t_state = nullptr;
ThreadState& make_thread_state();
}  // namespace detail

/// The calling thread's state, made on first use. Throws std::bad_alloc, having made nothing,
/// when it cannot be allocated or registered. One load of a thread pointer once made.
inline ThreadState& thread_state() {
    if (ThreadState* s = detail::t_state) [[likely]]
        return *s;
    return detail::make_thread_state();
}

/// The calling thread's generator as a random source: what the module passes to measurements
/// and peeks. Creating it makes the thread's state (throws std::bad_alloc). A draw keys the
/// generator first if needed; failing that is the fault "could not initialize ThreadRng:
/// <error>", and the next draw tries again.
class ThreadRandom final : public RandomSource {
public:
    ThreadRandom() : state_(thread_state()) {}
    std::uint32_t next_u32() override {
        if (!state_.generator) [[unlikely]]
            key_generator();
        return state_.generator->next_u32();
    }

private:
    void key_generator();
    ThreadState& state_;
};

/// Replaces the entropy source used to key and rekey thread generators; returns the old one.
/// For tests that need a failing or a fallback source.
EntropyFn set_entropy_source(EntropyFn source) noexcept;

}  // namespace tessaryn
