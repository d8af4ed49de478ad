// The stand-in host's pixel arithmetic: depth-converting copy, radius-independent blur, integer convolution and
// filtered matrix transform, all addressing pixels through each world's own (possibly padded or negative) stride.
#include "host/image_ops.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace vbhost {
namespace {

int PixelSize(Depth d) {
    switch (d) {
        case Depth::k8: return 4;
        case Depth::k16: return 8;
        case Depth::k32: return 16;
    }
    return 0;
}

// A checked view of a world's pixels. A world without pixels (zero width or height) is valid and may have no
// address; one with pixels needs an address and a stride that holds a whole row.
struct View {
    unsigned char *data = nullptr;
    std::ptrdiff_t rowbytes = 0;
    int width = 0;
    int height = 0;
    int psize = 0;

    unsigned char *row(int y) const { return data + std::ptrdiff_t(y) * rowbytes; }
    bool empty() const { return width == 0 || height == 0; }
    // The bytes the pixels span, for telling whether two worlds share memory.
    const unsigned char *lowest() const { return rowbytes >= 0 ? data : row(height - 1); }
    const unsigned char *beyond() const {
        return (rowbytes >= 0 ? row(height - 1) : data) + std::ptrdiff_t(width) * psize;
    }
};

bool MakeView(const PF_EffectWorld &w, Depth d, View *v) {
    const int psize = PixelSize(d);
    if (psize == 0 || w.width < 0 || w.height < 0) return false;
    v->data = static_cast<unsigned char *>(w.data);
    v->rowbytes = w.rowbytes;
    v->width = w.width;
    v->height = w.height;
    v->psize = psize;
    if (v->empty()) return true;
    if (!v->data) return false;
    const std::int64_t stride = w.rowbytes < 0 ? -std::int64_t(w.rowbytes) : std::int64_t(w.rowbytes);
    return stride >= std::int64_t(w.width) * psize;
}

bool Overlap(const View &a, const View &b) {
    if (a.empty() || b.empty()) return false;
    return a.lowest() < b.beyond() && b.lowest() < a.beyond();
}

// A copy of a view's pixels in memory of our own, for operations whose source and destination share pixels.
struct Detached {
    std::vector<unsigned char> bytes;
    View view;
    explicit Detached(const View &v) : view(v) {
        const std::size_t row = std::size_t(v.width) * v.psize;
        bytes.resize(row * v.height);
        for (int y = 0; y < v.height; ++y) std::memcpy(bytes.data() + row * y, v.row(y), row);
        view.data = bytes.data();
        view.rowbytes = std::ptrdiff_t(row);
    }
};

// Rect [left, right) x [top, bottom) checked to lie within a view; null means the whole view.
bool ResolveRect(const PF_Rect *r, const View &v, PF_LRect *out) {
    if (!r) {
        *out = PF_LRect{0, 0, v.width, v.height};
        return true;
    }
    if (r->left < 0 || r->top < 0 || r->right < r->left || r->bottom < r->top || r->right > v.width ||
        r->bottom > v.height)
        return false;
    *out = *r;
    return true;
}

// ---- channel conversions ----

template <typename T> struct Range;
template <> struct Range<std::uint8_t> { static constexpr double max = 255.0; };
template <> struct Range<std::uint16_t> { static constexpr double max = 32768.0; };

const std::uint16_t *Widen8To16Table() {
    static const std::vector<std::uint16_t> table = [] {
        std::vector<std::uint16_t> t(256);
        for (int v = 0; v < 256; ++v) {
            const float f = Widen8(std::uint8_t(v), Depth::k16);
            t[v] = std::uint16_t(std::clamp(std::lround(f), 0L, 32768L));
        }
        return t;
    }();
    return table.data();
}

const float *Widen8To32Table() {
    static const std::vector<float> table = [] {
        std::vector<float> t(256);
        for (int v = 0; v < 256; ++v) t[v] = Widen8(std::uint8_t(v), Depth::k32);
        return t;
    }();
    return table.data();
}

inline std::uint8_t Narrow16(std::uint16_t v) {
    const std::uint32_t q = (std::uint32_t(v) * 255u + 16384u) >> 15;
    return std::uint8_t(q > 255u ? 255u : q);
}

// Rounds a value in 0..1 (clamped, NaN to 0) onto an integer scale.
inline long FloatToScale(float v, long scale) {
    if (!(v > 0.0f)) return 0;  // NaN and negatives
    if (v >= 1.0f) return scale;
    return long(double(v) * scale + 0.5);
}

// Converts one channel from S to D. Integer sources that are not 8-bit go through the table-free rules.
struct ChannelConverter {
    const std::uint16_t *w16 = nullptr;
    const float *w32 = nullptr;

