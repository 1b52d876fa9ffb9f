#include "engine/entangled_group.h"

#include <memory>

#include "engine/fault.h"

namespace tessaryn {
namespace {

// Vertices seen by a search: a hash set while the search is small, a bit per vertex once the
// set would cost more than that, so that its size follows the component, never n.
class VisitedSet {
public:
    explicit VisitedSet(std::uint64_t n) : n_(n) { grow(16); }

    /// Adds v; returns whether it was new.
    bool insert(std::uint64_t v) {
        if (bits_) {
            if (bits::test(bits_.get(), v)) return false;
            bits::set(bits_.get(), v);
            return true;
        }
        std::size_t at = slot(v);
        while (slots_[at] != kEmpty) {
            if (slots_[at] == v) return false;
            at = (at + 1) & mask_;
        }
        slots_[at] = v;
        if (++size_ * 2 > mask_ + 1) grow((mask_ + 1) * 2);
        return true;
    }

    /// Once the set is a bit per vertex, adds the vertices of a bit row not seen yet and pushes
    /// them onto `order`, a word at a time (a dense group's search then costs its m rows of
    /// words, not its m²/2 edges one by one); returns false, doing nothing, before that.
    bool insert_row(const Word* row, std::size_t words, std::vector<std::uint64_t>& order) {
        if (!bits_) return false;
        for (std::size_t k = 0; k < words; ++k) {
            Word fresh = row[k] & ~bits_[k];
            if (fresh == 0) continue;
            bits_[k] |= fresh;
            for (; fresh != 0; fresh &= fresh - 1) order.push_back(bits::lowest(k, fresh));
        }
        return true;
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    std::size_t slot(std::uint64_t v) const { return static_cast<std::size_t>((v * 0x9E3779B97F4A7C15u) >> shift_); }

    void grow(std::size_t capacity) {
        // A table slot costs 64 bits against one bit per vertex of the register.
        if (capacity * 64 >= n_) {
            bits_ = std::make_unique<Word[]>(bits::words_for(n_));
            for (std::size_t i = 0; i <= mask_ && slots_; ++i)
                if (slots_[i] != kEmpty) bits::set(bits_.get(), slots_[i]);
            slots_.reset();
            return;
        }
        auto old = std::move(slots_);
        const std::size_t old_capacity = old ? mask_ + 1 : 0;
        slots_ = std::make_unique_for_overwrite<std::uint64_t[]>(capacity);
        std::fill_n(slots_.get(), capacity, kEmpty);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        size_ = 0;
        for (std::size_t i = 0; i < old_capacity; ++i)
            if (old[i] != kEmpty) {
                std::size_t at = slot(old[i]);
                while (slots_[at] != kEmpty) at = (at + 1) & mask_;
                slots_[at] = old[i];
                ++size_;
            }
    }

    std::uint64_t n_;
    std::unique_ptr<std::uint64_t[]> slots_;
    std::unique_ptr<Word[]> bits_;
    std::size_t mask_ = 0, size_ = 0;
    int shift_ = 64;
};

}  // namespace

std::vector<std::uint64_t> entangled_group(const Register& reg, std::uint64_t q) {
    // q is the first vertex the search pops, so this is where its range check falls.
    check_index(reg.size(), q);
    reg.graph_form_of(q);
    // The result doubles as the queue: vertices are marked when pushed, so each enters once.
    std::vector<std::uint64_t> order{q};
    VisitedSet visited(reg.size());
    visited.insert(q);
    const Adjacency& adj = reg.adj();
    for (std::size_t head = 0; head < order.size(); ++head) {
        const Row& row = adj.row(order[head]);
        if (row.is_bits() && visited.insert_row(row.words, adj.words(), order)) continue;
        reg.for_each_neighbour(order[head], [&](std::uint64_t n) {
            if (visited.insert(n)) order.push_back(n);
        });
    }
    return order;
}

}  // namespace tessaryn
