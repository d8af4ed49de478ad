// Division by a divisor fixed for a whole render, done as one multiply and shift so inner loops avoid dividing.
#pragma once

#include <stdint.h>

// Exact floor(n / d) for 0 <= n < 2^31 and 1 <= d < 2^31 (Granlund-Montgomery with a 33-bit multiplier:
// m = ceil(2^(32+l) / d), l = ceil(log2 d); n * m stays below 2^64 because n < 2^31).
class FastDivisor {
public:
    FastDivisor() : FastDivisor(1) {}
    explicit FastDivisor(uint32_t d) : d_(d == 0 ? 1 : d) {
        uint32_t l = 0;
        while ((uint64_t(1) << l) < d_) ++l;
        shift_ = 32 + l;
        m_ = ((uint64_t(1) << shift_) + d_ - 1) / d_;
    }
    uint32_t divisor() const { return d_; }
    uint32_t Div(uint32_t n) const { return uint32_t((uint64_t(n) * m_) >> shift_); }
    uint32_t Mod(uint32_t n) const { return n - Div(n) * d_; }

private:
    uint32_t d_;
    uint32_t shift_ = 32;
    uint64_t m_ = 0;
};
