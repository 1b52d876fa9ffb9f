// Scratch memory reused by the engine operations of one thread, so that gates and measurements
// do not allocate once it has grown to the register's size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/bitset.h"
#include "engine/register.h"

namespace tessaryn {

/// Named buffers, one per use, so that an operation calling another never shares one.
struct Workspace {
    std::vector<std::uint64_t> members;        // neighbour list of a complementation
    std::vector<std::uint64_t> first, second;  // neighbour lists of a measurement or a pivot
    std::vector<std::uint64_t> third;
    std::vector<Word> tracked;                 // neighbourhoods followed through a reduction
    std::vector<Word> masks;                   // row masks of a pivot or a measurement

    /// `count` rows of `stride` words from `buf`, contents unspecified.
    static std::span<Word> rows(std::vector<Word>& buf, std::size_t count, std::size_t stride) {
        if (buf.size() < count * stride) buf.resize(count * stride);
        return {buf.data(), count * stride};
    }
};

/// The calling thread's workspace.
Workspace& workspace();

/// Cost model for edge rewrites: toggling `pairs` edges bit by bit, or XOR-ing `rows` whole
/// rows of `stride` words. Single toggles touch two scattered words each; row XORs stream.
inline bool prefer_rows(std::uint64_t pairs, std::uint64_t rows, std::size_t stride) {
    return rows * stride < pairs * 4;
}

/// Scratch rows for a rewrite around u and v: copies of their two rows, and a third row for the
/// caller. Valid until the next call on this thread.
struct RowCopies {
    std::span<Word> of_u, of_v, extra;
};
inline RowCopies copy_rows(const Register& reg, std::uint64_t u, std::uint64_t v) {
    const std::size_t stride = reg.stride();
    const std::span<Word> rows = Workspace::rows(workspace().masks, 3, stride);
    RowCopies out{rows.subspan(0, stride), rows.subspan(stride, stride), rows.subspan(2 * stride, stride)};
    std::copy(reg.row(u).begin(), reg.row(u).end(), out.of_u.begin());
    std::copy(reg.row(v).begin(), reg.row(v).end(), out.of_v.begin());
    return out;
}

}  // namespace tessaryn
