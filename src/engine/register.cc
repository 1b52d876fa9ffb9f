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

BitSet Register::neighbours(std::uint64_t v) const {
    BitSet out(size());
    adj_.for_each(v, [&](std::uint64_t i) { out.insert(i); });
    return out;
}

bool operator==(const Register& a, const Register& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() != 0 && std::memcmp(a.vop_.get(), b.vop_.get(), static_cast<std::size_t>(a.size())) != 0) return false;
    return a.adj_ == b.adj_;
}

std::string check_invariants(const Register& reg) {
    const Adjacency& adj = reg.adj();
    const std::uint64_t n = reg.size();
    const auto at = [](std::uint64_t v) { return "vertex " + std::to_string(v) + ": "; };
    for (std::uint64_t v = 0; v < n; ++v) {
        if (reg.vop(v) >= clifford::kVopCount) return at(v) + "VOP " + std::to_string(reg.vop(v));
        const Row& r = adj.row(v);
        std::uint64_t count = 0, previous = 0;
        bool ascending = true, in_range = true, symmetric = true;
        adj.for_each(v, [&](std::uint64_t x) {
            ascending = ascending && (count == 0 || x > previous);
            in_range = in_range && x < n && x != v;
            symmetric = symmetric && x < n && adj.contains(x, v);
            previous = x;
            ++count;
        });
        if (count != adj.degree(v))
            return at(v) + "degree " + std::to_string(adj.degree(v)) + " but " + std::to_string(count) + " members";
        if (!ascending) return at(v) + "ids not strictly ascending";
        if (!in_range) return at(v) + "neighbour out of range or itself";
        if (!symmetric) return at(v) + "a neighbour does not list it";
        if (r.is_bits()) {
            if (n % kWordBits != 0 && (r.words[adj.words() - 1] >> (n % kWordBits)) != 0)
                return at(v) + "padding bits set";
        } else if (r.degree > r.capacity() || r.degree > adj.promote_above()) {
            return at(v) + "sorted row over its capacity or its shape's limit";
        }
    }
    return {};
}

}  // namespace tessaryn
