#include "circuit/circuit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace tessaryn::circuit {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    return a > std::numeric_limits<std::uint64_t>::max() / b ? std::numeric_limits<std::uint64_t>::max() : a * b;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_name_start(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_char(char c) noexcept { return is_name_start(c) || is_digit(c) || c == '_'; }

// How an instruction's number is printed: integers as integers, others in their shortest form
// that reads back to the same double.
void append_number(std::string& out, double x) {
    char buf[32];
    if (x == std::floor(x) && std::fabs(x) <= 9007199254740992.0) {
        const auto n = static_cast<long long>(x);
        out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
        return;
    }
    out.append(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
}

std::string number_text(double x) {
    std::string out;
    append_number(out, x);
    return out;
}

void append_uint(std::string& out, std::uint64_t n) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

}  // namespace

// --- Parsing ---------------------------------------------------------------------------------

class Parser {
public:
    Parser(std::string_view text, Circuit& c) : p_(text.data()), end_(text.data() + text.size()), c_(c) {}

    void run() {
        open_.push_back(0);
        // A line holds an instruction at most and a target takes two characters at least: room
        // for those up front spares the growing.
        const auto lines = static_cast<std::size_t>(std::count(p_, end_, '\n')) + 1;
        c_.blocks_[0].reserve(lines);
        c_.targets_.reserve(static_cast<std::size_t>(end_ - p_) / 2);
        line_start_ = p_;
        while (p_ < end_) {
            skip_spaces();
            if (at_line_end()) {
                next_line();
                continue;
            }
            if (*p_ == '}') {
                const char* brace = p_++;
                skip_spaces();
                if (!at_line_end()) fail(p_, "expected the end of the line after '}'");
                if (open_.size() == 1) fail(brace, "'}' closes no block (no REPEAT ... { is open)");
                open_.pop_back();
                opened_.pop_back();
                next_line();
                continue;
            }
            instruction();
        }
        if (open_.size() > 1)
            throw ParseError{"line " + std::to_string(opened_.back().first) + ", column " +
                             std::to_string(opened_.back().second) + ": this '{' is never closed by a '}'"};
    }

private:
    [[noreturn]] void fail(const char* at, const std::string& what) const {
        const auto column = static_cast<std::uint64_t>(at - line_start_) + 1;
        throw ParseError{"line " + std::to_string(line_) + ", column " + std::to_string(column) + ": " + what};
    }

    void skip_spaces() noexcept {
        while (p_ < end_ && is_space(*p_)) ++p_;
    }
    bool at_line_end() const noexcept { return p_ == end_ || *p_ == '\n' || *p_ == '#'; }
    void next_line() noexcept {
        while (p_ < end_ && *p_ != '\n') ++p_;
        if (p_ < end_) ++p_;
        ++line_;
        line_start_ = p_;
    }
    std::string found() const {
        if (p_ == end_ || *p_ == '\n') return "the end of the line";
        const char* q = p_;
        while (q < end_ && q - p_ < 16 && *q != '\n' && !is_space(*q)) ++q;
        std::string out(1, '\'');
        out.append(p_, q);
        out += '\'';
        return out;
    }

    std::uint64_t number(const char* what, std::uint64_t limit) {
        const char* start = p_;
        if (p_ == end_ || !is_digit(*p_)) fail(p_, std::string("expected ") + what + ", found " + found());
        // Up to 18 digits cannot overflow; longer numbers take the careful path.
        std::uint64_t v = 0;
        while (p_ < end_ && is_digit(*p_) && p_ - start < 18) v = 10 * v + static_cast<std::uint64_t>(*p_++ - '0');
        if (p_ < end_ && is_digit(*p_)) {
            const auto [ptr, ec] = std::from_chars(start, end_, v);
            if (ec != std::errc()) v = ~std::uint64_t{0};
            p_ = ptr;
        }
        if (v > limit) fail(start, std::string(what) + " " + std::string(start, p_) + " is beyond " + std::to_string(limit));
        return v;
    }

    void expect(char c, const char* what) {
        if (p_ == end_ || *p_ != c) fail(p_, std::string("expected ") + what + ", found " + found());
        ++p_;
    }

