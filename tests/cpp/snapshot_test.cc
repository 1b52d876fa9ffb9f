#include "engine/snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/fault.h"
#include "engine/cz.h"
#include "engine/gates.h"
#include "engine/graph_view.h"
#include "test_support.h"

namespace tessaryn {
namespace {

std::vector<std::byte> snapshot_of(Register& reg, const StreamState* stream) {
    const GraphView view = GraphView::whole(reg);
    const std::uint64_t edges = view.edge_count();
    std::vector<std::byte> out(snapshot_size(view, edges, stream != nullptr));
    write_snapshot(view, edges, stream, {}, out);
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
    for (int round = 0; round < 10; ++round) {
        Register reg = round < 3 ? testing::random_register(gen, 1 + 40 * round, 0.3)
                                 : testing::scattered_register(gen, 6000, 200, 0.3);
        // Later rounds hold groups as tableaux, which the snapshot names and reading restores.
        if (round >= 6) {
            reg.set_form_policy(FormPolicy::tableau);
            for (int i = 0; i < 40; ++i) cz(reg, gen() % 40, 40 + gen() % 40);
            reg.set_form_policy(FormPolicy::automatic);
            ASSERT_FALSE(reg.groups().empty());
        }
        const bool with = round % 2 == 0;
        const std::vector<std::byte> bytes = snapshot_of(reg, with ? &stream : nullptr);
        if (round < 6) {
            EXPECT_EQ(bytes.size(), 24 + reg.size() + 8 * GraphView::whole(reg).edge_count() + (with ? 40 : 0) + 8);
        }
        Restored back = read_snapshot(bytes);
        TESSARYN_EXPECT_VALID(back.reg);
        if (round < 6) {
            EXPECT_TRUE(back.reg == reg);
        }
        EXPECT_EQ(back.reg.groups().count(), reg.groups().count());
        EXPECT_EQ(back.reg.account(), reg.account());
        EXPECT_TRUE(snapshot_of(back.reg, with ? &stream : nullptr) == bytes) << "round " << round;
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
    Register reg = testing::random_register(gen, 9, 0.5);
    const std::vector<std::byte> good = snapshot_of(reg, nullptr);
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
    EXPECT_EQ(edit(4, 3, 2),
              "not a usable simulator snapshot: it is in format 3, and this version of the library "
              "reads formats 1 to 2");
    EXPECT_EQ(edit(6, 4, 2), "not a usable simulator snapshot: its header has unknown flags 4");
    EXPECT_EQ(edit(6, 2, 2), "not a usable simulator snapshot: its header has unknown flags 2");  // format 1
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

// The same for the section that names the groups held as tableaux.
TEST(Snapshot, refuses_crafted_tableau_groups_with_a_reason) {
    Register reg(6);
    reg.set_form_policy(FormPolicy::tableau);
    for (const std::uint64_t q : {0, 1, 2, 3}) single_qubit_gate(reg, q, clifford::kHadamard);
    cz(reg, 0, 1);
    cz(reg, 2, 3);
    reg.add_edge(4, 5);
    ASSERT_EQ(reg.groups().count(), 2u);
    const std::vector<std::byte> good = snapshot_of(reg, nullptr);
    ASSERT_EQ(refusal(good), "");
    const GraphView view = GraphView::whole(reg);
    const std::size_t forms = 24 + 6 + 8 * view.edge_count(), first = forms + 32 + 32;
    const auto edit = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        std::vector<std::byte> bad = good;
        std::memcpy(bad.data() + at, &value, width);
        reseal(bad);
        return refusal(bad);
    };
    const std::string no = "not a usable simulator snapshot: ";
    EXPECT_EQ(edit(forms + 16, 9, 8), no + "its move shift 9 is beyond the largest");
    EXPECT_EQ(edit(first + 4, 0, 4), no + "its tableau group 0 lists qubit 0, not an ascending qubit of 6 qubits");
    EXPECT_EQ(edit(first + 4, 7, 4), no + "its tableau group 0 lists qubit 7, not an ascending qubit of 6 qubits");
    EXPECT_EQ(edit(first + 4, 4, 4), no + "tableau group 0 holds qubit 0 but not its neighbour 1");
    EXPECT_EQ(edit(first + 40, 0, 4), no + "qubit 0 is in two tableau groups");
    EXPECT_EQ(edit(forms + 32, 0, 8),
              no + "its tableau group 0 has 0 members, which is none, beyond the largest tableau, or more than the "
                   "section holds");
    EXPECT_EQ(edit(forms + 24, 3, 8), no + "its forms section is cut short");
    EXPECT_EQ(edit(forms + 24, 1, 8), no + "its forms section has bytes beyond its groups");
}

}  // namespace
}  // namespace tessaryn
