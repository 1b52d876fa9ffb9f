#include "engine/local_complement.h"

#include "clifford/reduction_word.h"

namespace tessaryn {

using namespace clifford;

void local_complement(Register& reg, std::uint64_t v, std::vector<std::uint64_t>& scratch) {
    scratch.clear();
    bits::append_members(reg.row(v), scratch);
    const std::size_t deg = scratch.size();
    for (std::size_t i = 0; i < deg; ++i) {
        const std::uint64_t n = scratch[i];
        for (std::size_t j = i + 1; j < deg; ++j) reg.toggle_edge(n, scratch[j]);
        reg.set_vop(n, product(reg.vop(n), kS));
    }
    reg.set_vop(v, product(reg.vop(v), kSqrtIX));
}

void local_complement(Register& reg, std::uint64_t v) {
    std::vector<std::uint64_t> scratch;
    local_complement(reg, v, scratch);
}

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b) {
    // Smallest neighbour of a that is not b; b only when a has no other.
    std::uint64_t partner = b;
    const auto row = reg.row(a);
    for (std::size_t k = 0; k < row.size(); ++k) {
        Word w = row[k];
        if (k == b / kWordBits) w &= ~(Word{1} << (b % kWordBits));
        if (w != 0) {
            partner = k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(w));
            break;
        }
    }
    const ReductionWord& word = REDUCTION_WORD[reg.vop(a)];
    std::vector<std::uint64_t> scratch;
    for (int i = 0; i < word.length; ++i) local_complement(reg, word.symbols[i] == 0 ? a : partner, scratch);
}

}  // namespace tessaryn
