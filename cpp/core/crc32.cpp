#include "core/crc32.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvane::core {

namespace {

// zlib's own, which counts in uInt.
uint32_t zlib_crc(uint32_t crc, const char *data, size_t size) {
    uLong c = crc;
    for (size_t done = 0; done < size;) {
        const size_t now = std::min<size_t>(size - done, UINT_MAX);
        c = crc32(c, reinterpret_cast<const Bytef *>(data + done), static_cast<uInt>(now));
        done += now;
    }
    return uint32_t(c);
}

#if defined(__x86_64__)
#define ORVANE_CLMUL __attribute__((target("pclmul,sse4.1")))

// One 128-bit lane folded forward over 128 bits (k: its two constants) onto `next`.
ORVANE_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00), hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// The bit-reflected CRC-32 (polynomial 0x04C11DB7) of `size` bytes, a multiple of 16 and at least
// 64, continuing `crc` in its raw form (not inverted): four lanes folded 512 bits at a time, then
// into one lane, 128 bits to 64, and a Barrett reduction to 32. The constants are powers of x
// modulo the polynomial, bit-reflected (x^(4*128+32), x^(4*128-32), x^(128+32), x^(128-32),
// x^64), and the polynomial with its Barrett quotient.
ORVANE_CLMUL uint32_t clmul_crc(uint32_t crc, const char *p, size_t size) {
    auto load = [](const char *at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); };
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    size -= 64;
    for (; size >= 64; p += 64, size -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; size >= 16; p += 16, size -= 16) x1 = fold(x1, k3k4, load(p));

    // 128 bits to 64
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), _mm_srli_si128(x, 4));
    // Barrett reduction to 32 bits
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

#undef ORVANE_CLMUL
#endif

}  // namespace

uint32_t crc32_continued(uint32_t crc, const char *data, size_t size) {
#if defined(__x86_64__)
    static const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (clmul && size >= 64) {
        const size_t whole = size & ~size_t(15);
        crc = ~clmul_crc(~crc, data, whole);
        data += whole;
        size -= whole;
    }
#endif
    return zlib_crc(crc, data, size);
}

}  // namespace orvane::core
