#include "engine/register.h"

#include <sys/mman.h>

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

// Below this a matrix stays on the heap: a mapping costs a system call and a page of its own.
constexpr std::size_t kMappedBytes = std::size_t{4} << 20;

}  // namespace

WordStorage WordStorage::zeroed(std::size_t words) {
    WordStorage s;
    const std::size_t bytes = words * sizeof(Word);
    if (bytes < kMappedBytes) {
        s.p_ = allocate<Word>(words, true);
        return s;
    }
    // Anonymous pages read as zero until written, and the whole size is requested now, so an
    // impossible register is refused here rather than when its rows are first touched.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // advisory: without it the matrix simply uses small pages
    s.p_ = static_cast<Word*>(p);
    s.bytes_ = bytes;
    return s;
}

WordStorage WordStorage::uninitialised(std::size_t words) {
    WordStorage s;
    s.p_ = allocate<Word>(words, false);
    return s;
}

WordStorage::~WordStorage() {
    if (bytes_ != 0)
        munmap(p_, bytes_);
    else
        std::free(p_);
}

Register::Register(std::uint64_t qubit_amount) {
    if (qubit_amount > kMaxBytes) fail("capacity overflow");
    if (qubit_amount == 0) return;
    const std::size_t stride = bits::words_for(qubit_amount);
    const std::size_t words = matrix_words(qubit_amount, stride);
    if (words == 0) throw std::bad_alloc();
    adj_ = WordStorage::zeroed(words);
    vop_.reset(allocate<Vop>(static_cast<std::size_t>(qubit_amount), false));
    std::memset(vop_.get(), clifford::kHadamard, static_cast<std::size_t>(qubit_amount));
    n_ = qubit_amount;
    stride_ = stride;
}

Register Register::clone() const {
    Register copy;
    if (n_ == 0) return copy;
    const std::size_t words = static_cast<std::size_t>(n_) * stride_;
    copy.adj_ = WordStorage::uninitialised(words);
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
