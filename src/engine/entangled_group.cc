#include "engine/entangled_group.h"

#include "engine/graph_view.h"

namespace tessaryn {

std::vector<std::uint64_t> entangled_group(Register& reg, std::uint64_t q) {
    // q is the first vertex the search pops, so this is where its range check falls.
    return GraphView::around(reg, q).group(q);
}

}  // namespace tessaryn
