#include "engine/peek.h"

#include "engine/fault.h"
#include "engine/tableau_ops.h"
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
    // The undo log puts back graph changes; the tableau groups of the qubits are put back from
    // copies of those groups alone.
    const HeldSnapshot held(reg, qubits);
    Transaction txn(reg, wb);
    for (const std::uint64_t q : qubits) {
        check_index(reg.size(), q);
        // A qubit in a product state has one axis of certain outcome, whatever form holds it: an
        // isolated vertex's, or the one its tableau finds.
        Place place;
        const int certain = reg.groups().find(q, place) ? certain_axis_held(reg, q, place)
                            : reg.isolated(q)           ? clifford::ISOLATED_AXIS[clifford::adjoint(reg.vop(q))]
                                                        : -1;
        const clifford::Axis axis = certain >= 0 ? static_cast<clifford::Axis>(certain) : random_axis(rng);
        out.push_back({q, measure(reg, q, axis, rng, wb, &held), axis});
    }
    txn.rollback();
    return out;
}

}  // namespace tessaryn
