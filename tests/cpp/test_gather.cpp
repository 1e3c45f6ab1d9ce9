// Unit tests of the gathers on their own: numbers with missing rows, text from Arrow string chunks
// (runs across a chunk's end, repeats, missing rows, sliced offsets, both offset widths), the rows
// and offsets they refuse, and the ranks of texts at rows in several parts.
#include "core/gather.hpp"

#include "check.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace core = orvane::core;
using V = std::vector<int64_t>;

using core_test::check;

namespace {

void numbers() {
    const std::vector<double> f = {1.5, 2.5, 3.5};
    const V i = {10, 20, 30}, rows = {2, -1, 0};
    std::vector<double> out(3);
    core::take_numbers(f.data(), rows.data(), 3, out.data());
    check(out[0] == 3.5 && std::isnan(out[1]) && out[2] == 1.5, "float64 at rows, NaN for -1");
    core::take_numbers(i.data(), rows.data(), 3, out.data());
    check(out[0] == 30 && std::isnan(out[1]) && out[2] == 10, "int64 as float64, NaN for -1");
    const V all = {1, 1, 0};
    V ints(3);
    core::take_numbers(i.data(), all.data(), 3, ints.data());
    check(ints == V({20, 20, 10}), "int64 at rows");
    const core::RowSpan span(rows.data(), rows.size()), none(nullptr, 0);
    check(span.lowest == -1 && span.highest == 2 && none.lowest == INT64_MAX, "row span");
}

// Offsets of one width as bytes.
template <class Offset>
std::vector<unsigned char> offsets_of(const V &v) {
    std::vector<unsigned char> out(v.size() * sizeof(Offset));
    for (size_t i = 0; i < v.size(); ++i) {
        const Offset o = static_cast<Offset>(v[i]);
        std::memcpy(out.data() + i * sizeof(Offset), &o, sizeof(Offset));
    }
    return out;
}

template <class Offset>
V offsets_from(const std::vector<unsigned char> &bytes) {
    V out(bytes.size() / sizeof(Offset));
    for (size_t i = 0; i < out.size(); ++i) {
        Offset o;
        std::memcpy(&o, bytes.data() + i * sizeof(Offset), sizeof(Offset));
        out[i] = o;
    }
    return out;
}

// Two chunks, "ab" "" "cde" | "x" "yz", the second a slice whose offsets start at 10.
template <class Offset>
void text_take() {
    const std::string a = "abcde", b = "0123456789xyz";
    const auto oa = offsets_of<Offset>({0, 2, 2, 5}), ob = offsets_of<Offset>({10, 11, 13});
    core::TextChunks src;
    src.large = sizeof(Offset) == 8;
    src.chunks = {{oa.data(), a.data(), 5}, {ob.data(), b.data(), 13}};
    src.first_row = {0, 3, 5};
    // a following stretch across the chunks' end, a repeated row, missing rows, single rows
    const V rows = {1, 2, 3, 4, 0, 0, 0, -1, -1, 4, 2};
    std::vector<unsigned char> offsets((rows.size() + 1) * sizeof(Offset));
    core::TextTake take;
    check(take.plan(src, rows.data(), rows.size(), offsets.data()), "text plan");
    check(offsets_from<Offset>(offsets) == V({0, 0, 3, 4, 6, 8, 10, 12, 12, 12, 14, 17}), "text offsets");
    check(take.bytes() == 17 && take.missing() == 2, "text sizes");
    std::string bytes(static_cast<size_t>(take.bytes()), '?');
    std::vector<unsigned char> valid(2, 0xFF);
    take.copy(reinterpret_cast<unsigned char *>(bytes.data()), valid.data());
    check(bytes == "cdexyzabababyzcde", "text bytes");
    check(valid[0] == 0x7F && valid[1] == 0x06, "validity bits, cleared first");

    const V outside = {0, 5};
    check(!take.plan(src, outside.data(), 2, offsets.data()), "a row past the column is refused");
    const auto bad = offsets_of<Offset>({0, 4, 2, 5});
    src.chunks[0].offsets = bad.data();
    const V one = {1};
    check(!take.plan(src, one.data(), 1, offsets.data()), "offsets that go back are refused");
    const auto beyond = offsets_of<Offset>({0, 2, 2, 9});
    src.chunks[0].offsets = beyond.data();
    const V last = {2};
    check(!take.plan(src, last.data(), 1, offsets.data()), "offsets past the chunk's bytes are refused");
}

void ranks() {
    const std::string bytes = "baBab";  // "b" "a" "B" "ab" ""
    const auto offsets = offsets_of<int32_t>({0, 1, 2, 3, 5, 5});
    core::TextChunks src;
    src.chunks = {{offsets.data(), bytes.data(), 5}};
    src.first_row = {0, 5};
    const V rank_of = {4, 2, 1, 3, 0};  // byte order: "" "B" "a" "ab" "b"
    const size_t n = 40'000;            // two parts on two threads
    V rows(n), want(n), codes;
    for (size_t i = 0; i < n; ++i) {
        rows[i] = static_cast<int64_t>(i * 7 % 5);
        want[i] = rank_of[static_cast<size_t>(rows[i])];
    }
    check(core::rank_text_rows(src, rows.data(), n, 2, codes) && codes == want, "ranks in byte order, two parts");
    const V few = {3, 3, 1};
    check(core::rank_text_rows(src, few.data(), 3, 4, codes) && codes == V({1, 1, 0}), "ranks of the rows' texts only");
    // rows after their preceding row, texts equal and not: "x" "x" "y" "y"
    const std::string repeated = "xxyy";
    const auto repeated_offsets = offsets_of<int32_t>({0, 1, 2, 3, 4});
    core::TextChunks pairs;
    pairs.chunks = {{repeated_offsets.data(), repeated.data(), 4}};
    pairs.first_row = {0, 4};
    const V following = {0, 1, 2, 3, 1};
    check(core::rank_text_rows(pairs, following.data(), 5, 1, codes) && codes == V({0, 0, 1, 1, 0}),
          "ranks of rows after their preceding row");
    rows[n - 1] = 5;
    check(!core::rank_text_rows(src, rows.data(), n, 2, codes), "a row past the column is refused");
}

}  // namespace

int main() {
    numbers();
    text_take<int32_t>();
    text_take<int64_t>();
    ranks();
    return core_test::finish("gather");
}
