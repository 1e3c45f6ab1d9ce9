// What the units of orvane_data.from_s3.shelfsets share: the snapshot selection rule, the date and
// renumbering steps of the queries, and the two dataset classes defined on top of S3Data.
#pragma once

#include "glue/glue.hpp"

namespace shelfsets {

using glue::assertions_enabled;
using glue::cat;
using glue::raise_text;
using glue::text_of;
using glue::truthy;

extern const char *kLoadDoc;  // docstring of every _load_snapshot

// The chosen snapshot date: the latest of `dates` when `as_of_date` is None, else `as_of_date`
// without "-", which must be one of them (AssertionError naming the valid dates otherwise).
nb::object select_snapshot(nb::handle dates, nb::handle as_of_date);
// The calendar date of pd.to_datetime(x).
nb::object day_of(nb::handle pd, nb::handle x);
// df[mask] renumbered from 0.
nb::object renumbered(nb::handle df, nb::handle mask);

// The arguments of a get_data call, from their positions in its signature.
struct Query {
    nb::handle self, tickers, start, end;
};
inline Query query_of(const glue::Call &c, size_t self, size_t tickers, size_t start, size_t end) {
    return {c[self], c[tickers], c[start], c[end]};
}

// A class body being built: __module__, __qualname__ and __doc__ set.
nb::dict class_namespace(nb::module_ &m, const char *qualname, const char *doc);
// A method of class `owner` made from its signature and put into the class body `ns` by its name.
nb::object add_method(nb::module_ &m, nb::dict &ns, glue::Signature signature, const char *doc, glue::Impl impl,
                      const char *owner);

// The classes SPLC and ECOEST, subclasses of S3Data.
nb::object splc_class(nb::module_ &m, nb::handle S3Data);
nb::object ecoest_class(nb::module_ &m, nb::handle S3Data);

}  // namespace shelfsets
