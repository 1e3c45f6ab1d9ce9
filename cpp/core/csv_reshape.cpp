// The (field, date) x ticker table of means, built natively from every ticker's bars.
#include "core/csv_internal.hpp"


#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <unordered_map>


namespace orvane::core {

using namespace csv_internal;

void reshape_mean(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                  std::vector<int64_t> &dates, std::vector<double> &values) {
    // All dates: merged when each ticker's are ascending (the usual case), else sorted.
    dates.clear();
    std::vector<int64_t> merged, unsorted;
    for (const ReshapeInput &in : inputs) {
        if (std::is_sorted(in.dates, in.dates + in.rows)) {
            merged.clear();
            std::set_union(dates.begin(), dates.end(), in.dates, in.dates + in.rows, std::back_inserter(merged));
            dates.swap(merged);
            dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
        } else {
            unsorted.insert(unsorted.end(), in.dates, in.dates + in.rows);
        }
    }
    if (!unsorted.empty()) {
        dates.insert(dates.end(), unsorted.begin(), unsorted.end());
        std::sort(dates.begin(), dates.end());
        dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
    }
    const size_t nd = dates.size();
    const size_t height = n_fields * nd;
    // Column-major: each id's column is contiguous, so one ticker's rows are written in order.
    values.assign(height * n_ids, 0.0);
    std::vector<uint32_t> count(values.size(), 0);
    std::unordered_map<size_t, double> compensation;  // only cells that receive a second value
    for (const ReshapeInput &in : inputs) {
        size_t d = 0;
        const size_t base = (size_t) in.column * height;
        for (size_t r = 0; r < in.rows; ++r) {
            const int64_t t = in.dates[r];
            if (d >= nd || dates[d] != t) {
                if (d + 1 < nd && dates[d + 1] == t) ++d;
                else d = (size_t) (std::lower_bound(dates.begin(), dates.end(), t) - dates.begin());
            }
            for (size_t f = 0; f < n_fields; ++f) {
                const double v = in.fvalues[f] ? in.fvalues[f][r] : (double) in.ivalues[f][r];
                const size_t cell = base + f * nd + d;
                // The compensated running sum of pandas' grouped mean.
                double &sum = values[cell];
                if (count[cell] == 0) {
                    sum = 0.0 + v;
                } else {
                    double &comp = compensation[cell];
                    const double y = v - comp;
                    const double t2 = sum + y;
                    comp = t2 - sum - y;
                    if (comp != comp) comp = 0;
                    sum = t2;
                }
                ++count[cell];
            }
        }
    }
    for (size_t i = 0; i < values.size(); ++i) values[i] = count[i] ? values[i] / count[i] : kNaN;
}

}  // namespace orvane::core
