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

constexpr std::uint64_t kBytesPerQubit = sizeof(Row) + sizeof(Vop);

[[noreturn, gnu::cold]] void refuse(std::uint64_t n, const std::string& why) {
    throw OutOfMemory("cannot hold " + std::to_string(n) + " qubits: " + why);
}

std::string machine_memory_text() {
    const std::uint64_t memory = physical_memory();
    return memory == 0 ? std::string("this machine does not say how much memory it has")
                       : "this machine has " + std::to_string(memory) + " bytes of memory";
}

// Refuses registers whose fixed part (a VOP and a row header per qubit) exceeds the machine.
// The headers are allocated as untouched zero pages, which an overcommitting kernel hands out
// for any size; without this check such a register would be granted and then meet the
// out-of-memory killer when its rows are written.
std::uint64_t checked_size(std::uint64_t n) {
    if (n > kMaxBytes) fail(FaultKind::capacity, "capacity overflow", n);
    if (n > kMaxVertices) refuse(n, "a register holds at most " + std::to_string(kMaxVertices));
    const std::uint64_t memory = physical_memory();
    if (memory != 0 && n > memory / kBytesPerQubit)
        refuse(n, "a register needs " + std::to_string(kBytesPerQubit) + " bytes per qubit, " +
                      std::to_string(n * kBytesPerQubit) + " bytes in all, and " + machine_memory_text());
    return n;
}

// The adjacency of n vertices, with a refusal that says what could not be had.
Adjacency make_adjacency(std::uint64_t n, RowShapes shapes) {
    checked_size(n);
    try {
        return Adjacency(n, shapes);
    } catch (const OutOfMemory&) {
        throw;
    } catch (const std::bad_alloc&) {
        refuse(n, "allocating " + std::to_string(n * sizeof(Row)) + " bytes for its rows failed (" +
                      machine_memory_text() + ")");
    }
}

}  // namespace

Register::Register(std::uint64_t qubit_amount, RowShapes shapes) : adj_(make_adjacency(qubit_amount, shapes)) {
    if (qubit_amount == 0) return;
    auto* p = static_cast<Vop*>(std::malloc(static_cast<std::size_t>(qubit_amount)));
    if (p == nullptr)
        refuse(qubit_amount, "allocating " + std::to_string(qubit_amount) + " bytes for its vertex operators failed (" +
                                 machine_memory_text() + ")");
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
    Register out(std::move(vop), std::move(adj), TableauGroups(groups_));
    out.account_ = account_;
    out.policy_ = policy_;
    out.max_tableau_ = max_tableau_;
    return out;
}

bool operator==(const Register& a, const Register& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() != 0 && std::memcmp(a.vop_.get(), b.vop_.get(), static_cast<std::size_t>(a.size())) != 0) return false;
    if (!(a.groups_ == b.groups_)) return false;
    return a.adj_ == b.adj_;
}

std::string check_invariants(const Register& reg) {
    for (std::uint64_t v = 0; v < reg.size(); ++v)
        if (reg.vop(v) >= clifford::kVopCount)
            return "vertex " + std::to_string(v) + ": VOP " + std::to_string(reg.vop(v));
    std::string groups = reg.groups().check();
    if (!groups.empty()) return groups;
    for (std::size_t s = 0; s < reg.groups().slots(); ++s) {
        if (!reg.groups().live(s)) continue;
        if (reg.groups().group(s).size() > reg.max_tableau()) return "tableau " + std::to_string(s) + ": past the largest";
        for (const Id v : reg.groups().group(s).members)
            if (v >= reg.size() || !reg.isolated(v)) return "vertex " + std::to_string(v) + ": in a tableau but has neighbours";
    }
    return reg.adj().check();
}

}  // namespace tessaryn
