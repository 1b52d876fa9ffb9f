#include "engine/cost_model.h"

namespace tessaryn::cost {
namespace {

std::uint64_t move_cost_shifted(std::uint64_t m, unsigned shift) noexcept { return move_cost(m) << shift; }

}  // namespace

Look look_at(const RegisterAccount& account, std::uint64_t m, std::uint64_t ends, std::uint64_t max_tableau) noexcept {
    const std::uint64_t cost = move_cost_shifted(m, account.move_shift);
    const std::uint64_t search = m + ends;
    const bool candidate = m >= kMinTableau && m <= max_tableau && kDensity * ends >= m * m;
    if (!candidate) {
        // Seen again soon after it is dense enough, and by far more work than this search cost,
        // so that looking stays a small share of the work it follows.
        return {false, account.credit + std::max(cost / kRelookDivisor, kSearchRatio * search)};
    }
    if (account.credit < cost) return {false, std::max(cost, account.credit + kPaidSearchRatio * search)};
    return {true, cost};
}

void moved_to_tableau(RegisterAccount& account, std::uint64_t m) noexcept {
    account.credit = 0;
    account.next_look = move_cost_shifted(m, account.move_shift);
}

void move_refused(RegisterAccount& account, std::uint64_t m) noexcept {
    account.next_look = account.credit + move_cost_shifted(std::max<std::uint64_t>(m, kMinTableau), account.move_shift);
}

void moved_back(RegisterAccount& account, const GroupAccount& group, std::uint64_t m) noexcept {
    // A circuit that asks for its groups after every few gates then settles in graph form; a
    // tableau that paid its way resets that.
    account.move_shift = group.saved >= move_cost(m) ? 0 : std::min(account.move_shift + 1, kMaxMoveShift);
    account.credit = 0;
    account.next_look = move_cost_shifted(m, account.move_shift);
}

}  // namespace tessaryn::cost
