// A register's compact binary form, for saving and sending a state: its VOPs, its edges and,
// for a simulator with a seeded stream, where that stream stands. All numbers little-endian:
//
//   bytes 0-3     "TSRY"
//   4-5           format version (1)
//   6-7           flags: bit 0 when a stream follows the edges
//   8-15          n, the number of qubits
//   16-23         E, the number of edges
//   then          n VOP bytes; E edges as pairs (u, v) of 32-bit ids, u < v, in ascending order
//   then          with a stream: its 32-byte key and its 64-bit position
//   last 8        a 64-bit checksum of every byte before it
//
// So a snapshot is n + 8E bytes and a few more. Reading one checks all of it before a register
// is built from it: a damaged or foreign snapshot is refused, never turned into a broken state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/register.h"

namespace tessaryn {

/// Where a seeded random stream stands: its key and the words drawn from it (engine/random.h).
struct StreamState {
    std::array<std::uint8_t, 32> key;
    std::uint64_t position;
};

/// The snapshot format this code writes, and the newest it reads.
inline constexpr std::uint16_t kSnapshotVersion = 1;

/// Bytes of the snapshot of a register of n qubits and `edges` edges.
std::size_t snapshot_size(std::uint64_t n, std::uint64_t edges, bool with_stream) noexcept;

/// Writes the snapshot of `reg`, which has `edges` edges (edge_count), into `out`, which holds
/// exactly snapshot_size bytes. O(n + edges).
void write_snapshot(const Register& reg, std::uint64_t edges, const StreamState* stream,
                    std::span<std::byte> out) noexcept;

struct Restored {
    Register reg;
    std::optional<StreamState> stream;
};

/// The register and stream a snapshot describes. Faults (FaultKind::bad_value) with what is
/// wrong when the bytes are not a whole, undamaged snapshot of a version this code reads; throws
/// std::bad_alloc when the register does not fit. Either way nothing is left behind. O(n + E).
Restored read_snapshot(std::span<const std::byte> in);

/// The checksum snapshots carry: 64 bits of a fast non-cryptographic hash, for damage in
/// storage or transit (not for tampering). O(bytes).
std::uint64_t snapshot_checksum(std::span<const std::byte> data) noexcept;

}  // namespace tessaryn
