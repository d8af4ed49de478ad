// The viewing geometry, with the integer and double arithmetic in the order that fixes every result.
#include "synthesis/geometry.h"

double SanitizePeriod(double period) {
    if (!(period >= MIN_PERIOD)) return MIN_PERIOD;  // below the minimum, or NaN
    if (period > MAX_PERIOD) return MAX_PERIOD;
    return period;
}

int32_t SanitizeOversampling(int32_t oversampling) {
    if (oversampling < MIN_OVERSAMPLING) return MIN_OVERSAMPLING;
    if (oversampling > MAX_OVERSAMPLING) return MAX_OVERSAMPLING;
    return oversampling;
}

bool IsConvergence(int32_t stereogram_type) { return stereogram_type == 1; }

StereogramGeometry ComputeGeometry(int32_t w, double period, int32_t oversampling, int32_t stereogram_type) {
    const double P = SanitizePeriod(period);
    StereogramGeometry g;
    g.w = w < 0 ? 0 : w;
    g.convergence = IsConvergence(stereogram_type);
    g.f = g.convergence ? 1.5 : 1.1;
    // Both products are formed in double and truncated in turn.
    const int32_t scaled = static_cast<int32_t>(1.2916 * P);
    g.U = static_cast<int32_t>(double(scaled) * g.f);
    g.dy = g.U / 16;

    g.N = SanitizeOversampling(oversampling);
    while (g.N > 1 && int64_t(g.w) * g.N > MAX_WORK_WIDTH) --g.N;
    g.W = g.w * g.N;

    g.D = 20 * g.U;
    g.E = static_cast<int32_t>(2.5 * g.U);
    g.Zfar = 9 * g.U;
    g.Znear = 5 * g.U;
    g.R = g.Zfar - g.Znear;

    // With the period clamped, E * Zfar stays below 2^31; 64 bits only make that independent of the clamp.
    g.Sfar = static_cast<int32_t>((int64_t(g.E) * g.Zfar) / (int64_t(g.D) + g.Zfar));
    g.V = g.N * g.Sfar;
    g.c0 = g.W / 2 - g.V / 2;
    g.phase = g.V > 0 ? g.V - (g.c0 % g.V) : 0;
    return g;
}

int32_t DepthOfLuminance(const StereogramGeometry &g, int32_t lum) {
    // lum * R is an integer product; the division and the subtraction are in double.
    return static_cast<int32_t>(double(g.Zfar) - double(lum * g.R) / 256.0);
}

int32_t SeparationOfDepth(const StereogramGeometry &g, int32_t Z) {
    return static_cast<int32_t>(double(g.N * g.E) * double(Z) / double(g.D + Z));
}