    Target target() {
        Target t;
        const char* start = p_;
        if (*p_ == '!') {
            t.inverted = true;
            ++p_;
        }
        if (p_ < end_ && is_digit(*p_)) {
            t.value = static_cast<std::uint32_t>(number("a qubit index", 0xFFFFFFFFu));
            return t;
        }
        if (p_ < end_ && *p_ == '*' && !t.inverted) {
            ++p_;
            t.kind = TargetKind::combiner;
            return t;
        }
        if (p_ < end_ && std::string_view(p_, std::min<std::size_t>(4, end_ - p_)) == "rec[" && !t.inverted) {
            p_ += 4;
            expect('-', "'-' (a record target looks back: rec[-1] is the latest result)");
            t.kind = TargetKind::record;
            t.value = static_cast<std::uint32_t>(number("a record lookback", 0xFFFFFFFFu));
            if (t.value == 0) fail(p_ - 1, "rec[-0] names no result (rec[-1] is the latest)");
            expect(']', "']'");
            return t;
        }
        if (p_ < end_ && std::string_view(p_, std::min<std::size_t>(6, end_ - p_)) == "sweep[" && !t.inverted) {
            p_ += 6;
            t.kind = TargetKind::sweep;
            t.value = static_cast<std::uint32_t>(number("a sweep bit index", 0xFFFFFFFFu));
            expect(']', "']'");
            return t;
        }
        if (p_ + 1 < end_ && is_digit(p_[1])) {
            const char c = static_cast<char>(*p_ & ~0x20);
            if (c == 'X' || c == 'Y' || c == 'Z') {
                t.kind = c == 'X' ? TargetKind::pauli_x : c == 'Y' ? TargetKind::pauli_y : TargetKind::pauli_z;
                ++p_;
                t.value = static_cast<std::uint32_t>(number("a qubit index", 0xFFFFFFFFu));
                return t;
            }
        }
        p_ = start;
        fail(p_, "expected a target (a qubit like 5 or !5, rec[-1], sweep[0], a Pauli like X3, or *), found " +
                     found());
    }

    void parse_args(std::uint32_t& count) {
        ++p_;  // '('
        for (;;) {
            skip_spaces();
            double x = 0;
            const auto [ptr, ec] = std::from_chars(p_, end_, x);
            if (ec != std::errc() || ptr == p_ || !std::isfinite(x))
                fail(p_, "expected a number in the parens arguments, found " + found());
            p_ = ptr;
            c_.args_.push_back(x);
            ++count;
            skip_spaces();
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                continue;
            }
            expect(')', "',' or ')' after a parens argument");
            return;
        }
    }

    void instruction() {
        const char* name_at = p_;
        if (!is_name_start(*p_)) fail(p_, "expected an instruction name, found " + found());
        while (p_ < end_ && is_name_char(*p_)) ++p_;
        const std::string_view name(name_at, static_cast<std::size_t>(p_ - name_at));
        // Lines of a circuit repeat their instructions' names: the last one found is tried first.
        std::optional<Gate> gate;
        if (name.size() == last_name_.size() && std::equal(name.begin(), name.end(), last_name_.begin())) {
            gate = last_gate_;
        } else {
            gate = find_instruction(name);
            if (!gate) fail(name_at, "unknown instruction '" + std::string(name) + "'");
            last_name_ = name;
            last_gate_ = *gate;
        }
        const InstructionInfo& s = info(*gate);
        Instruction ins;
        ins.gate = *gate;
        if (p_ < end_ && *p_ == '[') {
            const char* tag_at = ++p_;
            while (p_ < end_ && *p_ != ']' && *p_ != '\n' && *p_ != '\r') ++p_;
            if (p_ == end_ || *p_ != ']') fail(p_, "expected ']' closing the tag");
            ins.tag = tag(std::string_view(tag_at, static_cast<std::size_t>(p_ - tag_at)));
            ++p_;
        }
        ins.args_at = static_cast<std::uint32_t>(c_.args_.size());
        const char* args_at = p_;
        if (p_ < end_ && *p_ == '(') parse_args(ins.args_count);
        if (s.kind == Kind::repeat) {
            repeat(ins, args_at);
            return;
        }
        ins.targets_at = static_cast<std::uint32_t>(c_.targets_.size());
        where_.clear();
        for (;;) {
            const char* before = p_;
            skip_spaces();
            if (at_line_end()) break;
            if (*p_ == '{') fail(p_, "only REPEAT opens a block with '{'");
            const bool joined = !where_.empty() && (c_.targets_.back().kind == TargetKind::combiner || *p_ == '*');
            if (p_ == before && !joined) fail(p_, "expected a space before the target, found " + found());
            where_.push_back(p_);
            c_.targets_.push_back(target());
        }
        ins.targets_count = static_cast<std::uint32_t>(c_.targets_.size() - ins.targets_at);
        check_args(ins, s, args_at);
        check_targets(ins, s, name_at);
        append(ins, s);
        next_line();
    }

    // REPEAT N {: the count, then the block, whose first instruction may follow on the same line.
    void repeat(Instruction& ins, const char* args_at) {
        if (ins.args_count != 0) fail(args_at, "REPEAT takes no parens arguments");
        const char* before = p_;
        skip_spaces();
        if (p_ == before) fail(p_, "expected a space and a repetition count, found " + found());
        const char* count_at = p_;
        ins.repeat = number("a repetition count", std::uint64_t{1} << 62);
        if (ins.repeat == 0) fail(count_at, "REPEAT 0 is not allowed: a block must run at least once");
        skip_spaces();
        opened_.emplace_back(line_, static_cast<std::uint64_t>(p_ - line_start_) + 1);
        expect('{', "'{' after the repetition count");
        ins.block = static_cast<std::uint32_t>(c_.blocks_.size());
        c_.blocks_.emplace_back();
        c_.blocks_[open_.back()].push_back(ins);
        open_.push_back(ins.block);
    }

    std::uint32_t tag(std::string_view text) {
        if (c_.tags_.back() == text) return static_cast<std::uint32_t>(c_.tags_.size() - 1);
        c_.tags_.emplace_back(text);
        return static_cast<std::uint32_t>(c_.tags_.size() - 1);
    }

    // Joins `ins` to the block's last instruction when both are the same fusable instruction with
    // the same arguments and tag: its targets follow that one's directly.
    void append(Instruction& ins, const InstructionInfo& s) {
        std::vector<Instruction>& block = c_.blocks_[open_.back()];
        if (s.fuses && !block.empty()) {
            Instruction& last = block.back();
            if (last.gate == ins.gate && (last.tag == ins.tag || c_.tags_[last.tag] == c_.tags_[ins.tag]) &&
                last.args_count == ins.args_count &&
                std::equal(c_.args_.begin() + last.args_at, c_.args_.begin() + last.args_at + last.args_count,
                           c_.args_.begin() + ins.args_at) &&
                last.targets_at + last.targets_count == ins.targets_at) {
                last.targets_count += ins.targets_count;
                c_.args_.resize(ins.args_at);
                return;
            }
        }
        block.push_back(ins);
    }

    void check_args(const Instruction& ins, const InstructionInfo& s, const char* args_at);
    void check_targets(const Instruction& ins, const InstructionInfo& s, const char* name_at);

    const char* p_;
    const char* end_;
    const char* line_start_ = nullptr;
    std::uint64_t line_ = 1;
    Circuit& c_;
    std::vector<std::uint32_t> open_;  // the blocks being read, innermost last
    std::vector<std::pair<std::uint64_t, std::uint64_t>> opened_;  // where their '{' stood: line, column
    std::vector<const char*> where_;   // where each target of the instruction began
    std::string_view last_name_;
    Gate last_gate_ = 0;
};

