// The event windows of orvane_data.from_bqia.tickbars: the plan of a calendar's windows and the
// checks on it, the plain pandas steps (tickbars_windows.cpp), and the native steps
// (tickbars_native.cpp), which give their result or the reason they leave the inputs to pandas.
#pragma once

#include "tickbars.hpp"

#include "core/parsed.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tickbars {

using orvane::core::Parsed;
using orvane::core::Refusal;

// What both the checks and the native steps read of a calendar, found once: its two columns, the
// names factorised, the release times as int64 in their own unit, and its distinct releases.
struct WindowPlan {
    __int128 pre = 0, post = 0;     // the bounds, one past int64 on their side when beyond it
    nb::object names, times;        // the calendar's "EVENT_NAME" and "event_datetime"
    std::string unit;               // of the release times
    nb::object uniques;             // the distinct names, by code
    nb::object codes;               // int64 numpy: each calendar row's name code, -1 when missing
    nb::object raw;                 // int64 numpy: each calendar row's release time in `unit`
    std::vector<int64_t> releases;  // calendar row of each distinct (name, time), as distinct_releases orders them
};

// The plan, or why neither the checks nor the native steps apply (the pandas steps then meet the
// inputs as they are).
Parsed<WindowPlan> plan_windows(nb::handle df_calendar, nb::handle pre, nb::handle post);

// The windows of a calendar, when the native steps cover it.
struct Windows {
    nb::object event_names;    // numpy object array of the distinct event names (text), by code
    nb::object event_codes;    // int64 numpy: each calendar row's event code, -1 when missing
    nb::object release_times;  // pandas datetime array of the rounded release times, as inferred
    std::vector<int64_t> release_event;  // event code of each release
    std::vector<int64_t> release_ns;     // rounded release time of each release
    std::vector<int64_t> minutes;        // release-major window minutes
    std::vector<int64_t> cal_ns;         // the calendar's release times, nanoseconds
    nb::object minute_dtype;             // dtype of the window minutes
    nb::object name_dtype;               // dtype of the names
    int64_t pre = 0, width = 0;
};

Parsed<Windows> native_windows(const glue::Call &c, const WindowPlan &plan, nb::handle pre_obj, nb::handle post_obj);
nb::object metadata_native(Windows &w);
// The event bar table of the windows and the bars natively.
Parsed<nb::object> event_bars_native(nb::handle df_bars, nb::handle df_calendar, Windows &w);

}  // namespace tickbars
