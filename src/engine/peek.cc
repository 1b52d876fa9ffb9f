#include "engine/peek.h"

#include "engine/fault.h"
#include "engine/forms.h"
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
    // The undo log puts back graph changes; tableaux measured in are put back from a copy.
    TableauSnapshot tableaux(reg, qubits, wb);
    Transaction txn(reg, wb);
    for (const std::uint64_t q : qubits) {
        check_index(reg.size(), q);
        // A qubit in a product state has one axis of certain outcome; for a vertex that is being
        // isolated, in a tableau the axis the tableau finds.
        const int certain = in_tableau(reg, q) ? certain_axis_in_tableau(reg, q)
                            : reg.isolated(q)  ? clifford::ISOLATED_AXIS[clifford::adjoint(reg.vop(q))]
                                               : -1;
        const clifford::Axis axis = certain >= 0 ? static_cast<clifford::Axis>(certain) : random_axis(rng);
        out.push_back({q, measure(reg, q, axis, rng, wb), axis});
    }
    txn.rollback();
    return out;
}

}  // namespace tessaryn
