// A dense state-vector simulator for a few qubits: the reference that engine operations are
// checked against. Qubit q is bit q of the basis index.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "clifford_matrices.h"
#include "engine/register.h"
#include "engine/tableau.h"

namespace tessaryn::testing {

class StateVector {
public:
    /// |0…0⟩ on n qubits.
    explicit StateVector(int n) : n_(n), amp_(std::size_t{1} << n, 0) { amp_[0] = 1; }

    /// The state a register represents: the VOPs applied after the graph state of its edges and,
    /// for each group held as a tableau, the state its stabilisers fix, read off the generators
    /// themselves (never through the tableau's own graph form).
    static StateVector from_register(const Register& reg) {
        const int n = static_cast<int>(reg.size());
        StateVector s(n);
        // |+⟩ on the qubits in graph form, |0⟩ on the held ones until their groups are put in.
        std::size_t held = 0;
        for (int v = 0; v < n; ++v) held |= reg.held(v) ? std::size_t{1} << v : 0;
        const double a = std::pow(2.0, -0.5 * (n - std::popcount(held)));
        for (std::size_t x = 0; x < s.amp_.size(); ++x) s.amp_[x] = (x & held) == 0 ? a : 0;
        for (int u = 0; u < n; ++u)
            for (int v = u + 1; v < n; ++v)
                if (reg.has_edge(u, v)) s.cz(u, v);
        const TableauGroups& groups = reg.groups();
        for (std::size_t slot = 0; slot < groups.slots(); ++slot)
            if (groups.live(slot)) s.embed(of_tableau(*groups.group(slot).tableau), groups.group(slot).members);
        for (int v = 0; v < n; ++v) s.apply(v, clifford_matrix(reg.vop(v)));
        return s;
    }

    /// The state a tableau's stabilisers fix: a generic vector (one no stabiliser state is
    /// orthogonal to, but by accident) projected by every (I + S_i)/2.
    static StateVector of_tableau(const Tableau& t) {
        const int m = static_cast<int>(t.size());
        StateVector s(m);
        for (std::size_t x = 0; x < s.amp_.size(); ++x) s.amp_[x] = cd(std::cos(1.7 * x + 0.3), std::sin(2.3 * x + 0.9));
        for (int i = 0; i < m; ++i) {
            StateVector p = s;
            for (int k = 0; k < m; ++k)
                if (const int letter = t.stabilizer_at(i, k); letter != 0) p.apply(k, pauli(letter - 1));
            const double sign = t.stabilizer_negative(i) ? -1 : 1;
            for (std::size_t j = 0; j < s.amp_.size(); ++j) s.amp_[j] = 0.5 * (s.amp_[j] + sign * p.amp_[j]);
        }
        const double norm = std::sqrt(s.norm2());
        for (auto& a : s.amp_) a /= norm;
        return s;
    }

    /// Puts `part`, a state of the qubits `at` (which are |0⟩ here), in their place.
    void embed(const StateVector& part, const std::vector<Id>& at) {
        std::vector<std::size_t> spread(part.amp_.size(), 0);  // local index → its bits at `at`
        for (std::size_t l = 1; l < spread.size(); ++l) {
            const auto k = static_cast<std::size_t>(std::countr_zero(l));
            spread[l] = spread[l & (l - 1)] | std::size_t{1} << at[k];
        }
        const std::size_t mask = spread.back();
        std::vector<cd> out(amp_.size());
        for (std::size_t x = 0; x < amp_.size(); ++x) {
            if ((x & mask) != 0 || amp_[x] == cd(0)) continue;
            for (std::size_t l = 0; l < spread.size(); ++l) out[x | spread[l]] = amp_[x] * part.amp_[l];
        }
        amp_ = std::move(out);
    }

    /// A state from its 2^n amplitudes.
    static StateVector from_amplitudes(int n, std::vector<cd> amps) {
        StateVector s(0);
        s.n_ = n;
        s.amp_ = std::move(amps);
        return s;
    }

    int qubits() const { return n_; }
    const std::vector<cd>& amplitudes() const { return amp_; }

    /// Applies |off⟩⟨off| ⊗ I + |on⟩⟨on| ⊗ P_target_axis, where on/off are the -1/+1
    /// eigenstates of P_control_axis on `control`: the defining form of the controlled-Pauli gates.
    void controlled_pauli(int control, int control_axis, int target, int target_axis) {
        StateVector on = *this;
        on.apply(control, projector(control_axis, 1));
        on.apply(target, pauli(target_axis));
        apply(control, projector(control_axis, 0));
        for (std::size_t i = 0; i < amp_.size(); ++i) amp_[i] += on.amp_[i];
    }

    void apply(int q, const Mat2& m) {
        const std::size_t bit = std::size_t{1} << q;
        for (std::size_t i = 0; i < amp_.size(); ++i) {
            if (i & bit) continue;
            const cd a0 = amp_[i], a1 = amp_[i | bit];
            amp_[i] = m[0] * a0 + m[1] * a1;
            amp_[i | bit] = m[2] * a0 + m[3] * a1;
        }
    }