    template <typename S, typename D> D convert(S v) const;
};

template <> inline std::uint8_t ChannelConverter::convert(std::uint8_t v) const { return v; }
template <> inline std::uint16_t ChannelConverter::convert(std::uint8_t v) const { return w16[v]; }
template <> inline float ChannelConverter::convert(std::uint8_t v) const { return w32[v]; }
template <> inline std::uint8_t ChannelConverter::convert(std::uint16_t v) const { return Narrow16(v); }
template <> inline std::uint16_t ChannelConverter::convert(std::uint16_t v) const { return v; }
template <> inline float ChannelConverter::convert(std::uint16_t v) const { return float(v) / 32768.0f; }
template <> inline std::uint8_t ChannelConverter::convert(float v) const {
    return std::uint8_t(FloatToScale(v, 255));
}
template <> inline std::uint16_t ChannelConverter::convert(float v) const {
    return std::uint16_t(FloatToScale(v, 32768));
}
template <> inline float ChannelConverter::convert(float v) const { return v; }

ChannelConverter MakeConverter(Depth sd, Depth dd) {
    ChannelConverter c;
    if (sd == Depth::k8 && dd == Depth::k16) c.w16 = Widen8To16Table();
    if (sd == Depth::k8 && dd == Depth::k32) c.w32 = Widen8To32Table();
    return c;
}

template <typename S, typename D>
void ConvertRows(const View &src, const PF_LRect &sr, const View &dst, const PF_LRect &dr,
                 const ChannelConverter &conv) {
    const int w = sr.right - sr.left;
    const int h = sr.bottom - sr.top;
    for (int y = 0; y < h; ++y) {
        const S *s = reinterpret_cast<const S *>(src.row(sr.top + y)) + std::size_t(sr.left) * 4;
        D *d = reinterpret_cast<D *>(dst.row(dr.top + y)) + std::size_t(dr.left) * 4;
        for (int i = 0; i < w * 4; ++i) d[i] = conv.convert<S, D>(s[i]);
    }
}

template <typename S>
void ConvertFrom(Depth dd, const View &src, const PF_LRect &sr, const View &dst, const PF_LRect &dr,
                 const ChannelConverter &conv) {
    switch (dd) {
        case Depth::k8: ConvertRows<S, std::uint8_t>(src, sr, dst, dr, conv); break;
        case Depth::k16: ConvertRows<S, std::uint16_t>(src, sr, dst, dr, conv); break;
        case Depth::k32: ConvertRows<S, float>(src, sr, dst, dr, conv); break;
    }
}

void ConvertRegion(Depth sd, const View &src, const PF_LRect &sr, Depth dd, const View &dst, const PF_LRect &dr) {
    if (sd == dd) {
        const std::size_t bytes = std::size_t(sr.right - sr.left) * src.psize;
        for (int y = 0; y < sr.bottom - sr.top; ++y)
            std::memcpy(dst.row(dr.top + y) + std::size_t(dr.left) * dst.psize,
                        src.row(sr.top + y) + std::size_t(sr.left) * src.psize, bytes);
        return;
    }
    const ChannelConverter conv = MakeConverter(sd, dd);
    switch (sd) {
        case Depth::k8: ConvertFrom<std::uint8_t>(dd, src, sr, dst, dr, conv); break;
        case Depth::k16: ConvertFrom<std::uint16_t>(dd, src, sr, dst, dr, conv); break;
        case Depth::k32: ConvertFrom<float>(dd, src, sr, dst, dr, conv); break;
    }
}

// ---- blur ----

// Widths of three box filters whose succession approximates a Gaussian of the given sigma (their variances,
// (w*w - 1) / 12 each, add up to about sigma squared).
void BoxWidthsForGaussian(double sigma, int widths[3]) {
    const int n = 3;
    const double ideal = std::sqrt(12.0 * sigma * sigma / n + 1.0);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const int wu = wl + 2;
    const double m_ideal = (12.0 * sigma * sigma - n * double(wl) * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4.0);
    const long m = std::lround(m_ideal);
    for (int i = 0; i < n; ++i) widths[i] = i < m ? wl : wu;
}

// Division by a fixed box width with rounding to nearest, by multiplication: exact for numerators below
// 256 * width when width < 2^22 (the error term stays below 1 / width).
struct BoxDivider {
    std::uint64_t mul;
    std::uint32_t half;
    explicit BoxDivider(std::uint32_t width) : mul(((std::uint64_t(1) << 52) + width - 1) / width), half(width / 2) {}
    std::uint8_t operator()(std::uint32_t sum) const {
        return std::uint8_t((std::uint64_t(sum + half) * mul) >> 52);
    }
};

// The same division in 32 bits, which vectorises: with mul = ceil(2^24 / width) the error term of
// (sum + half) * mul / 2^24 stays below width / 2^16, under the 1 / width that the exact quotient's fraction
// leaves free as long as width <= 256; and (sum + half) * mul stays below 2^32 for sums below 256 * width.
struct BoxDivider32 {
    static constexpr std::uint32_t kMaxWidth = 255;
    std::uint32_t mul;
    std::uint32_t half;
    explicit BoxDivider32(std::uint32_t width) : mul(((std::uint32_t(1) << 24) + width - 1) / width), half(width / 2) {}
    std::uint8_t operator()(std::uint32_t sum) const { return std::uint8_t(((sum + half) * mul) >> 24); }
};

// One box pass down the columns of a packed buffer `row` bytes wide and h rows high, edges clamped, row at a
// time with a running sum per byte of a row: each row of it is one loop over independent bytes, which
// vectorises. The horizontal passes use it too, on bands of rows laid out transposed.
template <typename Divider>
void BoxPassColumns(const std::uint8_t *in, std::uint8_t *out, std::size_t row, int h, int r,
                    std::vector<std::uint32_t> &sums) {
    const Divider div(std::uint32_t(2 * r + 1));
    const int last = h - 1;
    const int inner = std::min(r, last);
    const std::uint32_t beyond = std::uint32_t(r - inner);
    sums.assign(row, 0);
    std::uint32_t *s = sums.data();
    const std::uint8_t *first = in;
    const std::uint8_t *lastrow = in + row * last;
    for (std::size_t i = 0; i < row; ++i) s[i] = std::uint32_t(r + 1) * first[i] + beyond * lastrow[i];
    for (int j = 1; j <= inner; ++j) {
        const std::uint8_t *p = in + row * j;
        for (std::size_t i = 0; i < row; ++i) s[i] += p[i];
    }
    for (int y = 0; y < h; ++y) {
        std::uint8_t *o = out + row * y;
        const std::uint8_t *add = in + row * std::min(y + r + 1, last);
        const std::uint8_t *sub = in + row * std::max(y - r, 0);
        for (std::size_t i = 0; i < row; ++i) {
            o[i] = div(s[i]);
            s[i] = s[i] + add[i] - sub[i];
        }
    }
}

// ---- convolution ----

struct Tap {
    int dx, dy;
    std::int64_t w[4];  // alpha, red, green, blue: the pixel's channel order
};

inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// A weighted sum divided by the weights' sum, rounded to nearest and clamped to 0..top, without a 64-bit
// division per channel: a negative sum rounds to 0 or below and a sum of at least (top + 1) * d - d / 2 to
// above top, so only sums in between are divided, and those in double when n + d / 2 stays below 2^53 and
// (top + 1) * d below 2^52, where the correctly rounded quotient truncates to the integer one.
class ClampedDivider {
public:
    ClampedDivider(std::int64_t d, std::int64_t top)
        : d_(d), half_(d / 2), top_(top), above_((top + 1) * d - d / 2),
          inDouble_((top + 1) * d < (std::int64_t(1) << 52)) {}
    std::int64_t operator()(std::int64_t n) const {
        if (n < 0) return 0;
        if (n >= above_) return top_;
        if (inDouble_) return std::int64_t(double(n + half_) / double(d_));
        return (n + half_) / d_;
    }

private:
    std::int64_t d_, half_, top_, above_;
    bool inDouble_;
};

template <typename T>
void ConvolveRows(const View &src, const View &dst, const PF_LRect &area, const std::vector<Tap> &taps,
                  const std::int64_t den[4]) {
    const int maxx = src.width - 1;
    const int maxy = src.height - 1;
    std::vector<const T *> rows(taps.size());
    ClampedDivider divide[4] = {{1, 0}, {1, 0}, {1, 0}, {1, 0}};
    if constexpr (std::is_integral_v<T>) {
        for (int c = 0; c < 4; ++c) divide[c] = ClampedDivider(den[c], std::int64_t(Range<T>::max));
    }
    for (int y = area.top; y < area.bottom; ++y) {
        for (std::size_t t = 0; t < taps.size(); ++t)
            rows[t] = reinterpret_cast<const T *>(src.row(Clamp(y + taps[t].dy, 0, maxy)));
        T *out = reinterpret_cast<T *>(dst.row(y));
        for (int x = area.left; x < area.right; ++x) {
            if constexpr (std::is_integral_v<T>) {
                std::int64_t acc[4] = {0, 0, 0, 0};
                for (std::size_t t = 0; t < taps.size(); ++t) {
                    const T *p = rows[t] + std::size_t(Clamp(x + taps[t].dx, 0, maxx)) * 4;
                    for (int c = 0; c < 4; ++c) acc[c] += taps[t].w[c] * std::int64_t(p[c]);
                }
                for (int c = 0; c < 4; ++c) out[std::size_t(x) * 4 + c] = T(divide[c](acc[c]));
            } else {
                double acc[4] = {0, 0, 0, 0};
                for (std::size_t t = 0; t < taps.size(); ++t) {
                    const T *p = rows[t] + std::size_t(Clamp(x + taps[t].dx, 0, maxx)) * 4;
                    for (int c = 0; c < 4; ++c) acc[c] += double(taps[t].w[c]) * double(p[c]);
                }
                for (int c = 0; c < 4; ++c) {
                    const double v = acc[c] / double(den[c]);
                    out[std::size_t(x) * 4 + c] = T(v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0);  // NaN falls to 0
                }
            }
        }
    }
}

// ---- transform ----

struct Mat3 {
    double m[3][3];
};

bool Invert(const Mat3 &a, Mat3 *inv) {
    const auto &m = a.m;
    const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(det != 0.0) || !std::isfinite(det)) return false;
    const double k = 1.0 / det;
    auto &o = inv->m;
    o[0][0] = c00 * k;
    o[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * k;
    o[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * k;
    o[1][0] = c01 * k;
    o[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * k;
    o[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * k;
    o[2][0] = c02 * k;
    o[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * k;
    o[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * k;
    for (auto &row : o)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return true;
}

// [x y 1] * M with the projective divide; false when the point lands at or behind infinity.
inline bool Apply(const Mat3 &a, double x, double y, double *ox, double *oy) {
    const auto &m = a.m;
    const double w = x * m[0][2] + y * m[1][2] + m[2][2];
    if (!(w > 1e-12)) return false;
    *ox = (x * m[0][0] + y * m[1][0] + m[2][0]) / w;
    *oy = (x * m[0][1] + y * m[1][1] + m[2][1]) / w;
    return std::isfinite(*ox) && std::isfinite(*oy);
}

// Accumulates straight-alpha pixels: colours weighted by alpha so that transparent pixels lend no colour, with
// a plain average kept for footprints that are wholly transparent.
struct Accum {
    double weight = 0, alpha = 0;
    double premul[3] = {0, 0, 0};
    double plain[3] = {0, 0, 0};
    template <typename T> void add(const T *p, double w) {
        const double a = double(p[0]);
        weight += w;
        alpha += w * a;
        for (int c = 0; c < 3; ++c) {
            const double v = double(p[c + 1]);
            premul[c] += w * a * v;
            plain[c] += w * v;
        }
    }
    // The filtered pixel, channels in the source's own scale.
    void result(double out[4]) const {
        out[0] = alpha / weight;
        for (int c = 0; c < 3; ++c) out[c + 1] = alpha > 0.0 ? premul[c] / alpha : plain[c] / weight;
    }
};

template <typename T> T StoreInScale(double v) {
    if constexpr (std::is_integral_v<T>) {
        if (!(v > 0.0)) return T(0);
        const double top = double(std::numeric_limits<T>::max());
        return T(v >= top ? top : std::floor(v + 0.5));
    } else {
        return T(v);
    }
}

template <typename S, typename D>
void TransformRows(const View &src, const Mat3 &d2s, const PF_LRect &rect, const View &dst, PF_Quality quality,
                   Depth sd, Depth dd) {
    const ChannelConverter conv = MakeConverter(sd, dd);
    const double sw = src.width, sh = src.height;
    const auto &m = d2s.m;
    const bool affine = m[0][2] == 0.0 && m[1][2] == 0.0;
    const double affine_ex = affine ? 0.5 * (std::fabs(m[0][0]) + std::fabs(m[1][0])) / std::fabs(m[2][2]) : 0.5;
    const double affine_ey = affine ? 0.5 * (std::fabs(m[0][1]) + std::fabs(m[1][1])) / std::fabs(m[2][2]) : 0.5;
    std::vector<double> wx, wy;
    for (int y = rect.top; y < rect.bottom; ++y) {
        D *out = reinterpret_cast<D *>(dst.row(y));
        for (int x = rect.left; x < rect.right; ++x) {
            D *o = out + std::size_t(x) * 4;
            const double cx = x + 0.5, cy = y + 0.5;
            double sx, sy;
            if (!Apply(d2s, cx, cy, &sx, &sy) || !(sx >= 0.0 && sx < sw && sy >= 0.0 && sy < sh)) {
                o[0] = o[1] = o[2] = o[3] = D(0);
                continue;
            }
            if (quality != PF_Quality_HI) {
                const S *p = reinterpret_cast<const S *>(src.row(int(sy))) + std::size_t(int(sx)) * 4;
                for (int c = 0; c < 4; ++c) o[c] = conv.convert<S, D>(p[c]);
                continue;
            }
            // Half extents of the source footprint of this destination pixel, from the map's local derivatives
            // (the same everywhere for an affine map).
            double ex = affine_ex, ey = affine_ey;
            if (!affine) {
                double ax, ay, bx, by;
                ex = ey = 0.5;
                if (Apply(d2s, cx + 1.0, cy, &ax, &ay) && Apply(d2s, cx, cy + 1.0, &bx, &by)) {
                    ex = 0.5 * (std::fabs(ax - sx) + std::fabs(bx - sx));
                    ey = 0.5 * (std::fabs(ay - sy) + std::fabs(by - sy));
                }
            }
            Accum acc;
            if (ex <= 0.5 && ey <= 0.5) {
                // Enlarging or keeping size: bilinear between the four nearest pixel centres, edges clamped.
                const double fx = sx - 0.5, fy = sy - 0.5;
                const int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
                const double tx = fx - x0, ty = fy - y0;
                const int xs[2] = {Clamp(x0, 0, src.width - 1), Clamp(x0 + 1, 0, src.width - 1)};
                const int ys[2] = {Clamp(y0, 0, src.height - 1), Clamp(y0 + 1, 0, src.height - 1)};
                const double wxs[2] = {1.0 - tx, tx}, wys[2] = {1.0 - ty, ty};
                for (int j = 0; j < 2; ++j) {
                    if (wys[j] == 0.0) continue;
                    const S *row = reinterpret_cast<const S *>(src.row(ys[j]));
                    for (int i = 0; i < 2; ++i)
                        if (wxs[i] != 0.0) acc.add(row + std::size_t(xs[i]) * 4, wxs[i] * wys[j]);
                }
            } else {
                // Shrinking: the area average of the footprint's bounding box, clipped to the source.
                ex = std::max(ex, 0.5);
                ey = std::max(ey, 0.5);
                const double l = std::max(sx - ex, 0.0), r = std::min(sx + ex, sw);
                const double t = std::max(sy - ey, 0.0), b = std::min(sy + ey, sh);
                const int i0 = int(std::floor(l)), i1 = std::min(int(std::ceil(r)), src.width);
                const int j0 = int(std::floor(t)), j1 = std::min(int(std::ceil(b)), src.height);
                wx.assign(std::size_t(i1 - i0), 0.0);
                wy.assign(std::size_t(j1 - j0), 0.0);
                for (int i = i0; i < i1; ++i) wx[i - i0] = std::min(r, i + 1.0) - std::max(l, double(i));
                for (int j = j0; j < j1; ++j) wy[j - j0] = std::min(b, j + 1.0) - std::max(t, double(j));
                for (int j = j0; j < j1; ++j) {
                    if (!(wy[j - j0] > 0.0)) continue;
                    const S *row = reinterpret_cast<const S *>(src.row(j));
                    for (int i = i0; i < i1; ++i)
                        if (wx[i - i0] > 0.0) acc.add(row + std::size_t(i) * 4, wx[i - i0] * wy[j - j0]);
                }
            }
            double v[4];
            acc.result(v);
            // Rounded in the source's own depth first, so that a same-size draw converts exactly like a copy.
            for (int c = 0; c < 4; ++c) o[c] = conv.convert<S, D>(StoreInScale<S>(v[c]));
        }
    }
}

template <typename S>
void TransformFrom(Depth dd, const View &src, const Mat3 &d2s, const PF_LRect &rect, const View &dst,
                   PF_Quality quality, Depth sd) {
    switch (dd) {
        case Depth::k8: TransformRows<S, std::uint8_t>(src, d2s, rect, dst, quality, sd, dd); break;
        case Depth::k16: TransformRows<S, std::uint16_t>(src, d2s, rect, dst, quality, sd, dd); break;
        case Depth::k32: TransformRows<S, float>(src, d2s, rect, dst, quality, sd, dd); break;
    }
}

}  // namespace

PF_Err CopyPixels(const PF_EffectWorld &src, Depth sd, const PF_Rect *src_r, PF_EffectWorld &dst, Depth dd,
                  const PF_Rect *dst_r) {
    View s, d;
    if (!MakeView(src, sd, &s) || !MakeView(dst, dd, &d)) return PF_Err_BAD_CALLBACK_PARAM;
    PF_LRect sr, dr;
    if (!ResolveRect(src_r, s, &sr) || !ResolveRect(dst_r, d, &dr)) return PF_Err_BAD_CALLBACK_PARAM;
    if (sr.right - sr.left != dr.right - dr.left || sr.bottom - sr.top != dr.bottom - dr.top)
        return PF_Err_BAD_CALLBACK_PARAM;
    if (sr.right == sr.left || sr.bottom == sr.top) return PF_Err_NONE;
    std::optional<Detached> copy;
    if (Overlap(s, d)) copy.emplace(s);
    ConvertRegion(sd, copy ? copy->view : s, sr, dd, d, dr);
    return PF_Err_NONE;
}

void FastBlur8(PF_EffectWorld &world, double radius) {
    if (!(radius > 0.0)) return;  // also NaN
    View v;
    if (!MakeView(world, Depth::k8, &v) || v.empty()) return;
    // Beyond this the result is the world's mean anyway; the cap keeps box widths where the divider is exact.
    const double sigma = std::min(radius, 200000.0);
    int widths[3];
    BoxWidthsForGaussian(sigma, widths);
    // Three boxes at every radius, each at least 3 wide: the cost stays the same from the smallest radius to the
    // largest, and below sigma sqrt(2) (three 3-wide boxes) the blur is that smallest one.
    const int passes = 3;
    int radii[passes];
    for (int p = 0; p < passes; ++p) radii[p] = std::max(1, (widths[p] - 1) / 2);

    const int w = v.width, h = v.height;
    // Widths up to 255 divide in 32 bits; the cap on sigma keeps wider ones within the 64-bit divider's range.
    bool narrow = true;
    for (int p = 0; p < passes; ++p) narrow = narrow && std::uint32_t(2 * radii[p] + 1) <= BoxDivider32::kMaxWidth;
    std::vector<std::uint32_t> sums;
    auto passes_over = [&](std::vector<std::uint8_t> &from, std::vector<std::uint8_t> &to, std::size_t lanes,
                           int length) {
        for (int p = 0; p < passes; ++p) {
            if (narrow) BoxPassColumns<BoxDivider32>(from.data(), to.data(), lanes, length, radii[p], sums);
            else BoxPassColumns<BoxDivider>(from.data(), to.data(), lanes, length, radii[p], sums);
            from.swap(to);
        }
    };
    // Horizontal passes on bands of rows turned on their side (pixel x of each row of the band side by side),
    // then vertical passes on strips of columns: two small buffers each, whatever the world's size.
    const int band = 16;
    std::vector<std::uint8_t> ta(std::size_t(band) * 4 * w), tb(ta.size());
    for (int y0 = 0; y0 < h; y0 += band) {
        const int bh = std::min(band, h - y0);
        const std::size_t lanes = std::size_t(bh) * 4;
        for (int j = 0; j < bh; ++j) {
            const std::uint8_t *src = v.row(y0 + j);
            for (int x = 0; x < w; ++x) std::memcpy(ta.data() + lanes * x + 4 * j, src + std::size_t(x) * 4, 4);
        }
        passes_over(ta, tb, lanes, w);
        for (int j = 0; j < bh; ++j) {
            std::uint8_t *dst = v.row(y0 + j);
            for (int x = 0; x < w; ++x) std::memcpy(dst + std::size_t(x) * 4, ta.data() + lanes * x + 4 * j, 4);
        }
    }
    const int strip = 64;
    std::vector<std::uint8_t> sa(std::size_t(strip) * 4 * h), sb(sa.size());
    for (int x0 = 0; x0 < w; x0 += strip) {
        const int sw = std::min(strip, w - x0);
        const std::size_t bytes = std::size_t(sw) * 4;
        for (int y = 0; y < h; ++y) std::memcpy(sa.data() + bytes * y, v.row(y) + std::size_t(x0) * 4, bytes);
        passes_over(sa, sb, bytes, h);
        for (int y = 0; y < h; ++y) std::memcpy(v.row(y) + std::size_t(x0) * 4, sa.data() + bytes * y, bytes);
    }
}

PF_Err Convolve(const PF_EffectWorld &src, Depth d, const PF_LRect &area, int kernel_size, const A_long *a,
                const A_long *r, const A_long *g, const A_long *b, PF_EffectWorld &dst) {
    View s, o;
    if (!MakeView(src, d, &s) || !MakeView(dst, d, &o)) return PF_Err_BAD_CALLBACK_PARAM;
    if (kernel_size < 1 || kernel_size > 15 || kernel_size % 2 == 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (!a || !r || !g || !b) return PF_Err_BAD_CALLBACK_PARAM;

    const PF_LRect clip{std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, o.width),
                        std::min(area.bottom, o.height)};
    if (clip.left >= clip.right || clip.top >= clip.bottom) return PF_Err_NONE;
    if (s.empty()) return PF_Err_BAD_CALLBACK_PARAM;  // nothing to replicate into the area

    const A_long *kernels[4] = {a, r, g, b};
    std::int64_t den[4];
    std::int64_t sign[4];
    for (int c = 0; c < 4; ++c) {
        std::int64_t sum = 0;
        for (int i = 0; i < kernel_size * kernel_size; ++i) sum += kernels[c][i];
        if (sum == 0) sum = 1;
        // A negative sum divides by its magnitude with the weights negated, so the divisor stays positive.
        sign[c] = sum < 0 ? -1 : 1;
        den[c] = sum * sign[c];
    }
    const int half = kernel_size / 2;
    std::vector<Tap> taps;
    for (int ky = 0; ky < kernel_size; ++ky) {
        for (int kx = 0; kx < kernel_size; ++kx) {
            Tap t{kx - half, ky - half, {0, 0, 0, 0}};
            bool any = false;
            for (int c = 0; c < 4; ++c) {
                t.w[c] = std::int64_t(kernels[c][ky * kernel_size + kx]) * sign[c];
                any = any || t.w[c] != 0;
            }
            if (any) taps.push_back(t);
        }
    }

    std::optional<Detached> copy;
    if (Overlap(s, o)) copy.emplace(s);
    const View &from = copy ? copy->view : s;
    switch (d) {
        case Depth::k8: ConvolveRows<std::uint8_t>(from, o, clip, taps, den); break;
        case Depth::k16: ConvolveRows<std::uint16_t>(from, o, clip, taps, den); break;
        case Depth::k32: ConvolveRows<float>(from, o, clip, taps, den); break;
    }
    return PF_Err_NONE;
}

PF_Err TransformWorld(const PF_EffectWorld &src, Depth sd, const PF_FloatMatrix &m, bool src2dst,
                      const PF_Rect *dest_rect, PF_EffectWorld &dst, Depth dd, PF_Quality quality) {
    View s, o;
    if (!MakeView(src, sd, &s) || !MakeView(dst, dd, &o)) return PF_Err_BAD_CALLBACK_PARAM;
    Mat3 given;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            if (!std::isfinite(m.mat[i][j])) return PF_Err_BAD_CALLBACK_PARAM;
            given.m[i][j] = m.mat[i][j];
        }
    Mat3 d2s = given;
    if (src2dst && !Invert(given, &d2s)) return PF_Err_BAD_CALLBACK_PARAM;

    PF_LRect rect{0, 0, o.width, o.height};
    if (dest_rect) {
        rect = PF_LRect{std::max(dest_rect->left, 0), std::max(dest_rect->top, 0),
                        std::min(dest_rect->right, o.width), std::min(dest_rect->bottom, o.height)};
    }
    if (rect.left >= rect.right || rect.top >= rect.bottom) return PF_Err_NONE;

    std::optional<Detached> copy;
    if (Overlap(s, o)) copy.emplace(s);
    const View &from = copy ? copy->view : s;
    switch (sd) {
        case Depth::k8: TransformFrom<std::uint8_t>(dd, from, d2s, rect, o, quality, sd); break;
        case Depth::k16: TransformFrom<std::uint16_t>(dd, from, d2s, rect, o, quality, sd); break;
        case Depth::k32: TransformFrom<float>(dd, from, d2s, rect, o, quality, sd); break;
    }
    return PF_Err_NONE;
}

}  // namespace vbhost
