#include "core/event_windows.hpp"

#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <unordered_map>

namespace orvane::core {
namespace {

struct PairHash {
    size_t operator()(const std::pair<int64_t, int64_t> &p) const noexcept {
        uint64_t h = static_cast<uint64_t>(p.first) * 0x9E3779B97F4A7C15ULL;
        h ^= static_cast<uint64_t>(p.second) + 0x632BE59BD9B4E019ULL + (h << 6) + (h >> 2);
        return static_cast<size_t>(h ^ (h >> 31));
    }
};

// Open-addressing set of distinct int64 keys -> dense id, for the bar scan's hot loop.
class MinuteIndex {
  public:
    explicit MinuteIndex(size_t expected) {
        size_t cap = 16;
        int bits = 4;
        while (cap < expected * 2 + 1) {
            cap <<= 1;
            ++bits;
        }
        keys_.resize(cap);
        ids_.assign(cap, -1);
        mask_ = cap - 1;
        shift_ = 64 - bits;
    }
    int64_t insert(int64_t key) {
        size_t i = slot(key);
        while (ids_[i] >= 0) {
            if (keys_[i] == key) return ids_[i];
            i = (i + 1) & mask_;
        }
        keys_[i] = key;
        ids_[i] = count_;
        return count_++;
    }
    int64_t find(int64_t key) const {
        size_t i = slot(key);
        while (ids_[i] >= 0) {
            if (keys_[i] == key) return ids_[i];
            i = (i + 1) & mask_;
        }
        return -1;
    }
    int64_t size() const { return count_; }

