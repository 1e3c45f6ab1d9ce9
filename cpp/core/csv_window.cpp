// The window over the bars' time keys: times compared as times, other texts as texts.
#include "core/csv_window.hpp"

#include "core/csv_bars.hpp"

#include <cstdio>

namespace orvane::core {

namespace {

bool digits(std::string_view s, size_t at, size_t len, int &v) {
    v = 0;
    for (size_t i = at; i < at + len; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    return true;
}

std::string key_text(const Moment &m, size_t form) {
    char text[32];
    if (form == 10) std::snprintf(text, sizeof text, "%04d-%02d-%02d", m.year, m.month, m.day);
    else std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", m.year, m.month, m.day, m.hour, m.minute, m.second);
    return text;
}

// The first day whose midnight is not before `m`; past the last day a datetime can hold, a text
// that sorts after every date key.
std::string first_day_from(Moment m) {
    if (m.hour == 0 && m.minute == 0 && m.second == 0) return key_text(m, 10);
    if (m.day < days_in_month(m.year, m.month)) ++m.day;
    else if (m.month < 12) m.day = 1, ++m.month;
    else if (m.year < 9999) m.day = 1, m.month = 1, ++m.year;
    else return "9999-99-99";
    return key_text(m, 10);
}

}  // namespace

size_t read_key(std::string_view key, Moment &at) {
    if ((key.size() != 10 && key.size() != 19) || key[4] != '-' || key[7] != '-') return 0;
    Moment m;
    if (!digits(key, 0, 4, m.year) || !digits(key, 5, 2, m.month) || !digits(key, 8, 2, m.day)) return 0;
    if (m.year < 1 || m.month < 1 || m.month > 12 || m.day < 1 || m.day > days_in_month(m.year, m.month)) return 0;
    if (key.size() == 19) {
        if (key[10] != ' ' || key[13] != ':' || key[16] != ':') return 0;
        if (!digits(key, 11, 2, m.hour) || !digits(key, 14, 2, m.minute) || !digits(key, 17, 2, m.second)) return 0;
        if (m.hour > 23 || m.minute > 59 || m.second > 59) return 0;
    }
    at = m;
    return key.size();
}

Window::Window(const Moment &lower, const Moment &upper, std::string lower_text, std::string upper_text)
    : lower_text_(std::move(lower_text)),
      upper_text_(std::move(upper_text)),
      lower19_(key_text(lower, 19)),
      upper19_(key_text(upper, 19)),
      lower10_(first_day_from(lower)),
      upper10_(key_text(upper, 10)) {}

Window::Window(std::string_view lower, std::string_view upper) {
    Moment lo, hi;
    read_key(lower, lo);
    read_key(upper, hi);
    *this = Window(lo, hi, std::string(lower), std::string(upper));
}

bool Window::contains(std::string_view key) const {
    Moment unused;
    const size_t form = read_key(key, unused);
    if (form == 0) return key >= lower_text_ && key <= upper_text_;
    return key >= lower_key(form) && key <= upper_key(form);
}

}  // namespace orvane::core
