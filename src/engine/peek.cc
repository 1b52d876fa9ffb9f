#include "engine/peek.h"

#include "engine/fault.h"
#include "engine/journal.h"
#include "engine/measure.h"

namespace tessaryn {

std::vector<PeekResult> peek(Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng) {
    std::vector<PeekResult> out;
    out.reserve(qubits.size());
    Transaction txn(reg, true);
    for (const std::uint64_t q : qubits) {
        check_index(reg.size(), q);
        const clifford::Axis axis =
            reg.isolated(q) ? static_cast<clifford::Axis>(clifford::ISOLATED_AXIS[clifford::adjoint(reg.vop(q))])
                            : random_axis(rng);
        out.push_back({q, measure(reg, q, axis, rng), axis});
    }
    txn.rollback();
    return out;
}

}  // namespace tessaryn
