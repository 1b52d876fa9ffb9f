// The engine's randomness: a source of 32-bit words, the two draws built on it, the ChaCha12
// generator and the operating system's entropy that keys it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "clifford/clifford.h"

namespace tessaryn {

/// Where engine operations take their randomness from; tests pass a scripted one.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual std::uint32_t next_u32() = 0;
    /// Words drawn so far, and a way back to that point, for a caller that puts back the draws of
    /// a step that failed. A source whose order nobody can replay (the thread's) keeps no count.
    virtual std::uint64_t position() const noexcept { return 0; }
    virtual void seek(std::uint64_t) {}
};

/// One fair bit: the top bit of one word.
inline bool random_bit(RandomSource& rng) { return (rng.next_u32() >> 31) != 0; }

/// X, Y or Z uniformly (bias below 2^-62): k = ⌊3·w1 / 2^32⌋, corrected by a second word only
/// when the low half of 3·w1 is within 3 of wrapping.
clifford::Axis random_axis(RandomSource& rng);

/// The ChaCha12 block function (64-bit block counter, 64-bit stream id): 16 keystream words.
void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    std::array<std::uint32_t, 16>& out) noexcept;

/// Fills `out` with operating-system entropy. Returns the error text on failure.
using EntropyFn = std::optional<std::string> (*)(std::span<std::uint8_t> out);

/// The system source: `getrandom` when the running process has it and the kernel accepts it,
/// else "/dev/urandom" through one descriptor shared by the process, opened once "/dev/random"
/// has polled readable.
std::optional<std::string> system_entropy(std::span<std::uint8_t> out);

/// The "/dev/urandom" path of `system_entropy`, callable directly.
std::optional<std::string> urandom_entropy(std::span<std::uint8_t> out);

/// Text of an operating-system error: "<strerror> (os error N)".
std::string os_error_text(int errnum);

/// ChaCha12 keystream as 32-bit words, buffered four blocks at a time, rekeyed from `rekey`
/// after every 64 KiB of output (a failed rekey keeps the current key). Without `rekey` it is
/// one fixed stream: word i is word i mod 16 of the block with counter ⌊i / 16⌋, stream id 0.
class ChaCha12Rng final : public RandomSource {
public:
    ChaCha12Rng(const std::array<std::uint8_t, 32>& key, EntropyFn rekey);

    /// The key as given (for a stream without rekeying, what identifies it).
    const std::array<std::uint8_t, 32>& key() const noexcept { return key_bytes_; }
    /// Words drawn since the key was set.
    std::uint64_t position() const noexcept override { return counter_ * 16 - (buffer_.size() - index_); }
    /// Continues the stream of the current key at word `position`. O(1): one refill at most.
    void seek(std::uint64_t position) override;

    std::uint32_t next_u32() override {
        if (index_ >= buffer_.size()) [[unlikely]]
            refill();
        return buffer_[index_++];
    }

private:
    static constexpr std::int64_t kRekeyBytes = 64 * 1024;
    void refill();
    void set_key(const std::array<std::uint8_t, 32>& key);

    std::array<std::uint8_t, 32> key_bytes_{};
    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;  // the block counter of the next refill
    std::array<std::uint32_t, 64> buffer_{};
    std::size_t index_ = 64;
    std::int64_t bytes_until_rekey_ = kRekeyBytes;
    EntropyFn rekey_;
};

}  // namespace tessaryn
