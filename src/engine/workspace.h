// Scratch memory reused by the engine operations of one thread, so that gates and measurements
// do not allocate once it has grown to the register's size.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/bitset.h"

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

namespace bits {

/// dst ^= src, word by word.
inline void xor_into(std::span<Word> dst, std::span<const Word> src) {
    for (std::size_t k = 0; k < dst.size(); ++k) dst[k] ^= src[k];
}

}  // namespace bits
}  // namespace tessaryn