  private:
    // Time stamps on whole minutes share many low zero bits, so the slot comes from the high
    // bits of a multiplicative hash.
    size_t slot(int64_t key) const {
        uint64_t h = static_cast<uint64_t>(key);
        h ^= h >> 31;
        return static_cast<size_t>((h * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    std::vector<int64_t> keys_;
    std::vector<int64_t> ids_;
    size_t mask_ = 0;
    int shift_ = 60;
    int64_t count_ = 0;
};

}  // namespace

std::vector<int64_t> distinct_releases(const int64_t *event_code, const int64_t *time, size_t n) {
    int64_t events = 0;
    for (size_t i = 0; i < n; ++i) events = std::max(events, event_code[i] + 1);
    std::vector<std::vector<int64_t>> per_event(static_cast<size_t>(events));
    std::unordered_map<std::pair<int64_t, int64_t>, char, PairHash> seen;
    seen.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (event_code[i] < 0) continue;
        if (seen.emplace(std::make_pair(event_code[i], time[i]), 0).second)
            per_event[static_cast<size_t>(event_code[i])].push_back(static_cast<int64_t>(i));
    }
    std::vector<int64_t> out;
    out.reserve(seen.size());
    for (auto &rows : per_event) out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

bool window_minutes(const int64_t *release_time, size_t releases, int64_t pre, int64_t post,
                    std::vector<int64_t> &minutes) {
    minutes.clear();
    if (pre > post) return true;
    __int128 width = static_cast<__int128>(post) - pre + 1;
    __int128 lo = static_cast<__int128>(pre) * kNanosPerMinute;
    __int128 hi = static_cast<__int128>(post) * kNanosPerMinute;
    for (size_t r = 0; r < releases; ++r) {
        __int128 a = release_time[r] + lo, b = release_time[r] + hi;
        // The smallest int64 is the missing-time marker; no minute may land on it.
        if (a <= INT64_MIN || b > INT64_MAX) return false;
    }
    // A table this long (2^36 minutes, 512 GiB) cannot be held in memory; say so rather than start
    // filling it.
    constexpr __int128 kMostMinutes = static_cast<__int128>(1) << 36;
    if (width * static_cast<__int128>(releases) > kMostMinutes) throw std::bad_alloc();
    minutes.reserve(static_cast<size_t>(width) * releases);
    for (size_t r = 0; r < releases; ++r)
        for (int64_t m = pre;; ++m) {
            minutes.push_back(release_time[r] + m * kNanosPerMinute);
            if (m == post) break;
        }
    return true;
}

namespace {

// Where the window minutes lie: from `lo` to `hi`, over `span` minute numbers, all on whole minutes
// from `lo` when `one_phase`.
struct MinuteSpan {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    uint64_t span = 0;
    bool one_phase = true;
    MinuteSpan(const int64_t *minutes, size_t m) {
        for (size_t i = 0; i < m; ++i) {
            lo = std::min(lo, minutes[i]);
            hi = std::max(hi, minutes[i]);
        }
        span = m ? (static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo)) / kNanosPerMinute + 1 : 0;
        for (size_t i = 0; i < m && one_phase; ++i) one_phase = number(minutes[i]) * kNanosPerMinute == offset(minutes[i]);
    }
    uint64_t offset(int64_t t) const { return static_cast<uint64_t>(t) - static_cast<uint64_t>(lo); }
    uint64_t number(int64_t t) const { return offset(t) / kNanosPerMinute; }
};

// The bars on a window minute, in bar order: each one's row and its minute's id. The buffers
// have room for every bar but only the pages of the hits are ever written.
struct Hits {
    std::unique_ptr<int64_t[]> id, row;
    size_t count = 0;
    explicit Hits(size_t n) : id(new int64_t[n + 1]), row(new int64_t[n + 1]) {}
};

// A bitmap of the window minutes' minute numbers (it turns most bars away before any lookup).
std::vector<uint64_t> minute_bitmap(const int64_t *minutes, size_t m, const MinuteSpan &s) {
    std::vector<uint64_t> bitmap(s.span / 64 + 1, 0);
    for (size_t i = 0; i < m; ++i) {
        const uint64_t q = s.number(minutes[i]);
        bitmap[q >> 6] |= uint64_t{1} << (q & 63);
    }
    return bitmap;
}

// Minutes of one phase over a span that a table of ids by minute number holds in a few megabytes:
// a bar's id is one load.
class TableLookup {
  public:
    TableLookup(const int64_t *minutes, const int64_t *minute_id, size_t m, const MinuteSpan &s)
        : s_(s), id_of_(s.span, -1) {
        for (size_t i = 0; i < m; ++i) id_of_[s.number(minutes[i])] = static_cast<int32_t>(minute_id[i]);
    }
    int64_t find(int64_t t) const {
        if (t < s_.lo || t > s_.hi) return -1;
        const uint64_t offset = s_.offset(t), q = offset / kNanosPerMinute;
        const int32_t id = id_of_[q];
        return id < 0 || q * kNanosPerMinute != offset ? -1 : id;
    }

  private:
    const MinuteSpan &s_;
    std::vector<int32_t> id_of_;
};

// Any other minutes: a hash lookup, behind the bitmap when the span allows one.
class HashLookup {
  public:
    HashLookup(const int64_t *minutes, const MinuteIndex &index, size_t m, const MinuteSpan &s)
        : s_(s), index_(index), use_bitmap_(m > 0 && s.span <= (uint64_t{1} << 30)),
          bitmap_(use_bitmap_ ? minute_bitmap(minutes, m, s) : std::vector<uint64_t>()) {}
    int64_t find(int64_t t) const {
        if (use_bitmap_) {
            if (t < s_.lo || t > s_.hi) return -1;
            const uint64_t q = s_.number(t);
            if (!(bitmap_[q >> 6] >> (q & 63) & 1)) return -1;
        }
        return index_.find(t);
    }

  private:
    const MinuteSpan &s_;
    const MinuteIndex &index_;
    bool use_bitmap_;
    std::vector<uint64_t> bitmap_;
};

// The hits of bars [begin, end), written from `id` and `row` on; returns their count.
template <class Lookup>
size_t scan_bars(const Lookup &lookup, const int64_t *bar_time, size_t begin, size_t end, int64_t *id, int64_t *row) {
    size_t c = 0;
    for (size_t j = begin; j < end; ++j) {
        const int64_t found = lookup.find(bar_time[j]);
        if (found < 0) continue;
        id[c] = found;
        row[c++] = static_cast<int64_t>(j);
    }
    return c;
}

// A stable counting sort of rows [0, n) by key_of(i) in [0, keys): each key's first position into
// the returned `keys + 1` starts, and put(i, position) for every row. With two parts (on two of
// `threads` threads, for many rows), each part counts and places its own rows, the first part's
// before the second's under every key.
template <class KeyOf, class Put>
std::vector<int64_t> counting_sort(size_t n, size_t keys, unsigned threads, KeyOf &&key_of, Put &&put) {
    const size_t parts = n >= (size_t{1} << 16) ? std::clamp<size_t>(threads, 1, 2) : 1;
    auto part_rows = [&](size_t p) { return std::pair(n * p / parts, n * (p + 1) / parts); };
    std::vector<std::vector<int64_t>> next(parts, std::vector<int64_t>(keys, 0));
    parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        const auto [begin, end] = part_rows(p);
        for (size_t i = begin; i < end; ++i) ++next[p][static_cast<size_t>(key_of(i))];
    });
    std::vector<int64_t> start(keys + 1, 0);
    for (size_t key = 0, at = 0; key < keys; ++key) {
        start[key] = static_cast<int64_t>(at);
        for (size_t p = 0; p < parts; ++p) {
            const size_t count = static_cast<size_t>(next[p][key]);
            next[p][key] = static_cast<int64_t>(at);
            at += count;
        }
        start[key + 1] = static_cast<int64_t>(at);
    }
    parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        const auto [begin, end] = part_rows(p);
        for (size_t i = begin; i < end; ++i) put(i, static_cast<size_t>(next[p][static_cast<size_t>(key_of(i))]++));
    });
    return start;
}

