#include "engine/snapshot.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "engine/build.h"
#include "engine/fault.h"
#include "engine/moves.h"

namespace tessaryn {
namespace {

constexpr std::byte kMagic[4] = {std::byte{'T'}, std::byte{'S'}, std::byte{'R'}, std::byte{'Y'}};
constexpr std::size_t kHeader = 24;
constexpr std::size_t kStream = 40;
constexpr std::size_t kChecksum = 8;
constexpr std::uint16_t kWithStream = 1;
constexpr std::uint16_t kWithForms = 2;
constexpr std::uint16_t kWithRecord = 4;
constexpr std::size_t kFormsHeader = 32;  // the register's record and G
constexpr std::size_t kGroupHeader = 32;  // m and the group's record

// The forms section is written when it says anything a fresh register would not.
bool has_forms(const Register& reg) noexcept {
    return !reg.groups().empty() || !(reg.account() == cost::RegisterAccount{});
}

std::size_t forms_size(const Register& reg) noexcept {
    if (!has_forms(reg)) return 0;
    std::size_t size = kFormsHeader;
    for (std::size_t s = 0; s < reg.groups().slots(); ++s)
        if (reg.groups().live(s)) size += kGroupHeader + 4 * reg.groups().group(s).size();
    return size;
}

template <class T>
T to_le(T x) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        T out = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) out = static_cast<T>(out << 8 | ((x >> (8 * i)) & 0xFF));
        return out;
    }
    return x;
}

template <class T>
void put(std::byte*& at, T x) noexcept {
    x = to_le(x);
    std::memcpy(at, &x, sizeof x);
    at += sizeof x;
}

template <class T>
T get(const std::byte* at) noexcept {
    T x;
    std::memcpy(&x, at, sizeof x);
    return to_le(x);
}

std::string count_of(std::uint64_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

[[noreturn, gnu::cold]] void refuse(const std::string& why) {
    fail(FaultKind::bad_value, "not a usable simulator snapshot: " + why);
}

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87u, kP2 = 0xC2B2AE3D27D4EB4Fu, kP3 = 0x165667B19E3779F9u;

constexpr std::uint64_t round(std::uint64_t h, std::uint64_t w) noexcept { return std::rotl(h + w * kP2, 31) * kP1; }

}  // namespace

