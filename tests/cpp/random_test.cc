#include "engine/random.h"
#include "engine/thread_state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/fault.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using testing::ScriptedSource;

struct Vector {
    std::string source;
    std::array<std::uint8_t, 32> key{};
    std::uint64_t nonce = 0, counter = 0;
    std::vector<std::uint8_t> keystream;
};

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::uint64_t le64(const std::vector<std::uint8_t>& b) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

std::vector<Vector> load_vectors() {
    std::ifstream in(TESSARYN_TEST_DATA "/chacha12_vectors.txt");
    std::vector<Vector> out;
    std::string line;
    Vector cur;
    while (std::getline(in, line)) {
        if (line.rfind("# source:", 0) == 0) cur = Vector{line, {}, 0, 0, {}};
        const auto colon = line.find(": ");
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon), value = line.substr(colon + 2);
        if (name == "rounds") {
            EXPECT_EQ(value, "12");
        }
        if (name == "key") {
            const auto k = from_hex(value);
            std::copy(k.begin(), k.end(), cur.key.begin());
        }
        if (name == "nonce") cur.nonce = le64(from_hex(value));
        if (name == "counter") cur.counter = std::stoull(value);
        if (name == "keystream") {
            cur.keystream = from_hex(value);
            out.push_back(cur);
        }
    }
    return out;
}

TEST(ChaCha12, published_keystream_vectors) {
    const auto vectors = load_vectors();
    ASSERT_GE(vectors.size(), 9u);
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.source);
        std::array<std::uint32_t, 8> key;
        for (int i = 0; i < 8; ++i)
            key[i] = v.key[4 * i] | v.key[4 * i + 1] << 8 | v.key[4 * i + 2] << 16 | std::uint32_t{v.key[4 * i + 3]} << 24;
        std::vector<std::uint8_t> got;
        std::array<std::uint32_t, 16> block;
        for (std::uint64_t b = 0; got.size() < v.keystream.size(); ++b) {
            chacha12_block(key, v.counter + b, v.nonce, block);
            for (std::uint32_t w : block)
                for (int s = 0; s < 32; s += 8) got.push_back(static_cast<std::uint8_t>(w >> s));
        }
        EXPECT_EQ(got, v.keystream);
    }
}

TEST(ChaCha12, generator_streams_the_keystream_in_word_order) {
    // Key 00..1f, stream 0: the 256-byte vector, which spans the generator's four-block buffer.
    std::array<std::uint8_t, 32> key;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
    ChaCha12Rng rng(key, nullptr);
    const Vector* v = nullptr;
    const auto vectors = load_vectors();
    for (const auto& x : vectors)
        if (x.keystream.size() == 256 && x.key[1] == 1) v = &x;
    ASSERT_NE(v, nullptr);
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t w = rng.next_u32();
        const std::uint8_t* b = v->keystream.data() + 4 * i;
        EXPECT_EQ(w, b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t{b[3]} << 24) << "word " << i;
    }
}

int g_rekeys = 0;
std::optional<std::string> counting_zero_key(std::span<std::uint8_t> out) {
    ++g_rekeys;
    std::fill(out.begin(), out.end(), 0);
    return std::nullopt;
}
std::optional<std::string> failing_source(std::span<std::uint8_t>) { return std::string("refused"); }

TEST(ChaCha12, seeking_continues_the_stream_at_any_word) {
    const std::array<std::uint8_t, 32> key{9, 8, 7};
    ChaCha12Rng reference(key, nullptr);
    std::vector<std::uint32_t> words(300);
    for (auto& w : words) w = reference.next_u32();
    EXPECT_EQ(reference.position(), 300u);
    for (const std::uint64_t at : {0u, 1u, 63u, 64u, 65u, 128u, 200u}) {
        ChaCha12Rng seeking(key, nullptr);
        seeking.seek(at);
        EXPECT_EQ(seeking.position(), at);
        for (std::uint64_t i = at; i < at + 80; ++i) ASSERT_EQ(seeking.next_u32(), words[i]) << "from " << at;
        ChaCha12Rng copy = seeking;
        EXPECT_EQ(copy.next_u32(), seeking.next_u32());
    }
}