    void cz(int a, int b) {
        const std::size_t mask = (std::size_t{1} << a) | (std::size_t{1} << b);
        for (std::size_t i = 0; i < amp_.size(); ++i)
            if ((i & mask) == mask) amp_[i] = -amp_[i];
    }

    /// Probability that measuring P_axis on q gives eigenvalue (-1)^outcome.
    double probability(int q, int axis, int outcome) const {
        StateVector p = *this;
        p.apply(q, projector(axis, outcome));
        return p.norm2();
    }

    /// Projects onto eigenvalue (-1)^outcome of P_axis on q and renormalises.
    void project(int q, int axis, int outcome) {
        apply(q, projector(axis, outcome));
        const double scale = 1 / std::sqrt(norm2());
        for (auto& x : amp_) x *= scale;
    }

    double norm2() const {
        double s = 0;
        for (const auto& x : amp_) s += std::norm(x);
        return s;
    }

    /// |⟨a|b⟩| = 1 for normalised states.
    friend bool equal_up_to_phase(const StateVector& a, const StateVector& b, double tol = 1e-9) {
        if (a.n_ != b.n_) return false;
        cd overlap = 0;
        for (std::size_t i = 0; i < a.amp_.size(); ++i) overlap += std::conj(a.amp_[i]) * b.amp_[i];
        return std::abs(std::abs(overlap) - 1) < tol && std::abs(a.norm2() - 1) < tol && std::abs(b.norm2() - 1) < tol;
    }

    /// Whether the state is a product across the cut between `part` (a qubit mask) and the rest:
    /// the amplitude matrix indexed by (part bits, rest bits) has rank one.
    bool is_product_across(std::uint64_t part) const {
        // Rows over the assignments of `part`, columns over the rest; rank one iff every 2x2 minor vanishes.
        std::vector<std::size_t> rows, cols;
        for (std::size_t i = 0; i < amp_.size(); ++i) {
            if ((i & ~part) == 0) rows.push_back(i);
            if ((i & part) == 0) cols.push_back(i);
        }
        std::size_t r0 = 0, c0 = 0;
        double best = 0;
        for (auto r : rows)
            for (auto c : cols)
                if (std::abs(amp_[r | c]) > best) best = std::abs(amp_[r | c]), r0 = r, c0 = c;
        for (auto r : rows)
            for (auto c : cols)
                if (std::abs(amp_[r | c] * amp_[r0 | c0] - amp_[r | c0] * amp_[r0 | c]) > 1e-9) return false;
        return true;
    }

    /// ⟨ψ|P|ψ⟩ for the Pauli product P of `terms` (qubit, axis).
    cd expectation(const std::vector<std::pair<int, int>>& terms) const {
        StateVector p = *this;
        for (const auto& [q, axis] : terms) p.apply(q, pauli(axis));
        cd e = 0;
        for (std::size_t i = 0; i < amp_.size(); ++i) e += std::conj(amp_[i]) * p.amp_[i];
        return e;
    }

    /// The Schmidt rank across the cut between `part` (a qubit mask) and the rest: the rank of
    /// the amplitude matrix indexed by (part bits, rest bits), by elimination with pivoting.
    int schmidt_rank(std::uint64_t part) const {
        std::vector<std::size_t> rows, cols;
        for (std::size_t i = 0; i < amp_.size(); ++i) {
            if ((i & ~part) == 0) rows.push_back(i);
            if ((i & part) == 0) cols.push_back(i);
        }
        std::vector<std::vector<cd>> m(rows.size(), std::vector<cd>(cols.size()));
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (std::size_t c = 0; c < cols.size(); ++c) m[r][c] = amp_[rows[r] | cols[c]];
        int rank = 0;
        for (std::size_t c = 0; c < cols.size() && rank < static_cast<int>(rows.size()); ++c) {
            std::size_t best = rank;
            for (std::size_t r = rank; r < rows.size(); ++r)
                if (std::abs(m[r][c]) > std::abs(m[best][c])) best = r;
            if (std::abs(m[best][c]) < 1e-9) continue;
            std::swap(m[rank], m[best]);
            for (std::size_t r = rank + 1; r < rows.size(); ++r) {
                const cd f = m[r][c] / m[rank][c];
                for (std::size_t k = c; k < cols.size(); ++k) m[r][k] -= f * m[rank][k];
            }
            ++rank;
        }
        return rank;
    }

    static Mat2 projector(int axis, int outcome) {
        const Mat2& p = pauli(axis);
        const double s = outcome ? -0.5 : 0.5;
        return {0.5 + s * p[0], s * p[1], s * p[2], 0.5 + s * p[3]};
    }

private:
    int n_;
    std::vector<cd> amp_;
};

}  // namespace tessaryn::testing
