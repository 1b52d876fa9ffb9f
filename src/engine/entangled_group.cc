#include "engine/entangled_group.h"

#include "engine/fault.h"

namespace tessaryn {

std::vector<std::uint64_t> entangled_group(const Register& reg, std::uint64_t q) {
    // q is the first vertex the search pops, so this is where its range check falls.
    check_index(reg.size(), q);
    // The result doubles as the queue: vertices are marked when pushed, so each enters once.
    std::vector<std::uint64_t> order{q};
    BitSet visited(reg.size());
    visited.insert(q);
    for (std::size_t head = 0; head < order.size(); ++head) {
        reg.for_each_neighbour(order[head], [&](std::uint64_t n) {
            if (visited.insert(n)) order.push_back(n);
        });
    }
    return order;
}

}  // namespace tessaryn
