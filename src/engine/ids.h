// Sorted lists of vertex ids: the algebra of short adjacency rows and of the sets built from them.
// Every list is strictly ascending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaryn {

/// A vertex index as stored in adjacency rows and id lists.
using Id = std::uint32_t;
/// Registers hold at most this many vertices, so that every vertex fits an `Id`.
inline constexpr std::uint64_t kMaxVertices = std::uint64_t{1} << 32;

namespace sorted {

/// Position of the first id not below `i`. O(log size).
inline std::size_t lower_bound(std::span<const Id> ids, std::uint64_t i) noexcept {
    std::size_t lo = 0, hi = ids.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (ids[mid] < i)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// Whether `i` is among `ids`. Short lists are scanned: a handful of compares beats a search.
inline bool contains(std::span<const Id> ids, std::uint64_t i) noexcept {
    if (ids.size() <= 16) {
        for (const Id x : ids)
            if (x >= i) return x == i;
        return false;
    }
    const std::size_t at = lower_bound(ids, i);
    return at < ids.size() && ids[at] == i;
}

/// Number of ids in both lists. O(a + b), or O(a log b) when a is much the shorter.
std::size_t intersection_size(std::span<const Id> a, std::span<const Id> b) noexcept;

/// out = (row Δ operand) \ {self}; returns its size. `out` must hold row + operand ids and must
/// not overlap either input. O(row + operand).
std::size_t symmetric_difference(std::span<const Id> row, std::span<const Id> operand, Id self, Id* out) noexcept;

/// Inserts `i`, absent, into the `size` ids at `ids`, which have room for one more. O(size).
void insert(Id* ids, std::size_t size, Id i) noexcept;

/// Removes `i`, present, from the `size` ids at `ids`. O(size).
void erase(Id* ids, std::size_t size, Id i) noexcept;

/// Replaces `from`, present, by `to`, absent, keeping the order. O(size).
void replace(Id* ids, std::size_t size, Id from, Id to) noexcept;

/// Merges `part` into the `size` ids at `out`, which has room for them all and shares no id with
/// `part`; returns the merged size. O(size + part).
inline std::size_t merge_in(Id* out, std::size_t size, std::span<const Id> part) noexcept {
    // From the back, in place: the merged prefix only moves right. Which side gives the next id
    // is as good as random, so the merge advances by comparison rather than by branch.
    std::size_t i = size, j = part.size(), k = size + part.size();
    while (i > 0 && j > 0) {
        const Id x = out[i - 1], y = part[j - 1];
        const bool from_out = x > y;
        out[--k] = from_out ? x : y;
        i -= from_out;
        j -= !from_out;
    }
    while (j > 0) out[--k] = part[--j];
    return size + part.size();
}


}  // namespace sorted
}  // namespace tessaryn
