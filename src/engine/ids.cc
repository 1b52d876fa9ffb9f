#include "engine/ids.h"

#include <cstring>
#include <utility>

namespace tessaryn::sorted {

std::size_t intersection_size(std::span<const Id> a, std::span<const Id> b) noexcept {
    if (a.size() > b.size()) std::swap(a, b);
    if (a.empty()) return 0;
    std::size_t common = 0;
    if (a.size() * 16 < b.size()) {
        // Much shorter than the other: search for each of its ids instead of walking both.
        for (const Id x : a) common += contains(b, x);
        return common;
    }
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const Id x = a[i], y = b[j];
        common += x == y;
        i += x <= y;
        j += y <= x;
    }
    return common;
}

std::size_t symmetric_difference(std::span<const Id> row, std::span<const Id> operand, Id self, Id* out) noexcept {
    std::size_t i = 0, j = 0, k = 0;
    const std::size_t nr = row.size(), no = operand.size();
    // Without branches on the data: which list advances is as good as random.
    while (i < nr && j < no) {
        const Id x = row[i], y = operand[j];
        const Id low = x < y ? x : y;
        out[k] = low;
        k += static_cast<std::size_t>((x != y) & (low != self));  // the row never holds `self`
        i += x <= y;
        j += y <= x;
    }
    while (i < nr) out[k++] = row[i++];
    for (; j < no; ++j) {
        out[k] = operand[j];
        k += operand[j] != self;
    }
    return k;
}

// Short lists shift by hand: a library call costs more than moving a few ids.
void insert(Id* ids, std::size_t size, Id i) noexcept {
    std::size_t k = size;
    if (k > 32) {
        const std::size_t at = lower_bound({ids, size}, i);
        std::memmove(ids + at + 1, ids + at, (k - at) * sizeof(Id));
        k = at;
    } else {
        for (; k > 0 && ids[k - 1] > i; --k) ids[k] = ids[k - 1];
    }
    ids[k] = i;
}

void erase(Id* ids, std::size_t size, Id i) noexcept {
    const std::size_t at = lower_bound({ids, size}, i);
    if (size - at > 32) {
        std::memmove(ids + at, ids + at + 1, (size - at - 1) * sizeof(Id));
    } else {
        for (std::size_t k = at; k + 1 < size; ++k) ids[k] = ids[k + 1];
    }
}

void replace(Id* ids, std::size_t size, Id from, Id to) noexcept {
    const std::size_t p = lower_bound({ids, size}, from);
    const std::size_t t = lower_bound({ids, size}, to);
    if (t > p) {
        std::memmove(ids + p, ids + p + 1, (t - 1 - p) * sizeof(Id));
        ids[t - 1] = to;
    } else {
        std::memmove(ids + t + 1, ids + t, (p - t) * sizeof(Id));
        ids[t] = to;
    }
}

}  // namespace tessaryn::sorted