TEST(ChaCha12, rekeys_after_every_64_kib_and_survives_failed_rekey) {
    std::array<std::uint8_t, 32> key;
    key.fill(7);
    g_rekeys = 0;
    ChaCha12Rng rng(key, counting_zero_key);
    for (int i = 0; i < 16384; ++i) rng.next_u32();  // exactly 64 KiB
    EXPECT_EQ(g_rekeys, 0);
    const std::uint32_t first_after = rng.next_u32();
    EXPECT_EQ(g_rekeys, 1);
    // The new key is all zero and the counter restarts: TC1's first word.
    EXPECT_EQ(first_after, 0x6a9af49bu);
    for (int i = 1; i < 16384; ++i) rng.next_u32();
    EXPECT_EQ(g_rekeys, 1);
    rng.next_u32();
    EXPECT_EQ(g_rekeys, 2);

    ChaCha12Rng keeps(key, failing_source);
    ChaCha12Rng reference(key, nullptr);
    for (int i = 0; i < 3 * 16384 + 5; ++i) ASSERT_EQ(keeps.next_u32(), reference.next_u32()) << i;
}

TEST(RandomDraws, random_bit_is_top_bit) {
    ScriptedSource s{0x7FFFFFFFu, 0x80000000u, 0u, 0xFFFFFFFFu};
    EXPECT_FALSE(random_bit(s));
    EXPECT_TRUE(random_bit(s));
    EXPECT_FALSE(random_bit(s));
    EXPECT_TRUE(random_bit(s));
}

TEST(RandomDraws, random_axis_widening_multiplication_and_correction) {
    using clifford::Axis;
    ScriptedSource s{0u, 0x55555555u - 1, 0x55555556u, 0xAAAAAAABu, 0xFFFFFFFFu};
    EXPECT_EQ(random_axis(s), Axis::X);
    EXPECT_EQ(random_axis(s), Axis::X);  // 3w = 0xFFFFFFFC: low half 2^32 - 4, no second word
    EXPECT_EQ(random_axis(s), Axis::Y);
    EXPECT_EQ(random_axis(s), Axis::Z);
    EXPECT_EQ(random_axis(s), Axis::Z);
    EXPECT_EQ(s.drawn(), 5);
    // 3·0x55555555 = 2^32 - 1: the second word decides whether the carry moves X to Y.
    ScriptedSource carry{0x55555555u, 0x55555556u, 0x55555555u, 0x55555555u};
    EXPECT_EQ(random_axis(carry), Axis::Y);
    EXPECT_EQ(random_axis(carry), Axis::X);
    EXPECT_EQ(carry.drawn(), 4);
}

TEST(RandomDraws, frequencies_within_wide_bounds) {
    std::array<std::uint8_t, 32> key{};
    key[0] = 42;  // fixed key: the counts below are the same on every run
    ChaCha12Rng rng(key, nullptr);
    constexpr int kDraws = 300000;
    int ones = 0;
    std::array<int, 3> axes{};
    for (int i = 0; i < kDraws; ++i) ones += random_bit(rng);
    for (int i = 0; i < kDraws; ++i) ++axes[static_cast<int>(random_axis(rng))];
    EXPECT_NEAR(ones, kDraws / 2, kDraws / 100);
    for (int c : axes) EXPECT_NEAR(c, kDraws / 3, kDraws / 100);
}

TEST(EntropySource, system_and_forced_fallback_both_fill) {
    for (EntropyFn fn : {system_entropy, urandom_entropy}) {
        std::array<std::uint8_t, 64> a{}, b{};
        ASSERT_FALSE(fn(a).has_value());
        ASSERT_FALSE(fn(b).has_value());
        EXPECT_NE(a, b);
    }
}

TEST(EntropySource, os_error_text_format) {
    EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

// Thread generators are created on first draw from the current source; run each case in a
// fresh thread so that the test's own thread state does not matter.
template <class F>
void in_new_thread(F f) {
    std::thread t(f);
    t.join();
}

TEST(ThreadRandom, creation_failure_is_a_fault_and_retried) {
    const EntropyFn old = set_entropy_source(failing_source);
    in_new_thread([] {
        ThreadRandom rng;
        try {
            rng.next_u32();
            ADD_FAILURE() << "expected a fault";
        } catch (const Fault& f) {
            EXPECT_EQ(f.message(), "could not initialize ThreadRng: refused");
        }
        set_entropy_source(urandom_entropy);  // the fallback path, forced
        rng.next_u32();                       // tries again and succeeds
    });
    set_entropy_source(old);
}

TEST(ThreadRandom, threads_draw_independent_streams) {
    std::vector<std::uint32_t> a, b;
    in_new_thread([&] {
        ThreadRandom r;
        for (int i = 0; i < 8; ++i) a.push_back(r.next_u32());
    });
    in_new_thread([&] {
        ThreadRandom r;
        for (int i = 0; i < 8; ++i) b.push_back(r.next_u32());
    });
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tessaryn
