#include "engine/snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/fault.h"
#include "engine/readout.h"
#include "test_support.h"

namespace tessaryn {
namespace {

std::vector<std::byte> snapshot_of(const Register& reg, const StreamState* stream) {
    const std::uint64_t edges = edge_count(reg);
    std::vector<std::byte> out(snapshot_size(reg.size(), edges, stream != nullptr));
    write_snapshot(reg, edges, stream, out);
    return out;
}

// The message of the fault reading `bytes` raises, or "" when it reads.
std::string refusal(const std::vector<std::byte>& bytes) {
    try {
        read_snapshot(bytes);
        return "";
    } catch (const Fault& f) {
        EXPECT_EQ(f.kind(), FaultKind::bad_value);
        return f.message();
    }
}

// Rewrites the checksum after an edit, as a crafted payload would.
void reseal(std::vector<std::byte>& bytes) {
    const std::size_t body = bytes.size() - 8;
    const std::uint64_t sum = snapshot_checksum({bytes.data(), body});
    std::memcpy(bytes.data() + body, &sum, 8);
}

TEST(Snapshot, round_trips_registers_of_both_kinds_and_streams) {
    TESSARYN_SEED(seed, 1234);
    std::mt19937_64 gen(seed);
    const StreamState stream{{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32},
                             987654321};
    for (int round = 0; round < 6; ++round) {
        const Register reg = round < 3 ? testing::random_register(gen, 1 + 40 * round, 0.3)
                                       : testing::scattered_register(gen, 6000, 200, 0.3);
        const bool with = round % 2 == 0;
        const std::vector<std::byte> bytes = snapshot_of(reg, with ? &stream : nullptr);
        EXPECT_EQ(bytes.size(), 24 + reg.size() + 8 * edge_count(reg) + (with ? 40 : 0) + 8);
        const Restored back = read_snapshot(bytes);
        TESSARYN_EXPECT_VALID(back.reg);
        EXPECT_TRUE(back.reg == reg);
        ASSERT_EQ(back.stream.has_value(), with);
        if (with) {
            EXPECT_EQ(back.stream->key, stream.key);
            EXPECT_EQ(back.stream->position, stream.position);
        }
    }
}

// Every damaged byte and every truncation is refused; so is anything that is not a snapshot.
TEST(Snapshot, refuses_damage_truncation_and_foreign_data) {
    TESSARYN_SEED(seed, 77);
    std::mt19937_64 gen(seed);
    const std::vector<std::byte> good = snapshot_of(testing::random_register(gen, 9, 0.5), nullptr);
    for (std::size_t i = 0; i < good.size(); ++i)
        for (const unsigned flip : {0x01u, 0x80u}) {
            std::vector<std::byte> bad = good;
            bad[i] ^= std::byte(flip);
            EXPECT_NE(refusal(bad), "") << "byte " << i;
        }
    for (std::size_t len = 0; len < good.size(); ++len)
        EXPECT_NE(refusal({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len)}), "") << "length " << len;
    std::vector<std::byte> longer = good;
    longer.push_back(std::byte{0});
    EXPECT_NE(refusal(longer), "");
    const std::string text = "not a snapshot at all, but long enough to have a header";
    EXPECT_EQ(refusal({reinterpret_cast<const std::byte*>(text.data()),
                       reinterpret_cast<const std::byte*>(text.data()) + text.size()}),
              "not a usable simulator snapshot: it does not begin with the snapshot marker \"TSRY\"");
}

// Payloads whose checksum is right but whose contents are not a state: each says what is wrong.
TEST(Snapshot, refuses_crafted_contents_with_a_reason) {
    Register reg(4);
    reg.add_edge(0, 1);
    reg.add_edge(2, 3);
    const std::vector<std::byte> good = snapshot_of(reg, nullptr);
    const std::size_t vops = 24, pairs = 28;
    const auto edit = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        std::vector<std::byte> bad = good;
        std::memcpy(bad.data() + at, &value, width);
        reseal(bad);
        return refusal(bad);
    };
    EXPECT_EQ(edit(4, 2, 2),
              "not a usable simulator snapshot: it is in format 2, and this version of the library "
              "reads formats 1 to 1");
    EXPECT_EQ(edit(6, 4, 2), "not a usable simulator snapshot: its header has unknown flags 4");
    EXPECT_EQ(edit(vops + 2, 24, 1), "not a usable simulator snapshot: qubit 2 has VOP 24, and VOPs run from 0 to 23");
    EXPECT_EQ(edit(pairs, 1, 4),
              "not a usable simulator snapshot: edge 0 (1, 1) is not an edge of 4 qubits in "
              "ascending order");
    EXPECT_EQ(edit(pairs + 12, 4, 4),
              "not a usable simulator snapshot: edge 1 (2, 4) is not an edge of 4 qubits in "
              "ascending order");
    EXPECT_EQ(edit(pairs + 8, std::uint64_t{1} << 32, 8),
              "not a usable simulator snapshot: edge 1 (0, 1) is not an "
              "edge of 4 qubits in ascending order");
    EXPECT_NE(edit(16, 3, 8), "");  // more edges announced than there are
    EXPECT_NE(edit(8, 0xFFFFFFFFu, 4), "");
}

}  // namespace
}  // namespace tessaryn
