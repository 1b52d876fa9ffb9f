#include "engine/register.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "engine/fault.h"

namespace tessaryn {
namespace {

constexpr std::uint64_t kMaxBytes = static_cast<std::uint64_t>(PTRDIFF_MAX);

// Installed memory, or 0 when the system does not say. Asked once: it costs a system call.
std::uint64_t physical_memory() {
    static const std::uint64_t memory = [] {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0) return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
#endif
        return std::uint64_t{0};
    }();
    return memory;
}

// Refuses registers whose fixed part (a VOP and a row header per qubit) exceeds the machine.
// The headers are allocated as untouched zero pages, which an overcommitting kernel hands out
// for any size; without this check such a register would be granted and then meet the
// out-of-memory killer when its rows are written.
std::uint64_t checked_size(std::uint64_t n) {
    if (n > kMaxBytes) fail("capacity overflow");
    if (n > kMaxVertices) throw std::bad_alloc();
    const std::uint64_t memory = physical_memory();
    if (memory != 0 && n > memory / (sizeof(Row) + sizeof(Vop))) throw std::bad_alloc();
    return n;
}

}  // namespace

Register::Register(std::uint64_t qubit_amount, RowShapes shapes) : adj_(checked_size(qubit_amount), shapes) {
    if (qubit_amount == 0) return;
    auto* p = static_cast<Vop*>(std::malloc(static_cast<std::size_t>(qubit_amount)));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, clifford::kHadamard, static_cast<std::size_t>(qubit_amount));
    vop_.reset(p);
}

Register Register::clone() const {
    Adjacency adj = adj_.clone();
    std::unique_ptr<Vop[], Free> vop;
    if (size() != 0) {
        auto* p = static_cast<Vop*>(std::malloc(static_cast<std::size_t>(size())));
        if (p == nullptr) throw std::bad_alloc();
        std::memcpy(p, vop_.get(), static_cast<std::size_t>(size()));
        vop.reset(p);
    }
    return Register(std::move(vop), std::move(adj));
}

bool operator==(const Register& a, const Register& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() != 0 && std::memcmp(a.vop_.get(), b.vop_.get(), static_cast<std::size_t>(a.size())) != 0) return false;
    return a.adj_ == b.adj_;
}

std::string check_invariants(const Register& reg) {
    for (std::uint64_t v = 0; v < reg.size(); ++v)
        if (reg.vop(v) >= clifford::kVopCount)
            return "vertex " + std::to_string(v) + ": VOP " + std::to_string(reg.vop(v));
    return reg.adj().check();
}

}  // namespace tessaryn
