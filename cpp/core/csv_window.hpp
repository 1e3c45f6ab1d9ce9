// The query's window [lower, upper] over the bars' time keys.
//
// A key of one of the two forms the trees are written in, "YYYY-MM-DD HH:MM:SS" or a daily
// "YYYY-MM-DD" (a real date and time of day), is compared as the time it names, a date alone
// being its midnight. A key of any other shape is compared as text with the bounds' own texts,
// as the bounds were given.
#pragma once

#include <string>
#include <string_view>

namespace orvane::core {

// A time to the second, as the interpreter's datetime holds it (year 1 to 9999).
struct Moment {
    int year = 1, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// 19 for a valid "YYYY-MM-DD HH:MM:SS", 10 for a valid "YYYY-MM-DD", 0 for any other text; `at`
// is set to the time named when it is not 0.
size_t read_key(std::string_view key, Moment &at);

class Window {
public:
    Window() = default;
    // lower_text and upper_text: the bounds as the caller wrote them, for keys of other shapes.
    Window(const Moment &lower, const Moment &upper, std::string lower_text, std::string upper_text);
    // Both bounds given as keys of the two forms (the texts are kept for keys of other shapes);
    // an unreadable bound reads as 0001-01-01.
    Window(std::string_view lower, std::string_view upper);

    bool contains(std::string_view key) const;
    // For keys all of one form (10 or 19): the window as the first and last key text of that form
    // inside it, so that such keys are windowed by comparing texts.
    std::string_view lower_key(size_t form) const { return form == 10 ? lower10_ : lower19_; }
    std::string_view upper_key(size_t form) const { return form == 10 ? upper10_ : upper19_; }

private:
    std::string lower_text_, upper_text_;  // other shapes
    std::string lower19_, upper19_;        // full keys
    std::string lower10_, upper10_;        // date keys: the days whose midnight lies inside
};

}  // namespace orvane::core
