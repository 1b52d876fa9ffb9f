// Controlled-Z and the eight controlled-Pauli gates built from it.
#pragma once

#include <cstdint>

#include "engine/plan.h"
#include "engine/register.h"

namespace tessaryn {

/// Applies CZ to a and b. Faults, before any change, with "assertion `left != right` failed:
/// Same control and target not allowed…" when a = b, then with the index message for a, then
/// for b. Reduces a, then b, then a again where needed so that each is diagonal or has no
/// neighbour besides the other, then reads CZ_TABLE. When the vertex to reduce has one other
/// neighbour, a hub of eight neighbours or more, and the other vertex none but the hub, it reads
/// HUB_CZ instead (clifford/hub_table.h) and leaves the hub's row alone. a and b are not
/// interchangeable in the representation produced. Cost: one lookup when neither has other
/// neighbours or beside a hub; otherwise up to three reductions. A gate on a group held as a
/// tableau, or one the cost model moves there, goes through engine/forms.h instead: O(m/64).
void cz(Register& reg, std::uint64_t a, std::uint64_t b);
/// The same with a workbench given, whose open transaction (if any) records the change.
void cz(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb);

/// The controlled-Pauli gates: CZ conjugated by single-qubit steps on control c and target t.
/// Every check of the gate runs first, in step order, so a failing call changes nothing and
/// reports the first fault the step order would meet.
void cx(Register& reg, std::uint64_t c, std::uint64_t t);
void cy(Register& reg, std::uint64_t c, std::uint64_t t);
void xcx(Register& reg, std::uint64_t c, std::uint64_t t);
void xcy(Register& reg, std::uint64_t c, std::uint64_t t);
void xcz(Register& reg, std::uint64_t c, std::uint64_t t);
void ycx(Register& reg, std::uint64_t c, std::uint64_t t);
void ycy(Register& reg, std::uint64_t c, std::uint64_t t);
void ycz(Register& reg, std::uint64_t c, std::uint64_t t);

}  // namespace tessaryn