// The bars scanned in parts on up to `threads` threads, each part's hits written where its bars
// start and then moved down behind the previous part's: bar order is kept.
template <class Lookup>
void scan_in_parts(const Lookup &lookup, const int64_t *bar_time, size_t n, unsigned threads, Hits &hits) {
    constexpr size_t kBarsPerPart = size_t{1} << 20;
    const size_t parts = std::clamp<size_t>(n / kBarsPerPart, 1, std::max(threads, 1u));
    std::vector<size_t> counts(parts);
    parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        const size_t begin = n * p / parts;
        counts[p] = scan_bars(lookup, bar_time, begin, n * (p + 1) / parts, hits.id.get() + begin, hits.row.get() + begin);
    });
    hits.count = counts[0];
    for (size_t p = 1; p < parts; ++p) {
        const size_t begin = n * p / parts;
        std::memmove(hits.id.get() + hits.count, hits.id.get() + begin, counts[p] * sizeof(int64_t));
        std::memmove(hits.row.get() + hits.count, hits.row.get() + begin, counts[p] * sizeof(int64_t));
        hits.count += counts[p];
    }
}

}  // namespace

WindowMatches match_window_bars(const int64_t *minutes, size_t m, const int64_t *bar_time, size_t n, unsigned threads) {
    MinuteIndex index(m);
    std::vector<int64_t> minute_id(m);
    for (size_t i = 0; i < m; ++i) minute_id[i] = index.insert(minutes[i]);
    const size_t ids = static_cast<size_t>(index.size());
    const MinuteSpan s(minutes, m);
    Hits hits(n);
    if (m > 0 && m <= INT32_MAX && s.one_phase && s.span <= std::max<uint64_t>(uint64_t{1} << 21, 16 * static_cast<uint64_t>(m)))
        scan_in_parts(TableLookup(minutes, minute_id.data(), m, s), bar_time, n, threads, hits);
    else
        scan_in_parts(HashLookup(minutes, index, m, s), bar_time, n, threads, hits);

    // The hits grouped by minute, in bar order: each hit's index.
    scratch_vector<int64_t> by_minute = large_scratch<int64_t>(hits.count);
    const std::vector<int64_t> start = counting_sort(
        hits.count, ids, threads, [&](size_t k) { return hits.id[k]; },
        [&](size_t k, size_t at) { by_minute[at] = static_cast<int64_t>(k); });

    // Each window minute's matches: its hits, in the order of the minutes (a minute that several
    // windows share has its hits once per window).
    WindowMatches out;
    out.hit_row = std::move(hits.row);
    out.hits = hits.count;
    std::vector<size_t> first(m + 1, 0);
    for (size_t i = 0; i < m; ++i) {
        const size_t id = static_cast<size_t>(minute_id[i]);
        out.unmatched += start[id] == start[id + 1];
        first[i + 1] = first[i] + static_cast<size_t>(start[id + 1] - start[id]);
    }
    const bool distinct = ids == m;  // minute i has id i, and by_minute is already the matches
    out.window_row = large_scratch<int64_t>(first[m]);
    if (distinct)
        out.hit = std::move(by_minute);
    else
        out.hit = large_scratch<int64_t>(first[m]);
    constexpr size_t kMinutesPerTask = 4096;
    parallel_for((m + kMinutesPerTask - 1) / kMinutesPerTask, threads, [&](size_t t) {
        for (size_t i = t * kMinutesPerTask; i < std::min(m, (t + 1) * kMinutesPerTask); ++i) {
            const size_t count = first[i + 1] - first[i];
            std::fill_n(out.window_row.begin() + static_cast<ptrdiff_t>(first[i]), count, static_cast<int64_t>(i));
            if (!distinct)
                std::copy_n(by_minute.begin() + start[static_cast<size_t>(minute_id[i])], count,
                            out.hit.begin() + static_cast<ptrdiff_t>(first[i]));
        }
    });
    return out;
}

