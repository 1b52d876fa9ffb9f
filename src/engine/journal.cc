#include "engine/journal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/register.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

// The most groups one rewrite uses (a pivot and a measurement along X use four).
constexpr std::size_t kMaxGroups = 8;

}  // namespace

void Journal::want(std::size_t words) {
    const std::size_t need = size_ + pending_ + words;
    if (need > capacity_) {
        const std::size_t grown = need > 2 * capacity_ ? need : 2 * capacity_;
        auto fresh = std::make_unique_for_overwrite<std::uint64_t[]>(grown);
        std::copy(data_.get(), data_.get() + size_, fresh.get());
        data_ = std::move(fresh);
        capacity_ = grown;
    }
    pending_ += words;
}

void Journal::header(Kind kind, clifford::Vop vop, std::uint64_t value, std::size_t payload) noexcept {
    if (size_ + kHeader > capacity_) [[unlikely]] {
        // A record without its reservation: writing on would corrupt memory.
        std::fprintf(stderr, "tessaryn: internal error: journal record without room\n");
        std::abort();
    }
    data_[size_] = value;
    data_[size_ + 1] = static_cast<std::uint64_t>(kind) | std::uint64_t{vop} << 8 | std::uint64_t{payload} << 16;
    size_ += kHeader;
    pending_ -= std::min(pending_, payload + kHeader);
}

void Journal::reserve_toggles(std::span<const ToggleGroup> groups, std::size_t words) {
    std::size_t total = kHeader;
    for (const ToggleGroup& g : groups) total += set_words(g.members, words) + set_words(g.operand, words);
    want(total);
}

void Journal::copy(const VertexSet& s, std::size_t words) noexcept {
    if (size_ + set_words(s, words) + kHeader > capacity_) [[unlikely]] {
        std::fprintf(stderr, "tessaryn: internal error: journal record without room\n");
        std::abort();
    }
    std::uint64_t* out = data_.get() + size_;
    out[0] = std::uint64_t{s.count} << 1 | (s.mask != nullptr);
    if (s.mask != nullptr) {
        std::copy(s.mask, s.mask + words, out + 1);
    } else if (s.count != 0) {
        out[(s.count + 1) / 2] = 0;  // the unused half of an odd count's last word
        std::copy(s.ids.begin(), s.ids.end(), reinterpret_cast<Id*>(out + 1));
    }
    size_ += set_words(s, words);
}

VertexSet Journal::view(const std::uint64_t* at, const std::uint64_t*& next, std::size_t words) const noexcept {
    const std::size_t count = at[0] >> 1;
    if (at[0] & 1u) {
        next = at + 1 + words;
        return VertexSet::bits(at + 1, count);
    }
    next = at + 1 + (count + 1) / 2;
    return VertexSet::list(std::span<const Id>(reinterpret_cast<const Id*>(at + 1), count));
}

void Journal::record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept {
    const std::size_t start = size_;
    copy(s, words);
    header(Kind::multiply, factor, 0, size_ - start);
}

void Journal::record_step(Undo undo, std::uint64_t a0, std::uint64_t a1, std::uint64_t a2) noexcept {
    if (size_ + kStepWords + kHeader > capacity_) [[unlikely]] {
        std::fprintf(stderr, "tessaryn: internal error: journal record without room\n");
        std::abort();
    }
    data_[size_] = a0;
    data_[size_ + 1] = a1;
    data_[size_ + 2] = a2;
    size_ += kStepWords;
    header(Kind::step, 0, reinterpret_cast<std::uint64_t>(undo), kStepWords);
}

void Journal::record_row(std::uint64_t v, const Row& old) noexcept {
    if (size_ + kRowWords + kHeader > capacity_) [[unlikely]] {
        std::fprintf(stderr, "tessaryn: internal error: journal record without room\n");
        std::abort();
    }
    std::memcpy(data_.get() + size_, &old, sizeof(Row));
    size_ += kRowWords;
    header(Kind::row, 0, v, kRowWords);
}

void Journal::record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept {
    if (groups.size() > kMaxGroups) [[unlikely]] {
        std::fprintf(stderr, "tessaryn: internal error: rewrite with %zu groups\n", groups.size());
        std::abort();
    }
    const std::size_t start = size_;
    for (const ToggleGroup& g : groups) {
        copy(g.members, words);
        copy(g.operand, words);
    }
    header(Kind::toggles, 0, groups.size(), size_ - start);
}

bool Journal::rollback(Register& reg, Workspace& ws) noexcept {
    Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    bool whole = true;
    std::size_t end = size_;
    while (end != 0) {
        const std::uint64_t value = data_[end - 2], info = data_[end - 1];
        const auto kind = static_cast<Kind>(info & 0xFF);
        const auto vop = static_cast<clifford::Vop>((info >> 8) & 0xFF);
        const std::size_t payload = info >> 16;
        const std::size_t start = end - kHeader - payload;
        const std::uint64_t* at = data_.get() + start;
        switch (kind) {
            case Kind::vop:
                reg.restore_vop(value, vop);
                break;
            case Kind::multiply: {
                const clifford::Vop inverse = clifford::adjoint(vop);
                const std::uint64_t* next;
                view(at, next, words).for_each(words, [&](std::uint64_t x) {
                    reg.restore_vop(x, clifford::product(reg.vop(x), inverse));
                });
                break;
            }
            case Kind::row: {
                Row saved;
                std::memcpy(&saved, at, sizeof(Row));
                adj.restore_row(value, saved);
                break;
            }
            case Kind::toggles: {
                std::array<ToggleGroup, kMaxGroups> groups;
                for (std::uint64_t i = 0; i < value; ++i) {
                    groups[i].members = view(at, at, words);
                    groups[i].operand = view(at, at, words);
                }
                adj.apply_toggles(std::span<const ToggleGroup>(groups.data(), value), ws);
                break;
            }
            case Kind::exchange:
                adj.exchange(value & 0xFFFFFFFFu, value >> 32);
                break;
            case Kind::step:
                try {
                    reinterpret_cast<Undo>(value)(reg, at);
                } catch (...) {
                    whole = false;
                }
                break;
        }
        end = start;
    }
    clear();
    return whole;
}

void Journal::commit() noexcept {
    std::size_t end = size_;
    while (end != 0) {
        const std::uint64_t info = data_[end - 1];
        const std::size_t payload = info >> 16;
        end -= kHeader + payload;
        if (static_cast<Kind>(info & 0xFF) == Kind::row) {
            Row saved;
            std::memcpy(&saved, data_.get() + end, sizeof(Row));
            Adjacency::release(saved);
        }
    }
    clear();
}

Transaction::Transaction(Register& reg, bool always) noexcept
    : reg_(reg), owner_(reg.adj().journal() == nullptr && (always || !reg.adj().dense())), open_(true) {
    if (owner_) reg_.adj().set_journal(&workspace().journal);
}

Transaction::~Transaction() { rollback(); }

void Transaction::commit() noexcept {
    if (!owner_ || !open_) return;
    open_ = false;
    Workspace& ws = workspace();
    ws.journal.commit();
    reg_.adj().set_journal(nullptr);
    reg_.adj().normalize(ws);
}

void Transaction::rollback() noexcept {
    if (!owner_ || !open_) return;
    open_ = false;
    Workspace& ws = workspace();
    // Detached first: nothing the rollback does is to be recorded.
    reg_.adj().set_journal(nullptr);
    ws.candidates.clear();
    if (!ws.journal.rollback(reg_, ws)) reg_.mark_unusable();
    ws.candidates.clear();
}

}  // namespace tessaryn
