#include "engine/peek.h"

#include "engine/fault.h"
#include "engine/measure.h"

namespace tessaryn {

std::vector<PeekResult> peek(const Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng) {
    Register copy = reg.clone();
    std::vector<PeekResult> out;
    out.reserve(qubits.size());
    for (const std::uint64_t q : qubits) {
        check_index(copy.size(), q);
        const clifford::Axis axis = copy.isolated(q)
                                        ? static_cast<clifford::Axis>(
                                              clifford::ISOLATED_AXIS[clifford::adjoint(copy.vop(q))])
                                        : random_axis(rng);
        out.push_back({q, measure(copy, q, axis, rng), axis});
    }
    return out;
}

}  // namespace tessaryn
