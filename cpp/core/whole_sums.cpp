#include "core/whole_sums.hpp"

#include <cstring>

namespace orvane::core {

namespace {

template <class V>
bool whole_and_bounded_t(const Column &values, size_t n, bool missing_allowed) {
    WholeCheck check{missing_allowed};
    for (size_t i = 0; i < n; ++i) {
        V v;
        std::memcpy(&v, values.data + static_cast<std::ptrdiff_t>(i) * values.stride, sizeof v);
        check.take(v);
    }
    return check.holds();
}

}  // namespace

bool whole_and_bounded(const Column &values, size_t n, bool missing_allowed) {
    if (values.kind == Column::Kind::I64) return whole_and_bounded_t<int64_t>(values, n, missing_allowed);
    return whole_and_bounded_t<double>(values, n, missing_allowed);
}

}  // namespace orvane::core
