#include "engine/register.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "engine/fault.h"

namespace tessaryn {
namespace {

constexpr std::uint64_t kMaxBytes = static_cast<std::uint64_t>(PTRDIFF_MAX);

template <class T>
T* allocate(std::size_t count, bool zeroed) {
    void* p = zeroed ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// Words of the adjacency matrix, or 0 when its byte size would not fit a signed word.
std::size_t matrix_words(std::uint64_t n, std::size_t stride) {
    if (stride != 0 && n > kMaxBytes / sizeof(Word) / stride) return 0;
    return static_cast<std::size_t>(n) * stride;
}

}  // namespace

Register::Register(std::uint64_t qubit_amount) {
    if (qubit_amount > kMaxBytes) fail("capacity overflow");
    if (qubit_amount == 0) return;
    const std::size_t stride = bits::words_for(qubit_amount);
    const std::size_t words = matrix_words(qubit_amount, stride);
    if (words == 0) throw std::bad_alloc();
    // calloc leaves untouched rows on the kernel's zero pages, but the whole request is still
    // made at once, so a register that cannot fit is refused here.
    adj_.reset(allocate<Word>(words, true));
    vop_.reset(allocate<Vop>(static_cast<std::size_t>(qubit_amount), false));
    std::memset(vop_.get(), clifford::kHadamard, static_cast<std::size_t>(qubit_amount));
    n_ = qubit_amount;
    stride_ = stride;
}

Register Register::clone() const {
    Register copy;
    if (n_ == 0) return copy;
    const std::size_t words = static_cast<std::size_t>(n_) * stride_;
    copy.adj_.reset(allocate<Word>(words, false));
    copy.vop_.reset(allocate<Vop>(static_cast<std::size_t>(n_), false));
    std::memcpy(copy.adj_.get(), adj_.get(), words * sizeof(Word));
    std::memcpy(copy.vop_.get(), vop_.get(), static_cast<std::size_t>(n_));
    copy.n_ = n_;
    copy.stride_ = stride_;
    return copy;
}

bool operator==(const Register& a, const Register& b) noexcept {
    if (a.n_ != b.n_) return false;
    if (a.n_ == 0) return true;
    return std::memcmp(a.vop_.get(), b.vop_.get(), static_cast<std::size_t>(a.n_)) == 0 &&
           std::memcmp(a.adj_.get(), b.adj_.get(), static_cast<std::size_t>(a.n_) * a.stride_ * sizeof(Word)) == 0;
}

}  // namespace tessaryn
