#include "engine/journal.h"

#include <algorithm>
#include <cstring>

#include "engine/fault.h"

namespace tessaryn {

std::size_t Journal::toggles_words(std::span<const ToggleGroup> groups, std::size_t words) noexcept {
    std::size_t total = kHeader;
    for (const ToggleGroup& g : groups) total += set_words(g.members, words) + set_words(g.operand, words);
    return total;
}

void Journal::reserve(std::size_t words) {
    const std::size_t need = size_ + pending_ + words;
    if (need > capacity_) {
        const std::size_t grown = std::max(need, 2 * capacity_);
        auto fresh = std::make_unique_for_overwrite<std::uint64_t[]>(grown);
        std::copy(data_.get(), data_.get() + size_, fresh.get());
        data_ = std::move(fresh);
        capacity_ = grown;
    }
    pending_ += words;
}

void Journal::claim(std::size_t words) noexcept {
    // A record without its reservation would write past the buffer.
    if (words > pending_ || size_ + words > capacity_) [[unlikely]]
        internal_error("undo record without reserved room");
    pending_ -= words;
}

void Journal::header(Kind kind, clifford::Vop vop, std::uint64_t value, std::size_t payload) noexcept {
    data_[size_] = value;
    data_[size_ + 1] = static_cast<std::uint64_t>(kind) | std::uint64_t{vop} << 8 | std::uint64_t{payload} << 16;
    size_ += kHeader;
}

void Journal::copy(const VertexSet& s, std::size_t words) noexcept {
    std::uint64_t* out = data_.get() + size_;
    out[0] = std::uint64_t{s.count} << 1 | (s.mask != nullptr);
    if (s.mask != nullptr) {
        out[1] = std::uint64_t{s.lo} << 32 | s.hi;
        std::copy(s.mask + s.lo, s.mask + s.hi, out + 2);
    } else if (s.count != 0) {
        out[(s.count + 1) / 2] = 0;  // the unused half of an odd count's last word
        std::copy(s.ids.begin(), s.ids.end(), reinterpret_cast<Id*>(out + 1));
    }
    size_ += set_words(s, words);
}

VertexSet Journal::view(const std::uint64_t* at, const std::uint64_t*& next, std::size_t /*words*/) noexcept {
    const std::size_t count = at[0] >> 1;
    if (at[0] & 1u) {
        const std::size_t lo = at[1] >> 32, hi = at[1] & 0xFFFFFFFFu;
        next = at + 2 + (hi - lo);
        return VertexSet::bits(at + 2 - lo, count, lo, hi);
    }
    next = at + 1 + (count + 1) / 2;
    return VertexSet::list(std::span<const Id>(reinterpret_cast<const Id*>(at + 1), count));
}

void Journal::record_vop(std::uint64_t v, clifford::Vop old) noexcept {
    claim(vop_words());
    header(Kind::vop, old, v, 0);
}

void Journal::record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept {
    claim(multiply_words(s, words));
    const std::size_t start = size_;
    copy(s, words);
    header(Kind::multiply, factor, 0, size_ - start);
}

void Journal::record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept {
    claim(toggles_words(groups, words));
    const std::size_t start = size_;
    for (const ToggleGroup& g : groups) {
        copy(g.members, words);
        copy(g.operand, words);
    }
    header(Kind::toggles, 0, groups.size(), size_ - start);
}

void Journal::record_exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v,
                              std::size_t words) noexcept {
    claim(exchange_words(only_u, only_v, words));
    const std::size_t start = size_;
    copy(only_u, words);
    copy(only_v, words);
    header(Kind::exchange, 0, u | v << 32, size_ - start);
}

void Journal::keep(std::uint64_t v, const Row& old) {
    reserve(kRowWords + kHeader);
    claim(kRowWords + kHeader);
    std::memcpy(data_.get() + size_, &old, sizeof(Row));
    size_ += kRowWords;
    header(Kind::row, 0, v, kRowWords);
}

void Journal::undo(Kind kind, clifford::Vop vop, std::uint64_t value, const std::uint64_t* at, Register& reg,
                   RowScratch& rows) noexcept {
    Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    switch (kind) {
        case Kind::vop:
            reg.set_vop(value, vop);
            break;
        case Kind::multiply:
            reg.multiply_vops(view(at, at, words), clifford::adjoint(vop));
            break;
        case Kind::row: {
            Row saved;
            std::memcpy(&saved, at, sizeof(Row));
            adj.restore_row(value, saved);
            break;
        }
        case Kind::toggles:
            // The groups' members are disjoint, so replaying them one at a time changes each row
            // once, as the rewrite did.
            for (std::uint64_t i = 0; i < value; ++i) {
                ToggleGroup g;
                g.members = view(at, at, words);
                g.operand = view(at, at, words);
                adj.apply_toggles({&g, 1}, rows);
            }
            break;
        case Kind::exchange: {
            const VertexSet moved_to_v = view(at, at, words);
            const VertexSet moved_to_u = view(at, at, words);
            adj.exchange(value & 0xFFFFFFFFu, value >> 32, moved_to_u, moved_to_v);
            break;
        }
    }
}

void Journal::rollback(Register& reg, RowScratch& rows) noexcept {
    std::size_t end = size_;
    while (end != 0) {
        const std::uint64_t value = data_[end - 2], info = data_[end - 1];
        const std::size_t payload = info >> 16;
        const std::size_t start = end - kHeader - payload;
        undo(static_cast<Kind>(info & 0xFF), static_cast<clifford::Vop>((info >> 8) & 0xFF), value,
             data_.get() + start, reg, rows);
        end = start;
    }
    clear();
}

void Journal::commit() noexcept {
    std::size_t end = size_;
    while (end != 0) {
        const std::uint64_t info = data_[end - 1];
        end -= kHeader + (info >> 16);
        if (static_cast<Kind>(info & 0xFF) == Kind::row) {
            Row saved;
            std::memcpy(&saved, data_.get() + end, sizeof(Row));
            rows::release(saved);
        }
    }
    clear();
}

}  // namespace tessaryn
