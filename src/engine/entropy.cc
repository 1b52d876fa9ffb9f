#include "engine/entropy.h"

#include <algorithm>
#include <vector>

#include "engine/tableau_ops.h"
#include "engine/ids.h"

namespace tessaryn {
namespace {

// Calls f(v) for the vertices of one side: those marked in `region`, or those not marked.
template <class F>
void for_each_on_side(std::span<const Word> region, std::uint64_t n, bool marked, F&& f) {
    for (std::size_t k = 0; k < region.size(); ++k) {
        Word x = marked ? region[k] : ~region[k];
        if (k + 1 == region.size() && n % kWordBits != 0) x &= (Word{1} << (n % kWordBits)) - 1;
        for (; x != 0; x &= x - 1) f(bits::lowest(k, x));
    }
}

// A dense register's rows are bit rows already: the block is each row masked to the other side.
std::uint64_t dense_cut_rank(const Register& reg, std::span<const Word> region, bool marked) {
    const Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    std::vector<Word> rows;
    std::size_t count = 0;
    for_each_on_side(region, reg.size(), marked, [&](std::uint64_t u) {
        const Word* r = adj.row(u).words;
        rows.resize((count + 1) * words);
        Word* out = rows.data() + count * words;
        Word any = 0;
        for (std::size_t k = 0; k < words; ++k) any |= out[k] = r[k] & (marked ? ~region[k] : region[k]);
        count += any != 0;
    });
    return bit_rank(rows.data(), count, words);
}

// The block as sparse rows: row i holds the ids in cols[start[i] .. start[i + 1]), ascending.
struct SparseBlock {
    std::vector<std::size_t> start{0};
    std::vector<Id> cols;
    std::size_t columns = 0;
};

SparseBlock gather(const Register& reg, std::span<const Word> region, bool marked) {
    SparseBlock m;
    for_each_on_side(region, reg.size(), marked, [&](std::uint64_t u) {
        const std::size_t before = m.cols.size();
        reg.for_each_neighbour(u, [&](std::uint64_t w) {
            if (bits::test(region.data(), w) != marked) m.cols.push_back(static_cast<Id>(w));
        });
        if (m.cols.size() != before) m.start.push_back(m.cols.size());
    });
    // Columns renumbered 0..b-1 in the order of their vertices, which keeps each row ascending.
    std::vector<Id> distinct = m.cols;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (Id& c : m.cols) c = static_cast<Id>(sorted::lower_bound(distinct, c));
    m.columns = distinct.size();
    return m;
}

// Removes rows and columns with a single live entry, each of which adds one to the rank and
// changes nothing else: a column whose one entry is in row r can clear the rest of row r, so
// rank(M) = 1 + rank(M without r and that column), and likewise for a row of one entry.
// Returns that count; `row_live` and `col_live` keep what is left.
std::uint64_t peel(const SparseBlock& m, std::vector<char>& row_live, std::vector<char>& col_live) {
    const std::size_t rows = m.start.size() - 1;
    std::vector<std::uint32_t> row_len(rows), col_count(m.columns);
    std::vector<std::size_t> col_start(m.columns + 1, 0);
    for (const Id c : m.cols) ++col_start[c + 1];
    for (std::size_t c = 0; c < m.columns; ++c) col_start[c + 1] += col_start[c];
    std::vector<std::uint32_t> col_rows(m.cols.size());
    {
        std::vector<std::size_t> at(col_start.begin(), col_start.end() - 1);
        for (std::size_t r = 0; r < rows; ++r) {
            row_len[r] = static_cast<std::uint32_t>(m.start[r + 1] - m.start[r]);
            for (std::size_t e = m.start[r]; e < m.start[r + 1]; ++e)
                col_rows[at[m.cols[e]]++] = static_cast<std::uint32_t>(r);
        }
    }
    for (std::size_t c = 0; c < m.columns; ++c)
        col_count[c] = static_cast<std::uint32_t>(col_start[c + 1] - col_start[c]);
    row_live.assign(rows, 1);
    col_live.assign(m.columns, 1);

    // Singletons to look at: rows as r, columns as rows + c.
    std::vector<std::size_t> pending;
    for (std::size_t r = 0; r < rows; ++r)
        if (row_len[r] == 1) pending.push_back(r);
    for (std::size_t c = 0; c < m.columns; ++c)
        if (col_count[c] == 1) pending.push_back(rows + c);

    std::uint64_t rank = 0;
    const auto drop_row = [&](std::size_t r) {  // r leaves; its columns lose an entry
        row_live[r] = 0;
        for (std::size_t e = m.start[r]; e < m.start[r + 1]; ++e) {
            const Id c = m.cols[e];
            if (!col_live[c]) continue;
            if (--col_count[c] == 1) pending.push_back(rows + c);
            if (col_count[c] == 0) col_live[c] = 0;
        }
    };
    const auto drop_col = [&](std::size_t c) {  // c leaves; its rows lose an entry
        col_live[c] = 0;
        for (std::size_t e = col_start[c]; e < col_start[c + 1]; ++e) {
            const std::uint32_t r = col_rows[e];
            if (!row_live[r]) continue;
            if (--row_len[r] == 1) pending.push_back(r);
            if (row_len[r] == 0) row_live[r] = 0;
        }
    };
    while (!pending.empty()) {
        const std::size_t item = pending.back();
        pending.pop_back();
        if (item < rows) {
            const std::size_t r = item;
            if (!row_live[r] || row_len[r] != 1) continue;
            std::size_t e = m.start[r];
            while (!col_live[m.cols[e]]) ++e;
            ++rank;
            row_live[r] = 0;
            drop_col(m.cols[e]);
        } else {
            const std::size_t c = item - rows;
            if (!col_live[c] || col_count[c] != 1) continue;
            std::size_t e = col_start[c];
            while (!row_live[col_rows[e]]) ++e;
            ++rank;
            col_live[c] = 0;
            drop_row(col_rows[e]);
        }
    }
    return rank;
}

// Rank of what peeling left: as bit rows when they fit the budget, else row by row against a
// basis kept by lowest column.
std::uint64_t remainder_rank(const SparseBlock& m, const std::vector<char>& row_live, const std::vector<char>& col_live,
                             std::size_t bit_rank_words) {
    std::vector<Id> renumbered(m.columns);
    std::size_t columns = 0;
    for (std::size_t c = 0; c < m.columns; ++c)
        if (col_live[c]) renumbered[c] = static_cast<Id>(columns++);
    std::size_t rows = 0;
    for (const char live : row_live) rows += live != 0;
    if (rows == 0 || columns == 0) return 0;

    const std::size_t words = bits::words_for(columns);
    if (rows * words <= bit_rank_words) {
        std::vector<Word> block(rows * words, 0);
        std::size_t i = 0;
        for (std::size_t r = 0; r + 1 < m.start.size(); ++r) {
            if (!row_live[r]) continue;
            for (std::size_t e = m.start[r]; e < m.start[r + 1]; ++e)
                if (col_live[m.cols[e]]) bits::set(block.data() + i * words, renumbered[m.cols[e]]);
            ++i;
        }
        return bit_rank(block.data(), rows, words);
    }
    std::vector<std::vector<Id>> basis(columns);
    std::vector<Id> row, next;
    std::uint64_t rank = 0;
    for (std::size_t r = 0; r + 1 < m.start.size(); ++r) {
        if (!row_live[r]) continue;
        row.clear();
        for (std::size_t e = m.start[r]; e < m.start[r + 1]; ++e)
            if (col_live[m.cols[e]]) row.push_back(renumbered[m.cols[e]]);
        while (!row.empty() && !basis[row.front()].empty()) {
            const std::vector<Id>& b = basis[row.front()];
            next.resize(row.size() + b.size());
            const auto end = std::set_symmetric_difference(row.begin(), row.end(), b.begin(), b.end(), next.begin());
            next.resize(static_cast<std::size_t>(end - next.begin()));
            std::swap(row, next);
        }
        if (!row.empty()) {
            basis[row.front()] = row;
            ++rank;
        }
    }
    return rank;
}

}  // namespace

std::uint64_t cut_rank(const Register& reg, std::span<const Word> region, std::size_t bit_rank_words) {
    const std::uint64_t n = reg.size();
    const std::uint64_t marked_count = bits::count(region);
    if (marked_count == 0 || marked_count == n) return 0;
    // The side with fewer vertices gives the rows: it has the fewer neighbours to go through.
    const bool marked = marked_count <= n - marked_count;
    const std::uint64_t held = reg.groups().empty() ? 0 : cut_rank_held(reg, region);
    if (reg.adj().dense()) return held + dense_cut_rank(reg, region, marked);
    const SparseBlock m = gather(reg, region, marked);
    if (m.cols.empty()) return held;
    std::vector<char> row_live, col_live;
    const std::uint64_t peeled = peel(m, row_live, col_live);
    return held + peeled + remainder_rank(m, row_live, col_live, bit_rank_words);
}

}  // namespace tessaryn
