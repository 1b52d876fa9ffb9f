// Shared pieces of the engine tests: scripted randomness and random registers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>

#include "bitset.h"
#include "engine/cost_model.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn::testing {

/// Hands out scripted words, then fails the test if more are drawn than were scripted.
class ScriptedSource final : public RandomSource {
public:
    ScriptedSource() = default;
    ScriptedSource(std::initializer_list<std::uint32_t> words) : words_(words) {}

    void push(std::uint32_t w) { words_.push_back(w); }
    /// Scripts the word that makes `random_bit` return `bit`.
    void push_bit(bool bit) { push(bit ? 0x80000000u : 0x7FFFFFFFu); }

    std::uint32_t next_u32() override {
        ++drawn_;
        if (words_.empty()) {
            ADD_FAILURE() << "drew more random words than scripted";
            return 0;
        }
        const std::uint32_t w = words_.front();
        words_.pop_front();
        return w;
    }

    int drawn() const { return drawn_; }
    std::size_t left() const { return words_.size(); }

private:
    std::deque<std::uint32_t> words_;
    int drawn_ = 0;
};

/// The policies that force a form, each with its name for test traces.
inline constexpr std::pair<FormPolicy, const char*> kForcedForms[] = {
    {FormPolicy::tableau, "tableau"}, {FormPolicy::thrash, "thrash"}};

/// Row shapes that change at degrees 3 and 1, so that small registers, which the state-vector
/// oracle can follow, hold both sorted and bit rows and keep converting between them.
inline constexpr RowShapes kSmallShapes{3, 1};

/// Any graph with any VOPs is a valid state: edges with probability p, uniform VOPs.
inline Register random_register(std::mt19937_64& gen, int n, double p = 0.5, const RowShapes* shapes = nullptr) {
    Register reg = shapes ? Register(n, *shapes) : Register(n);
    std::bernoulli_distribution edge(p);
    std::uniform_int_distribution<int> vop(0, 23);
    for (int u = 0; u < n; ++u) {
        reg.set_vop(u, static_cast<Vop>(vop(gen)));
        for (int v = u + 1; v < n; ++v)
            if (edge(gen)) reg.add_edge(u, v);
    }
    return reg;
}

/// A dense random graph on k vertices scattered over an n-vertex register (the rest isolated):
/// small degrees in long rows, where rewrites go edge by edge rather than row by row.
inline Register scattered_register(std::mt19937_64& gen, int n, int k, double p, const RowShapes* shapes = nullptr) {
    Register reg = shapes ? Register(n, *shapes) : Register(n);
    std::uniform_int_distribution<int> vertex(0, n - 1), vop(0, 23);
    std::vector<int> chosen;
    while (static_cast<int>(chosen.size()) < k) {
        const int v = vertex(gen);
        if (std::find(chosen.begin(), chosen.end(), v) == chosen.end()) chosen.push_back(v);
    }
    std::bernoulli_distribution edge(p);
    for (int v = 0; v < n; ++v) reg.set_vop(v, static_cast<Vop>(vop(gen)));
    for (std::size_t i = 0; i < chosen.size(); ++i)
        for (std::size_t j = i + 1; j < chosen.size(); ++j)
            if (edge(gen)) reg.add_edge(chosen[i], chosen[j]);
    return reg;
}

/// A dense random graph on the k vertices from `first` on, in an n-vertex register whose other
/// vertices are isolated: a region whose rows span a few words of a long register.
inline Register region_register(std::mt19937_64& gen, std::uint64_t n, std::uint64_t first, int k, double p) {
    Register reg(n);
    std::bernoulli_distribution edge(p);
    std::uniform_int_distribution<int> vop(0, 23);
    for (int i = 0; i < k; ++i) {
        reg.set_vop(first + i, static_cast<Vop>(vop(gen)));
        for (int j = i + 1; j < k; ++j)
            if (edge(gen)) reg.add_edge(first + i, first + j);
    }
    return reg;
}

/// Makes the first `hubs` vertices adjacent to every other vertex: stars laid over a sparse graph,
/// where the measurement rules choose among equivalent graph forms by degree.
inline void add_hubs(Register& reg, int hubs) {
    for (int h = 0; h < hubs; ++h)
        for (std::uint64_t v = h + 1; v < reg.size(); ++v)
            if (!reg.adj().has_edge(h, v)) reg.add_edge(h, v);
}

/// v's neighbours as a set of bit length n.
inline BitSet neighbours(const Register& reg, std::uint64_t v) {
    BitSet out(reg.size());
    reg.for_each_neighbour(v, [&](std::uint64_t i) { out.insert(i); });
    return out;
}

/// Fails the test with the broken invariant, if any.
#define TESSARYN_EXPECT_VALID(reg) ASSERT_EQ(::tessaryn::check_invariants(reg), "")

/// Fixed seed for a randomised test, shown with every failure inside the test.
#define TESSARYN_SEED(name, value)                    \
    const std::uint64_t name = (value);               \
    SCOPED_TRACE(::testing::Message() << "seed " << name)

}  // namespace tessaryn::testing
