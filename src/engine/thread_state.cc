#include "engine/thread_state.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <mutex>
#include <new>

#include "engine/fault.h"

namespace tessaryn {
namespace {

std::mutex g_prepare_mutex;
std::atomic<bool> g_prepared{false};
pthread_key_t g_key;
std::atomic<EntropyFn> g_entropy{system_entropy};

void destroy_thread_state(void* state) noexcept {
    delete static_cast<ThreadState*>(state);
    detail::t_state = nullptr;
}

// A forked child would otherwise replay its parent's keystream, so worker processes made by
// fork would all see the same outcomes. The forking thread is the child's only thread: dropping
// its generator makes the child's next draw key a fresh one.
void forget_generator_in_child() noexcept {
    if (ThreadState* s = detail::t_state) s->generator.reset();
}

}  // namespace

void prepare_thread_states() {
    if (g_prepared.load(std::memory_order_acquire)) [[likely]]
        return;
    const std::lock_guard<std::mutex> lock(g_prepare_mutex);
    if (g_prepared.load(std::memory_order_relaxed)) return;
    if (pthread_key_create(&g_key, destroy_thread_state) != 0) throw std::bad_alloc();
    if (pthread_atfork(nullptr, nullptr, forget_generator_in_child) != 0) {
        pthread_key_delete(g_key);
        throw std::bad_alloc();
    }
    g_prepared.store(true, std::memory_order_release);
}

ThreadState& detail::make_thread_state() {
    prepare_thread_states();
    auto* state = new (std::nothrow) ThreadState;
    if (state == nullptr) throw std::bad_alloc();
    if (pthread_setspecific(g_key, state) != 0) {
        delete state;
        throw std::bad_alloc();
    }
    t_state = state;
    return *state;
}

void ThreadRandom::key_generator() {
    const EntropyFn source = g_entropy.load(std::memory_order_relaxed);
    std::array<std::uint8_t, 32> key;
    if (auto err = source(key)) fail(FaultKind::entropy, "could not initialize ThreadRng: " + *err);
    state_.generator.emplace(key, source);
}

EntropyFn set_entropy_source(EntropyFn source) noexcept { return g_entropy.exchange(source); }

}  // namespace tessaryn