void Parser::check_args(const Instruction& ins, const InstructionInfo& s, const char* args_at) {
    if (ins.args_count == 0 && s.min_args == 0) return;
    const std::span<const double> a(c_.args_.data() + ins.args_at, ins.args_count);
    const std::string_view name = s.name;
    if (a.size() < s.min_args || (s.max_args != kAnyCount && a.size() > s.max_args)) {
        const std::string takes = s.min_args == s.max_args ? std::to_string(s.min_args)
                                  : s.max_args == kAnyCount
                                      ? "at least " + std::to_string(s.min_args)
                                      : std::to_string(s.min_args) + " or " + std::to_string(s.max_args);
        fail(args_at, std::string(name) + " takes " + takes + " parens argument" + (takes == "1" ? "" : "s") +
                          ", not " + std::to_string(a.size()));
    }
    if (s.args == Args::probability || s.args == Args::disjoint) {
        double total = 0;
        for (const double x : a) {
            if (!(x >= 0 && x <= 1))
                fail(args_at, std::string(name) + " takes probabilities from 0 to 1, and " + number_text(x) + " is not one");
            total += x;
        }
        if (s.args == Args::disjoint && total > 1 + 1e-12)
            fail(args_at, std::string(name) + " takes probabilities of disjoint cases, which sum to at most 1, not to " +
                              number_text(total));
    }
    if (s.args == Args::observable_index)
        for (const double x : a)
            if (!(x >= 0 && x == std::floor(x) && x < 4294967296.0))
                fail(args_at, std::string(name) + " takes an observable index, a non-negative integer, not " + number_text(x));
}

