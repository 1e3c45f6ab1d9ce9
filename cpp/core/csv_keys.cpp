// Time keys of the ISO forms "YYYY-MM-DD" and "YYYY-MM-DD HH:MM:SS" as nanoseconds since the epoch.
#include "core/csv_bars.hpp"
#include "core/csv_internal.hpp"

#include <cstring>

namespace orvane::core {

int days_in_month(int y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return d[m - 1];
}

namespace csv_internal {

namespace {

constexpr int64_t kSecondNs = 1000000000LL;
constexpr int64_t kDayNs = 86400 * kSecondNs;

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned) (y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t) doe - 719468;
}

int num(std::string_view s, size_t at, size_t len, bool &ok) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) {
        if (!is_digit(s[i])) { ok = false; return 0; }
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS", all keys of one form; false for anything else (other
// shapes go to pandas' own parser, which infers their format from the first key).
bool iso_to_ns(std::string_view s, size_t form, int64_t &ns) {
    if ((form != 10 && form != 19) || s.size() != form || s[4] != '-' || s[7] != '-') return false;
    bool ok = true;
    int y = num(s, 0, 4, ok), mo = num(s, 5, 2, ok), d = num(s, 8, 2, ok), h = 0, mi = 0, se = 0;
    if (form == 19) {
        if (s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
        h = num(s, 11, 2, ok), mi = num(s, 14, 2, ok), se = num(s, 17, 2, ok);
    }
    if (!ok || y < 1678 || y > 2261 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 ||
        mi > 59 || se > 59)
        return false;
    ns = ((days_from_civil(y, (unsigned) mo, (unsigned) d) * 86400 + h * 3600 + mi * 60 + se)) * kSecondNs;
    return true;
}

// The first `n` characters of the key read whole last, and what they mean: the key's value less
// what the characters after them add. A key that begins with the same characters only needs the
// rest read: the day of one month, the minutes and seconds of one hour.
struct Prefix {
    const char *text = nullptr;
    int64_t ns = 0;
    bool begins(std::string_view s, size_t n) const { return text && std::memcmp(s.data(), text, n) == 0; }
};

}  // namespace

// Keys k[0..n) of one form (10 or 19 characters) as nanoseconds; false when one is not of that
// form. Consecutive keys mostly share their month (daily bars) or their hour (intraday bars),
// which is then read once.
bool iso_keys(const std::string_view *k, size_t n, size_t form, int64_t *out) {
    constexpr size_t kMonth = 8, kHour = 14;  // "YYYY-MM-", "YYYY-MM-DD HH:"
    Prefix month, hour;
    int month_days = 0;
    for (size_t r = 0; r < n; ++r) {
        const std::string_view s = k[r];
        if (s.size() == form && form == 10 && month.begins(s, kMonth)) {
            bool ok = true;
            const int d = num(s, 8, 2, ok);
            if (!ok || d < 1 || d > month_days) return false;
            out[r] = month.ns + d * kDayNs;
            continue;
        }
        if (s.size() == form && form == 19 && hour.begins(s, kHour) && s[16] == ':') {
            bool ok = true;
            const int mi = num(s, 14, 2, ok), se = num(s, 17, 2, ok);
            if (!ok || mi > 59 || se > 59) return false;
            out[r] = hour.ns + (int64_t) (mi * 60 + se) * kSecondNs;
            continue;
        }
        if (!iso_to_ns(s, form, out[r])) return false;
        bool ok = true;  // the key was valid: its fields are digits
        if (form == 10) {
            const int y = num(s, 0, 4, ok), mo = num(s, 5, 2, ok), d = num(s, 8, 2, ok);
            month = {s.data(), out[r] - d * kDayNs};
            month_days = days_in_month(y, mo);
        } else {
            const int mi = num(s, 14, 2, ok), se = num(s, 17, 2, ok);
            hour = {s.data(), out[r] - (int64_t) (mi * 60 + se) * kSecondNs};
        }
    }
    return true;
}

}  // namespace csv_internal

}  // namespace orvane::core
