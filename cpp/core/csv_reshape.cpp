// The (field, date) x ticker table of means, built natively from every ticker's bars.
#include "core/csv_internal.hpp"
#include "core/parallel.hpp"


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

std::vector<int64_t> all_dates(const std::vector<ReshapeInput> &inputs) {
    std::vector<int64_t> dates;
    // All dates: merged when each ticker's are ascending (the usual case), else sorted.
    std::vector<int64_t> merged, unsorted;
    for (const ReshapeInput &in : inputs) {
        if (std::is_sorted(in.dates, in.dates + in.rows)) {
            if (dates.size() == in.rows && std::equal(dates.begin(), dates.end(), in.dates)) continue;  // none new
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
    return dates;
}

void fill_means(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                const std::vector<int64_t> &dates, double *values, unsigned threads) {
    const size_t nd = dates.size();
    const size_t height = n_fields * nd;
    // Column-major: each id's column is contiguous and written only by that id's inputs, so the
    // ids' columns are filled in parallel. A cell holds NaN until its first value (the values are
    // finite); cells that receive a second value keep pandas' compensated running sum aside.
    std::vector<std::vector<size_t>> inputs_of(n_ids);
    for (size_t i = 0; i < inputs.size(); ++i) inputs_of[(size_t) inputs[i].column].push_back(i);
    parallel_for(n_ids, threads, [&](size_t column) {
        double *const out = values + column * height;
        // One ticker with ascending, distinct dates (the usual case): each field's column written
        // once, in date order, NaN where the ticker has no bar.
        if (inputs_of[column].size() == 1) {
            const ReshapeInput &in = inputs[inputs_of[column][0]];
            bool distinct = true;
            for (size_t r = 1; r < in.rows && distinct; ++r) distinct = in.dates[r - 1] < in.dates[r];
            if (distinct && in.rows == nd) {
                // Distinct dates, as many as there are: every date, in order (a vectorised copy).
                for (size_t f = 0; f < n_fields; ++f) {
                    double *cell = out + f * nd;
                    if (const double *v = in.fvalues[f])
                        for (size_t d = 0; d < nd; ++d) cell[d] = 0.0 + v[d];
                    else
                        for (size_t d = 0; d < nd; ++d) cell[d] = 0.0 + (double) in.ivalues[f][d];
                }
                return;
            }
            if (distinct) {
                for (size_t f = 0; f < n_fields; ++f) {
                    double *cell = out + f * nd;
                    size_t r = 0;
                    for (size_t d = 0; d < nd; ++d) {
                        if (r < in.rows && in.dates[r] == dates[d]) {
                            const double v = in.fvalues[f] ? in.fvalues[f][r] : (double) in.ivalues[f][r];
                            cell[d] = 0.0 + v;  // the mean of one value: its running sum, from 0.0
                            ++r;
                        } else {
                            cell[d] = cells::kNaN;
                        }
                    }
                }
                return;
            }
        }
        std::fill(out, out + height, cells::kNaN);
        struct Sum {
            double sum, compensation;
            uint32_t count;
        };
        std::unordered_map<size_t, Sum> repeated;
        for (size_t i : inputs_of[column]) {
            const ReshapeInput &in = inputs[i];
            size_t d = 0;
            for (size_t r = 0; r < in.rows; ++r) {
                const int64_t t = in.dates[r];
                if (d >= nd || dates[d] != t) {
                    if (d + 1 < nd && dates[d + 1] == t) ++d;
                    else d = (size_t) (std::lower_bound(dates.begin(), dates.end(), t) - dates.begin());
                }
                for (size_t f = 0; f < n_fields; ++f) {
                    const double v = in.fvalues[f] ? in.fvalues[f][r] : (double) in.ivalues[f][r];
                    const size_t cell = f * nd + d;
                    if (std::isnan(out[cell])) {
                        out[cell] = 0.0 + v;  // the running sum starts at 0.0 (-0.0 becomes 0.0)
                        continue;
                    }
                    Sum &s = repeated.try_emplace(cell, Sum{out[cell], 0.0, 1}).first->second;
                    const double y = v - s.compensation;
                    const double t2 = s.sum + y;
                    s.compensation = t2 - s.sum - y;
                    if (s.compensation != s.compensation) s.compensation = 0;
                    s.sum = t2;
                    ++s.count;
                }
            }
        }
        for (const auto &[cell, s] : repeated) out[cell] = s.sum / s.count;
    });
}

void reshape_mean(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                  std::vector<int64_t> &dates, std::vector<double> &values, unsigned threads) {
    dates = all_dates(inputs);
    values.resize(n_fields * dates.size() * n_ids);
    fill_means(inputs, n_fields, n_ids, dates, values.data(), threads);
}

}  // namespace orvane::core
