// Unit tests of the plain CSV scanner on its own: what it accepts, the column kinds it infers and
// the files it leaves to pandas.
#include "core/plain_csv.hpp"

#include "check.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace pc = orvane::core::plain_csv;

using core_test::check;

namespace {

std::string kinds_of(const std::string &text) {
    auto t = pc::scan(text);
    if (!t) return "pandas";
    std::string out;
    for (pc::ColumnKind k : t->kinds) out += k == pc::ColumnKind::Int ? 'i' : k == pc::ColumnKind::Float ? 'f' : 't';
    return out;
}

void kinds() {
    check(kinds_of("a,b,c,d\n1,2.5,x,2020-01-31\n-7,,y,\n") == "iftt", "ints, decimals with a gap, text, dates");
    check(kinds_of("a,b\nNA,n/a\nnull,\n") == "ff", "columns of missing cells only are floats");
    check(kinds_of("a\n.5\n5.\n-0.0\n+1e5\n") == "f", "decimal forms");
    check(kinds_of("a\n1-2\n1.2.3\n.\n-\n") == "t", "texts made of number characters");
    check(kinds_of("a,b\n1,2\n") == "ii", "a last line without its newline");
}

void left_to_pandas() {
    const char *files[] = {
        "a\n5e\n",                        // an exponent without digits
        "a\n1e1234567\n",                 // an exponent too long to be sure of
        "a\n0.1234567890123456\n",        // 16 significant digits
        "a\n1e23\n",                      // a scale a double does not hold exactly
        "a\n12345678901234567890\n",      // 20 digits
        "a\n1234567890123456\n\n",        // a blank line
        "a\n1234567890123456\nNA\n",      // a 16-digit integer read as a float
        "a,b\n1,x\n2,3\n",                // text and numbers together
        "a,b\n1\n",                       // a short row
        "a,b\n1,2,3\n",                   // a long row
        "a,,c\n1,2,3\n",                  // an unnamed column
        "a\nTrue\n",                      // booleans
        "a\n-inf\n",                      // infinities
        "a\nnAn\n",                       // NaN in a case pandas does not list
        "a\n 1\n",                        // padding
        "a\n\"x\"\n",                     // quotes
        "a\nx\r\n",                       // carriage return
        "a\n",                            // no rows
    };
    for (const char *f : files) check(!pc::scan(f).has_value(), f);
}

void conversions() {
    check(pc::to_int("-0042") == -42 && pc::to_int("+7") == 7, "integers with signs and zeros");
    check(std::signbit(pc::to_double("-0.0")) && pc::to_double("-0.0") == 0.0, "negative zero kept");
    check(pc::to_double("0.1") == 0.1 && pc::to_double("1.5e-3") == 1.5e-3, "decimals correctly rounded");
    check(std::isnan(pc::to_double("NULL")), "missing cells are NaN");
}

void rows_split() {
    const std::string text = "a,b\nx,1\n,2\n";
    auto t = pc::scan(text);
    std::vector<std::string_view> cells;
    pc::split_row(text, *t, 1, cells);
    check(t->rows() == 2 && cells.size() == 2 && cells[0].empty() && cells[1] == "2", "cells of the second row");
}

// A text large enough to be scanned in two halves: each half's kinds, rows and refusals joined.
void halves() {
    const size_t rows = 800000;  // about 10 MB
    std::string text = "a,b,c\n";
    for (size_t i = 0; i < rows; ++i) {
        text += std::to_string(i);
        text += i == rows - 3 ? ",2.5," : ",7,";
        text += i < rows / 4 ? "\n" : "x\n";
    }
    auto t = pc::scan(text);
    std::vector<std::string_view> cells;
    if (t) pc::split_row(text, *t, rows - 3, cells);
    check(t && t->rows() == rows && kinds_of(text) == "ift" && cells.size() == 3 &&
              cells[0] == std::to_string(rows - 3) && cells[1] == "2.5" && cells[2] == "x",
          "two halves joined");
    text.insert(text.size() - 2, "\"");
    check(!pc::scan(text).has_value(), "a quote in the second half");
}

}  // namespace

int main() {
    kinds();
    left_to_pandas();
    conversions();
    rows_split();
    halves();
    return core_test::finish("plain csv");
}
