#include "core/text_factors.hpp"

namespace orvane::core {

void TextFactors::append(const TextFactors &later, uint32_t *later_codes, size_t count) {
    std::vector<uint32_t> here(later.size());
    for (size_t c = 0; c < later.size(); ++c) here[c] = code(later.text(c));
    for (size_t i = 0; i < count; ++i)
        if (later_codes[i] != kMissing) later_codes[i] = here[later_codes[i]];
}

}  // namespace orvane::core
