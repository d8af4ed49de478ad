// The viewing geometry of one stereogram: depth unit, oversampling, strip width and start column, from the settings.
#pragma once

#include <stdint.h>

// Longest working row the oversampling may build; wider pictures lower the oversampling, never the picture.
constexpr int32_t MAX_WORK_WIDTH = 30000;

// Limits that keep every quantity of the geometry inside 32-bit arithmetic. The period parameter itself ends at
// 400; a record from elsewhere (a damaged project, a direct caller) is clamped rather than trusted.
constexpr double MIN_PERIOD = 10.0;
constexpr double MAX_PERIOD = 4000.0;
constexpr int32_t MIN_OVERSAMPLING = 1;
constexpr int32_t MAX_OVERSAMPLING = 10;

// Bad values are clamped to the nearest valid one so that a damaged record renders something sane instead of
// dividing by zero or overflowing: NaN counts as the lowest valid value.
double SanitizePeriod(double period);
int32_t SanitizeOversampling(int32_t oversampling);
// Only 1 means Convergence; every other value renders as Divergence, the parameter's default.
bool IsConvergence(int32_t stereogram_type);

struct StereogramGeometry {
    int32_t w = 0;        // depth map width in output pixels
    bool convergence = false;
    double f = 0.0;       // mode factor
    int32_t U = 0;        // depth unit
    int32_t dy = 0;       // texture rows moved per strip
    int32_t N = 0;        // effective oversampling: working pixels per output pixel
    int32_t W = 0;        // working row length
    int32_t D = 0;        // viewing distance
    int32_t E = 0;        // eye separation
    int32_t Zfar = 0;
    int32_t Znear = 0;
    int32_t R = 0;        // depth range, Zfar - Znear
    int32_t Sfar = 0;     // far separation in output pixels
    int32_t V = 0;        // strip width in working pixels
    int32_t c0 = 0;       // working column where colouring starts; negative when the picture is too narrow
    int32_t phase = 0;    // makes texture columns restart at c0

    // False when the picture is narrower than one strip and nothing may be drawn.
    bool drawable() const { return c0 >= 0 && W > 0; }
};

// The geometry for a depth map w output pixels wide. Period and oversampling are sanitized first. N is lowered
// while w * N exceeds MAX_WORK_WIDTH, down to 1 (a map wider than that works at N = 1 with W = w).
StereogramGeometry ComputeGeometry(int32_t w, double period, int32_t oversampling, int32_t stereogram_type);

// Depth Z and separation sep (in working pixels) of a depth sample with luminance lum (0..255), before the
// inversion that Convergence applies: the caller passes 255 - lum there.
int32_t DepthOfLuminance(const StereogramGeometry &g, int32_t lum);
int32_t SeparationOfDepth(const StereogramGeometry &g, int32_t Z);