std::vector<int64_t> release_ranks(const int64_t *event_rank, const int64_t *time, size_t n, size_t &groups) {
    std::vector<int64_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        if (event_rank[a] != event_rank[b]) return event_rank[a] < event_rank[b];
        return time[a] < time[b];
    });
    std::vector<int64_t> rank(n);
    int64_t current = -1;
    for (size_t k = 0; k < n; ++k) {
        int64_t r = order[k];
        if (k == 0 || event_rank[r] != event_rank[order[k - 1]] || time[r] != time[order[k - 1]]) ++current;
        rank[static_cast<size_t>(r)] = current;
    }
    groups = static_cast<size_t>(current + 1);
    return rank;
}

namespace {

// Stable order by (group, key, time) through one counting sort on the pair (group, key), which
// reads the rows in order: within a pair the rows keep their order, and their times, permuted
// alongside, mostly come ascending already (a release's minutes ascend); a pair whose times do not
// is sorted by time, stably.
std::vector<int64_t> order_by_pairs(const int64_t *group, const int64_t *key_rank, const int64_t *time, size_t n,
                                    size_t pairs, size_t keys, unsigned threads) {
    // Rows placed in two parts only when the pairs are fewer than the rows (each part counts them all).
    std::vector<int64_t> order = large_vector<int64_t>(n);
    scratch_vector<int64_t> sorted_time = large_scratch<int64_t>(n);
    const std::vector<int64_t> start = counting_sort(
        n, pairs, pairs <= n ? threads : 1,
        [&](size_t i) { return static_cast<size_t>(group[i]) * keys + static_cast<size_t>(key_rank[i]); },
        [&](size_t i, size_t at) {
            order[at] = static_cast<int64_t>(i);
            sorted_time[at] = time[i];
        });
    for (size_t p = 0; p < pairs; ++p) {
        const auto a = static_cast<size_t>(start[p]), b = static_cast<size_t>(start[p + 1]);
        if (std::is_sorted(sorted_time.begin() + static_cast<ptrdiff_t>(a), sorted_time.begin() + static_cast<ptrdiff_t>(b)))
            continue;
        std::stable_sort(order.begin() + static_cast<ptrdiff_t>(a), order.begin() + static_cast<ptrdiff_t>(b),
                         [&](int64_t x, int64_t y) { return time[x] < time[y]; });
    }
    return order;
}

}  // namespace