void Parser::check_targets(const Instruction& ins, const InstructionInfo& s, const char* name_at) {
    const std::span<const Target> t(c_.targets_.data() + ins.targets_at, ins.targets_count);
    const auto name = [&] { return std::string(s.name); };
    const auto bad = [&](std::size_t i, const std::string& why) { fail(where_[i], why); };
    switch (s.targets) {
        case Targets::none:
            if (!t.empty()) bad(0, name() + " takes no targets");
            return;
        case Targets::qubits:
            for (std::size_t i = 0; i < t.size(); ++i) {
                if (t[i].kind != TargetKind::qubit) bad(i, name() + " takes qubit targets");
                if (t[i].inverted && !s.records_results && s.kind != Kind::heralded_noise)
                    bad(i, name() + " records no result, so its targets cannot be inverted with '!'");
            }
            return;
        case Targets::pairs:
        case Targets::feedback_pairs:
            if (t.size() % 2 != 0) fail(name_at, name() + " takes its targets in pairs, and was given " + std::to_string(t.size()));
            for (std::size_t i = 0; i < t.size(); ++i) {
                const bool classical = t[i].is_classical() && s.targets == Targets::feedback_pairs;
                if (t[i].kind != TargetKind::qubit && !classical)
                    bad(i, name() + " takes qubit targets" +
                               (s.targets == Targets::feedback_pairs ? std::string(", rec[-k] or sweep[k]") : ""));
                if (t[i].inverted && !s.records_results) bad(i, name() + " records no result, so its targets cannot be inverted with '!'");
                if (i % 2 == 1 && t[i] == t[i - 1])
                    bad(i, name() + " was given the pair (" + std::to_string(t[i].value) + ", " + std::to_string(t[i].value) +
                               "): a pair must be of two different targets");
            }
            return;
        case Targets::paulis:
            for (std::size_t i = 0; i < t.size(); ++i)
                if (!t[i].is_pauli() && t[i].kind != TargetKind::combiner) bad(i, name() + " takes Pauli targets like X3");
            return;
        case Targets::products: {
            for (std::size_t i = 0; i < t.size(); ++i) {
                const bool combiner = t[i].kind == TargetKind::combiner;
                if (!t[i].is_pauli() && !combiner) bad(i, name() + " takes Pauli products like X1*Y2");
                if (combiner && (i == 0 || i + 1 == t.size() || t[i - 1].kind == TargetKind::combiner))
                    bad(i, "'*' must join two Pauli targets");
            }
            // Each product must be Hermitian: repeated qubits multiply out to ±1 times a Pauli.
            for (std::size_t i = 0; i < t.size();) {
                std::size_t j = i + 1;
                while (j + 1 < t.size() && t[j].kind == TargetKind::combiner) j += 2;
                int phase = 0;
                for (std::size_t a = i; a < j; a += 2)
                    for (std::size_t b = a + 2; b < j; b += 2)
                        if (t[a].value == t[b].value && t[a].kind != t[b].kind) ++phase;
                if (phase % 2 != 0)
                    bad(i, name() + " was given an anti-Hermitian product (a qubit carries two different Paulis an odd "
                                  "number of times, like X0*Z0 for -iY0)");
                i = j;
            }
            return;
        }
        case Targets::records:
            for (std::size_t i = 0; i < t.size(); ++i)
                if (t[i].kind != TargetKind::record) bad(i, name() + " takes record targets like rec[-1]");
            return;
        case Targets::records_or_paulis:
            for (std::size_t i = 0; i < t.size(); ++i)
                if (t[i].kind != TargetKind::record && !t[i].is_pauli())
                    bad(i, name() + " takes record targets like rec[-1] and Pauli targets like X3");
            return;
        case Targets::bits:
            for (std::size_t i = 0; i < t.size(); ++i)
                if (t[i].kind != TargetKind::qubit || t[i].inverted || t[i].value > 1)
                    bad(i, name() + " takes the bits it records, 0 or 1");
            return;
    }
}

Circuit::Circuit() : blocks_(1), tags_(1) {}

Circuit Circuit::parse(std::string_view text) {
    Circuit c;
    Parser(text, c).run();
    c.count();
    return c;
}

// --- Counting ---------------------------------------------------------------------------------

std::uint64_t results_of(const Circuit& c, const Instruction& ins) noexcept {
    const InstructionInfo& s = info(ins.gate);
    switch (s.kind) {
        case Kind::measure:
        case Kind::measure_reset:
        case Kind::heralded_noise:
        case Kind::pad:
            return ins.targets_count;
        case Kind::pair_measure:
            return ins.targets_count / 2;
        case Kind::pauli_product_measure: {
            std::uint64_t combiners = 0;
            for (const Target& t : c.targets(ins)) combiners += t.kind == TargetKind::combiner;
            return ins.targets_count - 2 * combiners;
        }
        default:
            return 0;
    }
}

