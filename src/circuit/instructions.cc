#include "circuit/instructions.h"

#include <algorithm>

namespace tessaryn::circuit {
namespace {

using clifford::named_vop;

constexpr std::uint8_t program_of(std::string_view name) {
    for (std::size_t i = 0; i < clifford::TWO_QUBIT_GATES.size(); ++i)
        if (clifford::TWO_QUBIT_GATES[i].name == name) return static_cast<std::uint8_t>(i);
    return 255;
}

constexpr InstructionInfo single(std::string_view name) {
    return {name, Kind::single_qubit_gate, Targets::qubits, Args::none, 0, 0, true, false, named_vop(name)};
}
constexpr InstructionInfo two(std::string_view name, Targets targets = Targets::pairs) {
    return {name, Kind::two_qubit_gate, targets, Args::none, 0, 0, true, false, 0, program_of(name)};
}
constexpr InstructionInfo pauli_noise(std::string_view name, Targets targets, Args args, std::uint8_t count,
                                      std::uint8_t axis) {
    return {name, Kind::pauli_noise, targets, args, count, count, true, false, 0, 0, axis};
}
constexpr InstructionInfo collapse(std::string_view name, Kind kind, std::uint8_t axis) {
    const bool records = kind != Kind::reset;
    return {name,  kind, Targets::qubits, records ? Args::probability : Args::none, 0, records ? std::uint8_t{1} : std::uint8_t{0},
            true, records, 0, 0, axis};
}
constexpr InstructionInfo pair_measure(std::string_view name, std::uint8_t axis) {
    return {name, Kind::pair_measure, Targets::pairs, Args::probability, 0, 1, true, true, 0, 0, axis};
}
constexpr InstructionInfo annotation(std::string_view name, Kind kind, Targets targets, Args args, std::uint8_t min,
                                     std::uint8_t max) {
    return {name, kind, targets, args, min, max, false, false};
}

constexpr std::array<InstructionInfo, 81> kInstructions{{
    single("I"), single("X"), single("Y"), single("Z"), single("H"), single("S"), single("S_DAG"), single("SQRT_X"),
    single("SQRT_X_DAG"), single("SQRT_Y"), single("SQRT_Y_DAG"), single("H_XY"), single("H_YZ"), single("H_NXY"),
    single("H_NXZ"), single("H_NYZ"), single("C_XYZ"), single("C_ZYX"), single("C_NXYZ"), single("C_XNYZ"),
    single("C_XYNZ"), single("C_NZYX"), single("C_ZNYX"), single("C_ZYNX"),

    two("CX", Targets::feedback_pairs), two("CY", Targets::feedback_pairs), two("CZ", Targets::feedback_pairs),
    two("XCX"), two("XCY"), two("XCZ", Targets::feedback_pairs), two("YCX"), two("YCY"),
    two("YCZ", Targets::feedback_pairs), two("SQRT_XX"), two("SQRT_XX_DAG"), two("SQRT_YY"), two("SQRT_YY_DAG"),
    two("SQRT_ZZ"), two("SQRT_ZZ_DAG"), two("CXSWAP"), two("SWAPCX"), two("CZSWAP"), two("ISWAP"), two("ISWAP_DAG"),
    two("SWAP"),
    {"II", Kind::identity_noise, Targets::pairs, Args::none, 0, 0, true, false},

    pauli_noise("X_ERROR", Targets::qubits, Args::probability, 1, 0),
    pauli_noise("Y_ERROR", Targets::qubits, Args::probability, 1, 1),
    pauli_noise("Z_ERROR", Targets::qubits, Args::probability, 1, 2),
    pauli_noise("DEPOLARIZE1", Targets::qubits, Args::probability, 1, 0),
    pauli_noise("DEPOLARIZE2", Targets::pairs, Args::probability, 1, 0),
    pauli_noise("PAULI_CHANNEL_1", Targets::qubits, Args::disjoint, 3, 0),
    pauli_noise("PAULI_CHANNEL_2", Targets::pairs, Args::disjoint, 15, 0),
    {"E", Kind::correlated_error, Targets::paulis, Args::probability, 1, 1, false, false},
    {"ELSE_CORRELATED_ERROR", Kind::else_correlated_error, Targets::paulis, Args::probability, 1, 1, false, false},
    {"HERALDED_ERASE", Kind::heralded_noise, Targets::qubits, Args::probability, 1, 1, true, false},
    {"HERALDED_PAULI_CHANNEL_1", Kind::heralded_noise, Targets::qubits, Args::disjoint, 4, 4, true, false},
    {"I_ERROR", Kind::identity_noise, Targets::qubits, Args::disjoint, 0, kAnyCount, true, false},
    {"II_ERROR", Kind::identity_noise, Targets::pairs, Args::disjoint, 0, kAnyCount, true, false},

    collapse("M", Kind::measure, 2), collapse("MX", Kind::measure, 0), collapse("MY", Kind::measure, 1),
    collapse("MR", Kind::measure_reset, 2), collapse("MRX", Kind::measure_reset, 0),
    collapse("MRY", Kind::measure_reset, 1), collapse("R", Kind::reset, 2), collapse("RX", Kind::reset, 0),
    collapse("RY", Kind::reset, 1),

    pair_measure("MXX", 0), pair_measure("MYY", 1), pair_measure("MZZ", 2),
    {"MPP", Kind::pauli_product_measure, Targets::products, Args::probability, 0, 1, true, true},
    {"SPP", Kind::pauli_product_phase, Targets::products, Args::none, 0, 0, true, false},
    {"SPP_DAG", Kind::pauli_product_phase, Targets::products, Args::none, 0, 0, true, false, 0, 0, 2, true},

    annotation("REPEAT", Kind::repeat, Targets::none, Args::none, 0, 0),
    annotation("DETECTOR", Kind::detector, Targets::records, Args::coordinates, 0, kAnyCount),
    {"MPAD", Kind::pad, Targets::bits, Args::probability, 0, 1, true, false},
    annotation("OBSERVABLE_INCLUDE", Kind::observable, Targets::records_or_paulis, Args::observable_index, 1, 1),
    annotation("QUBIT_COORDS", Kind::qubit_coords, Targets::qubits, Args::coordinates, 0, kAnyCount),
    annotation("SHIFT_COORDS", Kind::shift_coords, Targets::none, Args::coordinates, 0, kAnyCount),
    annotation("TICK", Kind::tick, Targets::none, Args::none, 0, 0),
}};

constexpr bool every_gate_has_its_action() {
    for (const InstructionInfo& s : kInstructions) {
        if (s.kind == Kind::single_qubit_gate && s.vop >= clifford::kVopCount) return false;
        if (s.kind == Kind::two_qubit_gate && s.program >= clifford::TWO_QUBIT_GATES.size()) return false;
    }
    return true;
}
static_assert(every_gate_has_its_action(), "a gate's name finds no VOP or program");

}  // namespace

const std::array<InstructionInfo, 81> INSTRUCTIONS = kInstructions;

namespace {

struct Alias {
    std::string_view name;
    std::string_view canonical;
};
constexpr std::array<Alias, 11> kAliases{{{"H_XZ", "H"},
                                          {"SQRT_Z", "S"},
                                          {"SQRT_Z_DAG", "S_DAG"},
                                          {"CNOT", "CX"},
                                          {"ZCX", "CX"},
                                          {"ZCY", "CY"},
                                          {"ZCZ", "CZ"},
                                          {"SWAPCZ", "CZSWAP"},
                                          {"CORRELATED_ERROR", "E"},
                                          {"MZ", "M"},
                                          {"MRZ", "MR"}}};

constexpr std::optional<Gate> canonical_index(std::string_view name) {
    for (std::size_t i = 0; i < kInstructions.size(); ++i)
        if (kInstructions[i].name == name) return static_cast<Gate>(i);
    return std::nullopt;
}

// Names hashed into a table of twice the names' count, probed linearly: a look-up per line of a
// circuit costs a hash and a compare or two.
constexpr std::size_t kTableSize = 256;
constexpr std::uint32_t hash_name(std::string_view s) {
    std::uint32_t h = 2166136261u;
    for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
}

struct Entry {
    std::string_view name;
    Gate gate = 0;
};

std::array<Entry, kTableSize> build_table() {
    std::array<Entry, kTableSize> table{};
    const auto put = [&](std::string_view name, Gate g) {
        std::size_t at = hash_name(name) % kTableSize;
        while (!table[at].name.empty()) at = (at + 1) % kTableSize;
        table[at] = {name, g};
    };
    for (std::size_t i = 0; i < INSTRUCTIONS.size(); ++i) put(INSTRUCTIONS[i].name, static_cast<Gate>(i));
    put("RZ", *canonical_index("R"));
    for (const Alias& a : kAliases) put(a.name, *canonical_index(a.canonical));
    return table;
}

// Names are a few characters: a loop beats a call to memcmp.
bool same_name(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace

std::optional<Gate> find_instruction(std::string_view name) noexcept {
    static const std::array<Entry, kTableSize> table = build_table();
    char upper[32];
    if (name.empty() || name.size() > sizeof upper) return std::nullopt;
    // Names are letters, digits and '_': clearing bit 5 upper-cases the letters alone.
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c & ~0x20) : c;
    }
    const std::string_view key(upper, name.size());
    for (std::size_t at = hash_name(key) % kTableSize;; at = (at + 1) % kTableSize) {
        if (table[at].name.empty()) return std::nullopt;
        if (same_name(table[at].name, key)) return table[at].gate;
    }
}

std::uint8_t feedback_pauli(const InstructionInfo& s, int side) noexcept {
    if (s.name == "CZ") return 3;
    if (side == 0) return s.name == "CX" ? 1 : s.name == "CY" ? 2 : 0;
    return s.name == "XCZ" ? 1 : s.name == "YCZ" ? 2 : 0;
}

NoiseCases noise_cases(const InstructionInfo& s, std::span<const double> args) noexcept {
    NoiseCases c;
    if (s.kind == Kind::pauli_noise && s.args == Args::probability) {
        c.count = s.name == "DEPOLARIZE1" ? 3 : s.name == "DEPOLARIZE2" ? 15 : 1;
        c.p.fill(args[0] / static_cast<double>(c.count));
    } else if (s.kind == Kind::heralded_noise && s.args == Args::probability) {
        c.count = 4;
        c.p.fill(args[0] / 4);
    } else {
        c.count = std::min(args.size(), c.p.size());
        std::copy_n(args.begin(), c.count, c.p.begin());
    }
    return c;
}

std::array<std::uint8_t, 2> case_paulis(const InstructionInfo& s, std::size_t count, std::size_t j) noexcept {
    if (s.kind == Kind::heralded_noise) return {static_cast<std::uint8_t>(j - 1), 0};
    if (s.targets == Targets::pairs) return {static_cast<std::uint8_t>(j / 4), static_cast<std::uint8_t>(j % 4)};
    return {static_cast<std::uint8_t>(count == 1 ? s.axis + 1 : j), 0};
}

}  // namespace tessaryn::circuit