std::vector<int64_t> order_event_bars(const int64_t *group, const int64_t *key_rank, const int64_t *time,
                                      size_t n, size_t groups, unsigned threads) {
    int64_t lowest = 0, highest = -1;
    for (size_t i = 0; i < n; ++i) {
        lowest = std::min(lowest, key_rank[i]);
        highest = std::max(highest, key_rank[i]);
    }
    const size_t keys = static_cast<size_t>(highest + 1);
    // A few pairs per row at most: (group, key) pairs are counted directly.
    if (lowest == 0 && keys > 0 && groups <= (4 * n + 4096) / keys)
        return order_by_pairs(group, key_rank, time, n, groups * keys, keys, threads);
    std::vector<int64_t> start(groups + 1, 0);
    for (size_t i = 0; i < n; ++i) ++start[static_cast<size_t>(group[i]) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<int64_t> order = large_vector<int64_t>(n);
    {
        std::vector<int64_t> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < n; ++i) order[static_cast<size_t>(fill[static_cast<size_t>(group[i])]++)] = static_cast<int64_t>(i);
    }
    auto less = [&](int64_t a, int64_t b) {
        if (key_rank[a] != key_rank[b]) return key_rank[a] < key_rank[b];
        return time[a] < time[b];
    };
    for (size_t g = 0; g < groups; ++g)
        std::stable_sort(order.begin() + start[g], order.begin() + start[g + 1], less);
    return order;
}

ReleaseCalendar release_calendar(const int64_t *release_event, const int64_t *release_time, size_t releases,
                                 const int64_t *cal_event, const int64_t *cal_time, size_t c) {
    std::unordered_map<std::pair<int64_t, int64_t>, std::vector<int64_t>, PairHash> rows_of;
    for (size_t j = 0; j < c; ++j) {
        if (cal_event[j] < 0) continue;
        rows_of[{cal_event[j], cal_time[j]}].push_back(static_cast<int64_t>(j));
    }
    ReleaseCalendar out;
    out.start.reserve(releases + 1);
    out.start.push_back(0);
    for (size_t r = 0; r < releases; ++r) {
        auto it = rows_of.find({release_event[r], release_time[r]});
        if (it != rows_of.end()) out.row.insert(out.row.end(), it->second.begin(), it->second.end());
        out.one_each = out.one_each && it != rows_of.end() && it->second.size() == 1;
        out.start.push_back(static_cast<int64_t>(out.row.size()));
    }
    return out;
}

CalendarRows join_calendar(const int64_t *row_release, size_t n, const ReleaseCalendar &cal) {
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto r = static_cast<size_t>(row_release[i]);
        total += static_cast<size_t>(std::max<int64_t>(cal.start[r + 1] - cal.start[r], 1));
    }
    CalendarRows out;
    reserve_large(out.row, total);
    reserve_large(out.calendar, total);
    for (size_t i = 0; i < n; ++i) {
        const auto r = static_cast<size_t>(row_release[i]);
        const auto a = static_cast<size_t>(cal.start[r]), b = static_cast<size_t>(cal.start[r + 1]);
        if (a == b) {
            out.row.push_back(static_cast<int64_t>(i));
            out.calendar.push_back(-1);
        }
        for (size_t k = a; k < b; ++k) {
            out.row.push_back(static_cast<int64_t>(i));
            out.calendar.push_back(cal.row[k]);
        }
    }
    return out;
}

}  // namespace orvane::core
