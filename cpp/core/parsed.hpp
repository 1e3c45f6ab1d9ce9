// What a native step gives back: its value, or a Refusal saying why it leaves the work to pandas.
#pragma once

#include <utility>
#include <variant>

namespace orvane::core {

// Why a native step leaves its input to pandas: a short phrase for the caller's log, and the
// position of the first input at fault among those it was given (-1 for none in particular).
struct Refusal {
    const char *why = "";
    int file = -1;
};

// A step's value, or why it leaves the work to pandas.
template <class T>
class Parsed {
public:
    Parsed(T value) : v_(std::move(value)) {}
    Parsed(Refusal refusal) : v_(refusal) {}
    bool ok() const { return v_.index() == 0; }
    T &value() { return std::get<0>(v_); }
    const T &value() const { return std::get<0>(v_); }
    const Refusal &refusal() const { return std::get<1>(v_); }

private:
    std::variant<T, Refusal> v_;
};

}  // namespace orvane::core
