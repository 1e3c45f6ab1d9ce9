// What the units of orvane_data.from_bqia.tickbars share.
#pragma once

#include "glue/glue.hpp"

#include <initializer_list>

namespace tickbars {

inline nb::object pd() { return glue::import("pandas"); }
inline nb::object np() { return glue::import("numpy"); }

// A list of str from C strings.
inline nb::list str_list(std::initializer_list<const char *> names) {
    nb::list out;
    for (const char *n : names) out.append(nb::str(n));
    return out;
}

// get_event_metadata and filter_bars_around_events: the window checks, then the native steps where
// they cover the inputs and the plain pandas steps otherwise; errors carry a note naming the mistake.
nb::object event_metadata(const glue::Call &c, nb::handle calendar, nb::handle pre, nb::handle post);
nb::object event_bars(const glue::Call &c, nb::handle bars, nb::handle calendar, nb::handle pre, nb::handle post);

}  // namespace tickbars
