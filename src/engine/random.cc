#include "engine/random.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "engine/fault.h"

namespace tessaryn {

clifford::Axis random_axis(RandomSource& rng) {
    const std::uint64_t m = std::uint64_t{rng.next_u32()} * 3;
    std::uint32_t k = static_cast<std::uint32_t>(m >> 32);
    const std::uint32_t lo = static_cast<std::uint32_t>(m);
    if (lo > 0xFFFFFFFDu) {  // 2^32 - 3: only then can the second word's contribution carry
        const std::uint32_t extra = static_cast<std::uint32_t>((std::uint64_t{rng.next_u32()} * 3) >> 32);
        if (static_cast<std::uint32_t>(lo + extra) < lo) ++k;
    }
    if (k >= 3) fail("internal error: entered unreachable code: rng generates in the range 0..3");
    return static_cast<clifford::Axis>(k);
}

// --- ChaCha12 ------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b, d ^= a, d = rotl(d, 16);
    c += d, b ^= c, b = rotl(b, 12);
    a += b, d ^= a, d = rotl(d, 8);
    c += d, b ^= c, b = rotl(b, 7);
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    std::array<std::uint32_t, 16>& out) noexcept {
    const std::array<std::uint32_t, 16> input{0x61707865u,
                                              0x3320646eu,
                                              0x79622d32u,
                                              0x6b206574u,
                                              key[0],
                                              key[1],
                                              key[2],
                                              key[3],
                                              key[4],
                                              key[5],
                                              key[6],
                                              key[7],
                                              static_cast<std::uint32_t>(counter),
                                              static_cast<std::uint32_t>(counter >> 32),
                                              static_cast<std::uint32_t>(stream),
                                              static_cast<std::uint32_t>(stream >> 32)};
    std::array<std::uint32_t, 16> x = input;
    for (int round = 0; round < 12; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

ChaCha12Rng::ChaCha12Rng(const std::array<std::uint8_t, 32>& key, EntropyFn rekey) : rekey_(rekey) { set_key(key); }

void ChaCha12Rng::set_key(const std::array<std::uint8_t, 32>& key) {
    key_bytes_ = key;
    for (int i = 0; i < 8; ++i) key_[i] = load_le32(key.data() + 4 * i);
    counter_ = 0;
}

void ChaCha12Rng::seek(std::uint64_t position) {
    const std::uint64_t per_refill = buffer_.size();
    counter_ = position / per_refill * (per_refill / 16);
    index_ = buffer_.size();
    if (position % per_refill != 0) {
        refill();
        index_ = static_cast<std::size_t>(position % per_refill);
    }
}

void ChaCha12Rng::refill() {
    constexpr std::int64_t kBufferBytes = sizeof(buffer_);
    if (bytes_until_rekey_ <= 0) {
        std::array<std::uint8_t, 32> fresh;
        if (rekey_ != nullptr && !rekey_(fresh)) set_key(fresh);
        bytes_until_rekey_ = kRekeyBytes;
    }
    bytes_until_rekey_ -= kBufferBytes;
    std::array<std::uint32_t, 16> block;
    for (std::size_t b = 0; b < 4; ++b) {
        chacha12_block(key_, counter_++, 0, block);
        std::memcpy(buffer_.data() + 16 * b, block.data(), sizeof(block));
    }
    index_ = 0;
}

// --- Entropy -------------------------------------------------------------------------------

std::string os_error_text(int errnum) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

namespace {

using GetrandomFn = ssize_t (*)(void*, std::size_t, unsigned int);
constexpr unsigned kGrndNonblock = 0x0001;

std::string last_os_error() {
    const int e = errno;
    if (e <= 0) return "errno: did not return a positive value";
    return os_error_text(e);
}

// The process's getrandom, when present and accepted by the kernel; looked up once.
GetrandomFn usable_getrandom() {
    static const GetrandomFn fn = [] {
        auto f = reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom"));
        if (f == nullptr) return GetrandomFn{nullptr};
        if (f(nullptr, 0, kGrndNonblock) < 0 && (errno == ENOSYS || errno == EPERM)) return GetrandomFn{nullptr};
        return f;
    }();
    return fn;
}

// Reads until `out` is full, retrying interrupted calls.
template <class Read>
std::optional<std::string> fill_exact(std::span<std::uint8_t> out, Read read) {
    while (!out.empty()) {
        const ssize_t got = read(out.data(), out.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return last_os_error();
        }
        if (got == 0 || static_cast<std::size_t>(got) > out.size()) return std::string("unexpected situation");
        out = out.subspan(static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

std::mutex g_urandom_mutex;
std::atomic<int> g_urandom_fd{-1};

// Blocks until the kernel's pool is initialised, as "/dev/random" becoming readable shows.
std::optional<std::string> wait_until_seeded() {
    const int fd = open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return last_os_error();
    std::optional<std::string> err;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR && errno != EAGAIN) {
            err = last_os_error();
            break;
        }
    }
    close(fd);
    return err;
}

// The shared "/dev/urandom" descriptor, opened on first need; -1 with `err` set on failure.
int urandom_fd(std::optional<std::string>& err) {
    int fd = g_urandom_fd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    std::lock_guard<std::mutex> lock(g_urandom_mutex);
    fd = g_urandom_fd.load(std::memory_order_relaxed);
    if (fd >= 0) return fd;
    if ((err = wait_until_seeded())) return -1;
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = last_os_error();
        return -1;
    }
    g_urandom_fd.store(fd, std::memory_order_release);
    return fd;
}

}  // namespace

std::optional<std::string> urandom_entropy(std::span<std::uint8_t> out) {
    std::optional<std::string> err;
    const int fd = urandom_fd(err);
    if (fd < 0) return err;
    return fill_exact(out, [fd](std::uint8_t* p, std::size_t n) { return read(fd, p, n); });
}

std::optional<std::string> system_entropy(std::span<std::uint8_t> out) {
    if (const GetrandomFn getrandom = usable_getrandom())
        return fill_exact(out, [getrandom](std::uint8_t* p, std::size_t n) { return getrandom(p, n, 0); });
    return urandom_entropy(out);
}

}  // namespace tessaryn