void Circuit::count() {
    block_measurements_.assign(blocks_.size(), 0);
    std::vector<std::uint64_t> detectors(blocks_.size(), 0);
    // A body's block comes after its REPEAT's, so bodies are counted first from the back.
    for (std::size_t b = blocks_.size(); b-- > 0;) {
        for (const Instruction& ins : blocks_[b]) {
            const InstructionInfo& s = info(ins.gate);
            if (s.kind == Kind::repeat) {
                block_measurements_[b] =
                    saturating_add(block_measurements_[b], saturating_mul(block_measurements_[ins.block], ins.repeat));
                detectors[b] = saturating_add(detectors[b], saturating_mul(detectors[ins.block], ins.repeat));
                continue;
            }
            block_measurements_[b] = saturating_add(block_measurements_[b], results_of(*this, ins));
            if (s.kind == Kind::detector) detectors[b] = saturating_add(detectors[b], 1);
            if (s.kind == Kind::observable)
                num_observables_ = std::max<std::uint64_t>(num_observables_, static_cast<std::uint64_t>(args_[ins.args_at]) + 1);
            for (const Target& t : targets(ins)) {
                if (t.kind == TargetKind::qubit && s.targets != Targets::bits) num_qubits_ = std::max<std::uint64_t>(num_qubits_, t.value + 1ull);
                if (t.is_pauli()) num_qubits_ = std::max<std::uint64_t>(num_qubits_, t.value + 1ull);
                if (t.kind == TargetKind::sweep) num_sweep_bits_ = std::max<std::uint64_t>(num_sweep_bits_, t.value + 1ull);
            }
        }
    }
    num_measurements_ = block_measurements_[0];
    num_detectors_ = detectors[0];
}

// --- Printing ---------------------------------------------------------------------------------

void Circuit::print_block(std::string& out, std::uint32_t b, int depth) const {
    for (const Instruction& ins : blocks_[b]) {
        out.append(static_cast<std::size_t>(4 * depth), ' ');
        const InstructionInfo& s = info(ins.gate);
        out += s.name;
        if (ins.tag != 0) {
            out += '[';
            out += tags_[ins.tag];
            out += ']';
        }
        if (ins.args_count != 0) {
            out += '(';
            for (std::uint32_t i = 0; i < ins.args_count; ++i) {
                if (i != 0) out += ", ";
                append_number(out, args_[ins.args_at + i]);
            }
            out += ')';
        }
        if (s.kind == Kind::repeat) {
            out += ' ';
            append_uint(out, ins.repeat);
            out += " {\n";
            print_block(out, ins.block, depth + 1);
            out.append(static_cast<std::size_t>(4 * depth), ' ');
            out += "}\n";
            continue;
        }
        bool joined = false;
        for (const Target& t : targets(ins)) {
            if (t.kind == TargetKind::combiner) {
                out += '*';
                joined = true;
                continue;
            }
            if (!joined) out += ' ';
            joined = false;
            if (t.inverted) out += '!';
            switch (t.kind) {
                case TargetKind::record:
                    out += "rec[-";
                    append_uint(out, t.value);
                    out += ']';
                    continue;
                case TargetKind::sweep:
                    out += "sweep[";
                    append_uint(out, t.value);
                    out += ']';
                    continue;
                case TargetKind::pauli_x:
                case TargetKind::pauli_y:
                case TargetKind::pauli_z:
                    out += "XYZ"[t.axis()];
                    break;
                default:
                    break;
            }
            append_uint(out, t.value);
        }
        out += '\n';
    }
}

std::string Circuit::str() const {
    std::string out;
    print_block(out, 0, 0);
    if (!out.empty()) out.pop_back();
    return out;
}

// --- Equality ---------------------------------------------------------------------------------

bool Circuit::same_block(const Circuit& o, std::uint32_t a, std::uint32_t b) const noexcept {
    const std::vector<Instruction>& x = blocks_[a];
    const std::vector<Instruction>& y = o.blocks_[b];
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const Instruction& p = x[i];
        const Instruction& q = y[i];
        if (p.gate != q.gate || p.repeat != q.repeat || tags_[p.tag] != o.tags_[q.tag]) return false;
        if (!std::ranges::equal(args(p), o.args(q)) || !std::ranges::equal(targets(p), o.targets(q))) return false;
        if (info(p.gate).kind == Kind::repeat && !same_block(o, p.block, q.block)) return false;
    }
    return true;
}

bool operator==(const Circuit& a, const Circuit& b) noexcept { return a.same_block(b, 0, 0); }

}  // namespace tessaryn::circuit
