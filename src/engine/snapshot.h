// A register's compact binary form, for saving and sending a state: its VOPs and edges (read
// through a graph view, so that groups held as tableaux are written as graphs without moving),
// which groups are held as tableaux and the cost model's records, and for a simulator with a
// seeded stream, where that stream stands. All numbers little-endian:
//
//   bytes 0-3     "TSRY"
//   4-5           format version: 1, or 2 when the forms section or a record is present
//   6-7           flags: bit 0 when a stream follows the edges, bit 1 when the forms section does,
//                 bit 2 when a measurement record does (format 2)
//   8-15          n, the number of qubits
//   16-23         E, the number of edges
//   then          n VOP bytes; E edges as pairs (u, v) of 32-bit ids, u < v, in ascending order
//   then          with a stream: its 32-byte key and its 64-bit position
//   then          with a record (flag bit 2): its length R, then ⌈R/64⌉ 64-bit words of results
//   then          the forms section: the register's record (credit, next look, move shift) and
//                 G, as four 64-bit numbers; then per group its size m, its record (spent,
//                 saved, per gate) as four 64-bit numbers, and its m members as ascending ids
//   last 8        a 64-bit checksum of every byte before it
//
// A register all in graph form, whose record is a fresh one's, has no forms section, so that its
// snapshot is format 1 as before. So a snapshot is n + 8E bytes and a few more (and 4 bytes per
// held qubit). Reading one checks all of it before a register is built from it: a damaged or
// foreign snapshot is refused, never turned into a broken state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/graph_view.h"
#include "engine/register.h"

namespace tessaryn {

/// Where a seeded random stream stands: its key and the words drawn from it (engine/random.h).
struct StreamState {
    std::array<std::uint8_t, 32> key;
    std::uint64_t position;
};

/// Results recorded beside the state (a simulator's measurement record): `size` bits, bit i of
/// `words` for result i, padding zero.
struct RecordBits {
    std::span<const Word> words;
    std::uint64_t size = 0;
};
/// The same, owned: what reading a snapshot gives back.
struct OwnedRecordBits {
    std::vector<Word> words;
    std::uint64_t size = 0;
};

/// The newest snapshot format this code writes and reads.
inline constexpr std::uint16_t kSnapshotVersion = 2;

/// Bytes of the snapshot of the view's register, which has `edges` edges (its edge_count), with
/// `recorded` results beside it.
std::size_t snapshot_size(const GraphView& view, std::uint64_t edges, bool with_stream,
                          std::uint64_t recorded = 0) noexcept;

/// Writes the snapshot of the view's register, which has `edges` edges, into `out`, which holds
/// exactly snapshot_size bytes. The view must be whole. O(n + edges + recorded/64).
void write_snapshot(const GraphView& view, std::uint64_t edges, const StreamState* stream, const RecordBits& record,
                    std::span<std::byte> out) noexcept;

struct Restored {
    Register reg;
    std::optional<StreamState> stream;
    OwnedRecordBits record;
};

/// The register and stream a snapshot describes, with the groups it names held as tableaux again.
/// Faults (FaultKind::bad_value) with what is wrong when the bytes are not a whole, undamaged
/// snapshot of a version this code reads; throws std::bad_alloc when the register does not fit.
/// Either way nothing is left behind. O(n + E), plus O(m²/64) per group held as a tableau.
Restored read_snapshot(std::span<const std::byte> in);

/// The checksum snapshots carry: 64 bits of a fast non-cryptographic hash, for damage in
/// storage or transit (not for tampering). O(bytes).
std::uint64_t snapshot_checksum(std::span<const std::byte> data) noexcept;

}  // namespace tessaryn
