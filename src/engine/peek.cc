#include "engine/peek.h"

#include "engine/fault.h"
#include "engine/measure.h"
#include "engine/thread_state.h"

namespace tessaryn {

std::vector<PeekResult> peek(Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng) {
    return peek(reg, qubits, rng, thread_state().bench);
}

std::vector<PeekResult> peek(Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng,
                             Workbench& wb) {
    std::vector<PeekResult> out;
    out.reserve(qubits.size());
    // Measuring in place needs graph form, and the undo log records only graph changes.
    for (const std::uint64_t q : qubits) reg.graph_form_of(q);
    Transaction txn(reg, wb);
    for (const std::uint64_t q : qubits) {
        check_index(reg.size(), q);
        const clifford::Axis axis =
            reg.isolated(q) ? static_cast<clifford::Axis>(clifford::ISOLATED_AXIS[clifford::adjoint(reg.vop(q))])
                            : random_axis(rng);
        out.push_back({q, measure(reg, q, axis, rng, wb), axis});
    }
    txn.rollback();
    return out;
}

}  // namespace tessaryn