std::uint64_t snapshot_checksum(std::span<const std::byte> data) noexcept {
    // Four lanes over 32-byte stripes, so that the multiplications of one stripe overlap.
    std::uint64_t lane[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
    std::size_t i = 0;
    for (; i + 32 <= data.size(); i += 32)
        for (int k = 0; k < 4; ++k) lane[k] = round(lane[k], get<std::uint64_t>(data.data() + i + 8 * k));
    std::uint64_t h = std::rotl(lane[0], 1) + std::rotl(lane[1], 7) + std::rotl(lane[2], 12) + std::rotl(lane[3], 18);
    for (; i + 8 <= data.size(); i += 8)
        h = std::rotl(h ^ round(0, get<std::uint64_t>(data.data() + i)), 27) * kP1 + kP3;
    std::uint64_t tail = 0;
    for (std::size_t k = 0; i + k < data.size(); ++k) tail |= std::uint64_t(data[i + k]) << (8 * k);
    h = std::rotl(h ^ round(0, tail), 27) * kP1 + kP3;
    h ^= data.size();
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    return h ^ (h >> 32);
}

namespace {

std::size_t base_size(std::uint64_t n, std::uint64_t edges, bool with_stream) noexcept {
    return kHeader + static_cast<std::size_t>(n) + 8 * static_cast<std::size_t>(edges) + (with_stream ? kStream : 0) +
           kChecksum;
}

void write_forms(const Register& reg, std::byte*& at) noexcept {
    const TableauGroups& groups = reg.groups();
    const cost::RegisterAccount& account = reg.account();
    put<std::uint64_t>(at, account.credit);
    put<std::uint64_t>(at, account.next_look);
    put<std::uint64_t>(at, account.move_shift);
    put<std::uint64_t>(at, groups.count());
    std::vector<Id> members;
    for (std::size_t s = 0; s < groups.slots(); ++s) {
        if (!groups.live(s)) continue;
        const TableauGroup& g = groups.group(s);
        put<std::uint64_t>(at, g.size());
        put<std::uint64_t>(at, g.account.spent);
        put<std::uint64_t>(at, g.account.saved);
        put<std::uint64_t>(at, g.account.per_gate);
        // The kept graph form lists them ascending already.
        const GroupGraph* graph = groups.kept_graph(s);
        for (const Id v : graph->ids) put<std::uint32_t>(at, v);
    }
}

// The groups of a forms section that `in` (the section, checked to lie within the snapshot) names,
// each checked: sizes within bounds, members ascending, below n, in one group only, and every
// neighbour of a member a member of its group.
struct HeldGroup {
    std::vector<std::uint64_t> members;
    cost::GroupAccount account;
};

std::vector<HeldGroup> read_forms(const Register& reg, std::span<const std::byte> in, cost::RegisterAccount& account) {
    if (in.size() < kFormsHeader) refuse("its forms section is cut short");
    account.credit = get<std::uint64_t>(in.data());
    account.next_look = get<std::uint64_t>(in.data() + 8);
    const auto shift = get<std::uint64_t>(in.data() + 16);
    const auto count = get<std::uint64_t>(in.data() + 24);
    if (shift > cost::kMaxMoveShift) refuse("its move shift " + std::to_string(shift) + " is beyond the largest");
    account.move_shift = static_cast<unsigned>(shift);
    std::size_t at = kFormsHeader;
    std::vector<HeldGroup> groups;
    std::vector<std::pair<Id, std::size_t>> owner;  // member, group
    for (std::uint64_t i = 0; i < count; ++i) {
        if (in.size() - at < kGroupHeader) refuse("its forms section is cut short");
        const auto m = get<std::uint64_t>(in.data() + at);
        if (m == 0 || m > cost::kMaxTableau || (in.size() - at - kGroupHeader) / 4 < m)
            refuse("its tableau group " + std::to_string(i) + " has " + count_of(m, "member") +
                   ", which is none, beyond the largest tableau, or more than the section holds");
        HeldGroup g;
        g.account = {get<std::uint64_t>(in.data() + at + 8), get<std::uint64_t>(in.data() + at + 16),
                     get<std::uint64_t>(in.data() + at + 24)};
        at += kGroupHeader;
        for (std::uint64_t k = 0; k < m; ++k, at += 4) {
            const auto v = get<std::uint32_t>(in.data() + at);
            if (v >= reg.size() || (k > 0 && v <= g.members.back()))
                refuse("its tableau group " + std::to_string(i) + " lists qubit " + std::to_string(v) +
                       ", not an ascending qubit of " + count_of(reg.size(), "qubit"));
            g.members.push_back(v);
            owner.emplace_back(v, i);
        }
        groups.push_back(std::move(g));
    }
    if (at != in.size()) refuse("its forms section has bytes beyond its groups");
    std::sort(owner.begin(), owner.end());
    for (std::size_t k = 1; k < owner.size(); ++k)
        if (owner[k].first == owner[k - 1].first)
            refuse("qubit " + std::to_string(owner[k].first) + " is in two tableau groups");
    for (const auto& [v, i] : owner)
        reg.for_each_neighbour(v, [&, v = v, i = i](std::uint64_t w) {
            const auto it = std::lower_bound(owner.begin(), owner.end(), std::pair<Id, std::size_t>{static_cast<Id>(w), 0});
            if (it == owner.end() || it->first != w || it->second != i)
                refuse("tableau group " + std::to_string(i) + " holds qubit " + std::to_string(v) + " but not its neighbour " +
                       std::to_string(w));
        });
    return groups;
}

}  // namespace

std::size_t snapshot_size(const GraphView& view, std::uint64_t edges, bool with_stream,
                          std::uint64_t recorded) noexcept {
    const std::size_t record = recorded == 0 ? 0 : 8 + 8 * bits::words_for(recorded);
    return base_size(view.size(), edges, with_stream) + record + forms_size(view.reg());
}

void write_snapshot(const GraphView& view, std::uint64_t edges, const StreamState* stream, const RecordBits& record,
                    std::span<std::byte> out) noexcept {
    const Register& reg = view.reg();
    const bool forms = has_forms(reg), with_record = record.size != 0;
    std::byte* at = out.data();
    std::memcpy(at, kMagic, sizeof kMagic);
    at += sizeof kMagic;
    put<std::uint16_t>(at, forms || with_record ? 2 : 1);
    put<std::uint16_t>(at, static_cast<std::uint16_t>((stream != nullptr ? kWithStream : 0) | (forms ? kWithForms : 0) |
                                                      (with_record ? kWithRecord : 0)));
    put<std::uint64_t>(at, view.size());
    put<std::uint64_t>(at, edges);
    for (std::uint64_t v = 0; v < view.size(); ++v) *at++ = std::byte{view.vop(v)};
    view.for_each_edge([&](std::uint64_t u, std::uint64_t v) {
        put<std::uint32_t>(at, static_cast<std::uint32_t>(u));
        put<std::uint32_t>(at, static_cast<std::uint32_t>(v));
    });
    if (stream != nullptr) {
        std::memcpy(at, stream->key.data(), stream->key.size());
        at += stream->key.size();
        put<std::uint64_t>(at, stream->position);
    }
    if (with_record) {
        put<std::uint64_t>(at, record.size);
        for (const Word w : record.words.first(bits::words_for(record.size))) put<std::uint64_t>(at, w);
    }
    if (forms) write_forms(reg, at);
    put<std::uint64_t>(at, snapshot_checksum({out.data(), static_cast<std::size_t>(at - out.data())}));
}

Restored read_snapshot(std::span<const std::byte> in) {
    if (in.size() < sizeof kMagic || std::memcmp(in.data(), kMagic, sizeof kMagic) != 0)
        refuse("it does not begin with the snapshot marker \"TSRY\"");
    if (in.size() < kHeader + kChecksum) refuse("it ends inside its header");
    const auto version = get<std::uint16_t>(in.data() + 4);
    const auto flags = get<std::uint16_t>(in.data() + 6);
    const auto n = get<std::uint64_t>(in.data() + 8);
    const auto edges = get<std::uint64_t>(in.data() + 16);
    if (version == 0 || version > kSnapshotVersion)
        refuse("it is in format " + std::to_string(version) + ", and this version of the library reads formats 1 to " +
               std::to_string(kSnapshotVersion));
    const std::uint16_t known = version >= 2 ? kWithStream | kWithForms | kWithRecord : kWithStream;
    if ((flags & ~known) != 0) refuse("its header has unknown flags " + std::to_string(flags));
    const bool with_stream = (flags & kWithStream) != 0, with_forms = (flags & kWithForms) != 0,
               with_record = (flags & kWithRecord) != 0;
    // Sizes are compared with the input's before any arithmetic on them could overflow.
    const std::size_t expected = n > in.size() || edges > in.size() / 8 ? 0 : base_size(n, edges, with_stream);
    const auto wrong_length = [&] {
        refuse("it is " + count_of(in.size(), "byte") + " long, which does not fit the " + count_of(n, "qubit") +
               " and " + count_of(edges, "edge") + " its header announces (it was cut short or extended)");
    };
    if (expected == 0 || in.size() < expected + (with_record ? 8 : 0)) wrong_length();
    // The record's length, then its words, follow the stream.
    const std::size_t record_at = expected - kChecksum;
    const std::uint64_t recorded = with_record ? get<std::uint64_t>(in.data() + record_at) : 0;
    const std::uint64_t record_words = bits::words_for(recorded);
    if (record_words > (in.size() - expected) / 8) wrong_length();
    const std::size_t sections = expected + (with_record ? 8 + 8 * record_words : 0);
    if (with_forms ? in.size() < sections : sections != in.size()) wrong_length();
    const std::size_t body = in.size() - kChecksum;
    if (snapshot_checksum(in.first(body)) != get<std::uint64_t>(in.data() + body))
        refuse("its checksum does not match its contents (it was damaged or altered)");

    const std::byte* vops = in.data() + kHeader;
    for (std::uint64_t v = 0; v < n; ++v)
        if (std::to_integer<unsigned>(vops[v]) >= clifford::kVopCount)
            refuse("qubit " + std::to_string(v) + " has VOP " + std::to_string(std::to_integer<unsigned>(vops[v])) +
                   ", and VOPs run from 0 to 23");
    const std::byte* pairs = vops + n;
    const auto edge_at = [&](std::uint64_t i) {
        return Edge{get<std::uint32_t>(pairs + 8 * i), get<std::uint32_t>(pairs + 8 * i + 4)};
    };
    GraphBuilder builder(n);
    std::vector<Edge> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(edges, 1 << 14)));
    // The first pass checks each edge as it counts it: strictly ascending pairs with u < v are a
    // simple graph, no loop and no edge twice.
    Edge previous{0, 0};
    for (std::uint64_t first = 0; first < edges; first += chunk.size()) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), edges - first));
        for (std::size_t k = 0; k < size; ++k) {
            const Edge e = edge_at(first + k);
            const bool ordered = first + k == 0 || previous.u < e.u || (previous.u == e.u && previous.v < e.v);
            if (e.u >= e.v || e.v >= n || !ordered) [[unlikely]]
                refuse("edge " + std::to_string(first + k) + " (" + std::to_string(e.u) + ", " + std::to_string(e.v) +
                       ") is not an edge of " + std::to_string(n) + " qubits in ascending order");
            chunk[k] = previous = e;
        }
        builder.count({chunk.data(), size});
    }
    builder.allocate();
    for (std::uint64_t first = 0; first < edges; first += chunk.size()) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), edges - first));
        for (std::size_t k = 0; k < size; ++k) chunk[k] = edge_at(first + k);
        builder.place({chunk.data(), size});
    }
    if (!builder.finish()) refuse("an edge repeats");  // excluded by the order check above
    Restored out{builder.take(reinterpret_cast<const Vop*>(vops)), std::nullopt, {}};
    const std::byte* after_edges = pairs + 8 * edges;
    if (with_record) {
        if (recorded == 0) refuse("its record section records nothing");
        out.record.size = recorded;
        out.record.words.resize(static_cast<std::size_t>(record_words));
        for (std::size_t k = 0; k < record_words; ++k) out.record.words[k] = get<std::uint64_t>(in.data() + record_at + 8 + 8 * k);
        if (!bits::padding_clear(out.record.words, recorded)) refuse("its record has bits beyond its length");
    }
    if (with_forms) {
        const std::byte* section = in.data() + sections - kChecksum;
        cost::RegisterAccount account;
        const std::vector<HeldGroup> groups =
            read_forms(out.reg, {section, static_cast<std::size_t>(in.data() + body - section)}, account);
        for (const HeldGroup& g : groups) {
            const std::size_t slot = to_tableau(out.reg, g.members, true);
            out.reg.groups().account(slot) = g.account;
        }
        out.reg.account() = account;
    }
    if (with_stream) {
        const std::byte* s = after_edges;
        StreamState state{};
        std::memcpy(state.key.data(), s, state.key.size());
        state.position = get<std::uint64_t>(s + state.key.size());
        out.stream = state;
    }
    return out;
}

}  // namespace tessaryn
