// Stereogram decoding by block matching along rows, mapped back to depth with the effect's viewing geometry.
#include "cli/decode.h"

#include "shell/param_index.h"
#include "shell/param_table.h"
#include "synthesis/geometry.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace vbcli {
namespace {

constexpr int kHalfWidth = 3;   // matching window: 7 pixels wide...
constexpr int kHalfHeight = 1;  // ...and 3 rows high
constexpr float kInf = std::numeric_limits<float>::infinity();
// A true match costs about one "mismatch level" summed over the best shift and its better neighbour (the two
// share it by how far the true shift lies between them); a false one about two.
constexpr float kAcceptRatio = 1.8f;
// Searching a wide range of shifts meets many chance matches; only clear ones count there.
constexpr float kStrictAcceptRatio = 1.0f;
// Every separation of one picture lies between those of the near and the far plane, whose ratio is about this
// (Znear = 5 U, Zfar = 9 U, D = 20 U gives 0.644), whatever the period or the mode.
constexpr double kNearToFar = 0.64;

struct Rgb {
    int width = 0, height = 0;
    std::vector<float> v;  // 3 per pixel, 0..255
    const float *row(int y) const { return &v[std::size_t(y) * width * 3]; }
};

Rgb toRgb(const Picture &p) {
    Rgb out;
    out.width = p.width;
    out.height = p.height;
    out.v.resize(std::size_t(p.width) * p.height * 3);
    std::size_t n = std::size_t(p.width) * p.height;
    for (std::size_t i = 0; i < n; ++i) {
        const float *s = &p.data[i * p.channels];
        float *d = &out.v[i * 3];
        if (p.channels >= 3) {
            d[0] = s[0] * 255.0f, d[1] = s[1] * 255.0f, d[2] = s[2] * 255.0f;
        } else {
            d[0] = d[1] = d[2] = s[0] * 255.0f;
        }
    }
    return out;
}

// Cost of shift s centred on each pixel of row y: out[x], or infinity where the window leaves the picture.
class RowMatcher {
public:
    RowMatcher(const Rgb &img, int smin, int smax) : img_(img), smin_(smin), smax_(smax) {
        diff_.resize(img.width);
        prefix_.resize(img.width + 1);
        for (auto &c : cache_) c.resize(std::size_t(count()) * img.width);
    }
    int count() const { return smax_ - smin_ + 1; }

    // Fills costs[(s - smin) * width + x]. Rows asked for in increasing order reuse the differences of the
    // rows they share.
    void Costs(int y, std::vector<float> *costs) {
        int w = img_.width;
        costs->assign(std::size_t(count()) * w, kInf);
        int y0 = std::max(0, y - kHalfHeight), y1 = std::min(img_.height - 1, y + kHalfHeight);
        float norm = 1.0f / float((y1 - y0 + 1) * (2 * kHalfWidth + 1));
        const float *rows[2 * kHalfHeight + 1];
        for (int r = y0; r <= y1; ++r) rows[r - y0] = rowDifferences(r);
        for (int s = smin_; s <= smax_; ++s) {
            int n = w - s;
            if (n <= 2 * kHalfWidth) continue;
            std::size_t at = std::size_t(s - smin_) * w;
            std::copy(rows[0] + at, rows[0] + at + n, diff_.begin());
            for (int r = 1; r <= y1 - y0; ++r)
                for (int x = 0; x < n; ++x) diff_[x] += rows[r][at + x];
            prefix_[0] = 0.0;
            for (int x = 0; x < n; ++x) prefix_[x + 1] = prefix_[x] + diff_[x];
            float *out = costs->data() + at;
            // The pair centred on x starts at x - (s + 1) / 2, as the effect places the left pixel of a tie.
            int half = (s + 1) / 2;
            for (int x = 0; x < w; ++x) {
                int left = x - half;
                int a = left - kHalfWidth, b = left + kHalfWidth;
                if (a < 0 || b >= n) continue;
                out[x] = float(prefix_[b + 1] - prefix_[a]) * norm;
            }
        }
    }

private:
    // Squared colour differences of row r between x and x + s, for every shift: [(s - smin) * width + x].
    const float *rowDifferences(int r) {
        int slot = r % kCacheRows;
        if (cached_row_[slot] == r) return cache_[slot].data();
        int w = img_.width;
        const float *row = img_.row(r);
        for (int s = smin_; s <= smax_; ++s) {
            float *d = cache_[slot].data() + std::size_t(s - smin_) * w;
            for (int x = 0; x + s < w; ++x) {
                const float *a = row + 3 * x, *b = row + 3 * (x + s);
                float d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
                d[x] = d0 * d0 + d1 * d1 + d2 * d2;
            }
        }
        cached_row_[slot] = r;
        return cache_[slot].data();
    }

    static constexpr int kCacheRows = 2 * kHalfHeight + 1;
    const Rgb &img_;
    int smin_, smax_;
    std::vector<float> diff_;
    std::vector<double> prefix_;
    std::vector<float> cache_[kCacheRows];
    int cached_row_[kCacheRows] = {-1, -1, -1};
};

struct Match {
    float shift = -1.0f;  // sub-pixel separation, negative when none
    int whole = 0;        // the whole-pixel shift it was refined from
};

// The match level of one pixel's costs c[0..count) (shift smin + i): the median cost, which is what a shift
// that does not match costs. Zero or less means the area is flat and nothing can be learnt there.
float matchLevel(const float *c, int count, std::size_t stride, std::vector<float> *scratch) {
    scratch->clear();
    for (int i = 0; i < count; ++i)
        if (c[i * stride] < kInf) scratch->push_back(c[i * stride]);
    if (scratch->size() < 3) return 0.0f;
    auto mid = scratch->begin() + scratch->size() / 2;
    std::nth_element(scratch->begin(), mid, scratch->end());
    return *mid > 1e-3f ? *mid : 0.0f;
}

// The sub-pixel shift of the match at index i. Squared differences grow linearly with the fraction of a pixel
// by which a shift misses, so the true shift divides the way from the best whole shift to its better neighbour
// in the ratio of their costs.
Match refine(const float *c, int count, std::size_t stride, int smin, int i) {
    auto cost = [&](int k) { return (k < 0 || k >= count) ? kInf : c[k * stride]; };
    float c0 = cost(i), cl = cost(i - 1), cr = cost(i + 1);
    float cn = std::min(cl, cr);
    float t = (c0 + cn) > 0.0f ? c0 / (c0 + cn) : 0.0f;
    Match m;
    m.whole = smin + i;
    m.shift = float(m.whole) + (cr <= cl ? t : -t);
    return m;
}

// Whether the shift at index i matches: it and its better neighbour share about one mismatch level between them
// (the true shift lies between the two), where a chance match costs about two.
bool matches(const float *c, int count, std::size_t stride, int i, float level, float ratio) {
    auto cost = [&](int k) { return (k < 0 || k >= count) ? kInf : c[k * stride]; };
    float c0 = cost(i), cn = std::min(cost(i - 1), cost(i + 1));
    return c0 < kInf && cn < kInf && c0 + cn < ratio * level;
}

constexpr int kMaxCandidates = 4;

// The shifts that match one pixel: the best first, then other matching local minima by increasing cost.
int candidates(const float *c, int count, std::size_t stride, int smin, std::vector<float> *scratch,
               float out[kMaxCandidates]) {
    float level = matchLevel(c, count, stride, scratch);
    if (level <= 0.0f) return 0;
    auto cost = [&](int k) { return (k < 0 || k >= count) ? kInf : c[k * stride]; };
    int idx[kMaxCandidates];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (!(cost(i) <= cost(i - 1) && cost(i) < cost(i + 1)) || !matches(c, count, stride, i, level, kAcceptRatio))
            continue;
        // Insert by cost, keeping the cheapest few.
        int at = n < kMaxCandidates ? n++ : kMaxCandidates;
        while (at > 0 && cost(idx[at - 1]) > cost(i)) {
            if (at < kMaxCandidates) idx[at] = idx[at - 1];
            --at;
        }
        if (at < kMaxCandidates) idx[at] = i;
    }
    for (int k = 0; k < n; ++k) out[k] = refine(c, count, stride, smin, idx[k]).shift;
    return n;
}

// For the period estimate over a wide range of shifts: the smallest shift that clearly matches about as well as
// the best, so that multiples of the true shift, which such a search meets, are not taken.
Match pickSmallest(const float *c, int count, std::size_t stride, int smin, std::vector<float> *scratch) {
    Match m;
    float level = matchLevel(c, count, stride, scratch);
    if (level <= 0.0f) return m;
    auto cost = [&](int k) { return (k < 0 || k >= count) ? kInf : c[k * stride]; };
    int best = 0;
    for (int i = 1; i < count; ++i)
        if (cost(i) < cost(best)) best = i;
    if (!matches(c, count, stride, best, level, kStrictAcceptRatio)) return m;
    float good_enough = cost(best) + 0.25f * level;
    for (int i = 0; i < best; ++i)
        if (matches(c, count, stride, i, level, kStrictAcceptRatio) && cost(i) <= good_enough) {
            best = i;
            while (cost(best + 1) < cost(best)) ++best;
            break;
        }
    return refine(c, count, stride, smin, best);
}

// Runs body(first, end) over runs of consecutive rows covering 0..height, on all cores.
template <class Body>
void forRowRuns(int height, const Body &body) {
    const int run = 16;
    unsigned n = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    std::vector<std::thread> pool;
    std::atomic<int> next{0};
    for (unsigned t = 0; t < n; ++t)
        pool.emplace_back([&] {
            for (int y = next.fetch_add(run); y < height; y = next.fetch_add(run)) body(y, std::min(height, y + run));
        });
    for (auto &th : pool) th.join();
}

// Separation, in output pixels, of the depth a luminance gives (lum as the effect reads it, before inversion).
double separationOfLuminance(const StereogramGeometry &g, int lum) {
    int z = DepthOfLuminance(g, g.convergence ? 255 - lum : lum);
    return double(SeparationOfDepth(g, z)) / g.N;
}

double estimatePeriod(const Rgb &img, const DecodeOptions &opt) {
    int smax = std::min(img.width - 2 * kHalfWidth - 2, 700);
    int smin = 4;
    if (smax <= smin + 2) throw std::invalid_argument("the picture is too narrow to hold a repetition");
    RowMatcher probe(img, smin, smax);
    int rows = std::min(img.height, 32);
    std::vector<float> found;
    std::vector<float> costs, scratch;
    for (int i = 0; i < rows; ++i) {
        int y = int((std::int64_t(i) * 2 + 1) * img.height / (2 * rows));
        probe.Costs(y, &costs);
        for (int x = 0; x < img.width; ++x) {
            Match m = pickSmallest(&costs[x], probe.count(), img.width, smin, &scratch);
            if (m.shift > 0) found.push_back(m.shift);
        }
    }
    if (found.size() < 16) throw std::invalid_argument("no repetition found: this does not look like a stereogram");
    // The true separations crowd into one band from the near to the far plane's; chance matches and multiples
    // scatter. Take the band holding the most matches, and in it the separations of luminance 0, which a depth
    // map's background usually reaches: the largest in Divergence, the smallest in Convergence (which inverts).
    std::sort(found.begin(), found.end());
    std::size_t band_lo = 0, band_hi = 0, best_count = 0;
    for (std::size_t lo = 0, hi = 0; lo < found.size(); ++lo) {
        while (hi < found.size() && found[hi] * kNearToFar <= found[lo] + 1) ++hi;
        if (hi - lo > best_count) best_count = hi - lo, band_lo = lo, band_hi = hi;
    }
    double quantile = opt.convergence ? 0.02 : 0.98;
    double background = found[band_lo + std::size_t(double(band_hi - band_lo - 1) * quantile)];
    int type = opt.convergence ? STEREOGRAM_CONVERGENCE : STEREOGRAM_DIVERGENCE;
    const vellumbra::ParamDecl *period = vellumbra::FindParamDecl(PARAM_PERIOD);
    double best_p = 0, best_err = 1e30;
    for (int p = int(period->valid_min); p <= int(period->valid_max); ++p) {
        StereogramGeometry g = ComputeGeometry(img.width, p, opt.oversampling, type);
        if (!g.drawable()) continue;
        double err = std::fabs(separationOfLuminance(g, 0) - background);
        if (err < best_err) best_err = err, best_p = p;
    }
    if (best_p == 0) throw std::invalid_argument("no period fits the repetition found");
    return best_p;
}

}  // namespace

DecodeResult DecodeStereogram(const Picture &stereogram, const DecodeOptions &options) {
    if (stereogram.width < 16 || stereogram.height < 1)
        throw std::invalid_argument("the picture is too small to decode");
    Rgb img = toRgb(stereogram);
    DecodeResult result;
    result.period = options.period;
    if (result.period <= 0.0) {
        result.period = estimatePeriod(img, options);
        result.period_estimated = true;
    }
    int type = options.convergence ? STEREOGRAM_CONVERGENCE : STEREOGRAM_DIVERGENCE;
    StereogramGeometry g = ComputeGeometry(img.width, result.period, options.oversampling, type);
    if (!g.drawable()) throw std::invalid_argument("the picture is narrower than one repetition at this period");

    // Every separation the effect can make lies between those of luminance 0 and 255.
    double s0 = separationOfLuminance(g, 0), s1 = separationOfLuminance(g, 255);
    int smin = std::max(2, int(std::floor(std::min(s0, s1))) - 1);
    int smax = std::min(img.width - 2 * kHalfWidth - 2, int(std::ceil(std::max(s0, s1))) + 1);
    if (smax < smin + 2) throw std::invalid_argument("the picture is narrower than one repetition at this period");

    int w = img.width, h = img.height;
    result.depth = Picture(w, h, 2, 16);
    result.separation.assign(std::size_t(w) * h, -1.0f);
    // Inverse of the separation: s = E Z / (D + Z) in output pixels, Z = Zfar - lum R / 256.
    const double E = g.E, D = g.D, zfar = g.Zfar, range = g.R;
    // First pass: the shifts that match each pixel, the best first. Second pass: where several match (a
    // stereogram copies patterns from strip to strip, so next to an object a patch can repeat at the object's
    // separation as well as at its own), the one nearest to the median of the neighbourhood's best ones.
    std::vector<float> cands(std::size_t(w) * h * kMaxCandidates);  // sub-pixel shifts
    std::vector<std::uint8_t> ncand(std::size_t(w) * h, 0);
    forRowRuns(h, [&](int first_row, int end_row) {
        RowMatcher matcher(img, smin, smax);
        std::vector<float> costs, scratch;
        for (int y = first_row; y < end_row; ++y) {
            matcher.Costs(y, &costs);
            for (int x = 0; x < w; ++x) {
                std::size_t i = std::size_t(y) * w + x;
                ncand[i] = std::uint8_t(
                    candidates(&costs[x], matcher.count(), w, smin, &scratch, &cands[i * kMaxCandidates]));
            }
        }
    });
    const int mx = 20, my = 4;  // neighbourhood for the majority: 41 x 9, wider than an echo
    std::atomic<long long> decoded{0};
    forRowRuns(h, [&](int first_row, int end_row) {
        std::vector<float> near;
        long long row_decoded = 0;
        for (int y = first_row; y < end_row; ++y)
        for (int x = 0; x < w; ++x) {
            std::size_t i = std::size_t(y) * w + x;
            if (ncand[i] == 0) continue;
            float shift = cands[i * kMaxCandidates];
            bool alternatives = false;
            for (int k = 1; k < ncand[i]; ++k)
                alternatives |= std::fabs(cands[i * kMaxCandidates + k] - shift) > 1.5f;
            if (alternatives) {
                near.clear();
                // Every other row and column of the neighbourhood is plenty for its median.
                for (int yy = std::max(0, y - my); yy <= std::min(h - 1, y + my); yy += 2)
                    for (int xx = std::max(0, x - mx); xx <= std::min(w - 1, x + mx); xx += 2) {
                        std::size_t j = std::size_t(yy) * w + xx;
                        if (ncand[j] > 0) near.push_back(cands[j * kMaxCandidates]);
                    }
                if (near.size() * 3 >= std::size_t((mx + 1) * (my + 1))) {
                    std::nth_element(near.begin(), near.begin() + near.size() / 2, near.end());
                    float prefer = near[near.size() / 2];
                    for (int k = 1; k < ncand[i]; ++k) {
                        float c = cands[i * kMaxCandidates + k];
                        if (std::fabs(c - prefer) < std::fabs(shift - prefer)) shift = c;
                    }
                }
            }
            float *px = result.depth.at(x, y);
            if (shift <= 0.0f || shift >= E) continue;
            double z = shift * D / (E - shift);
            double lum = (zfar - z) * 256.0 / range;
            if (g.convergence) lum = 255.0 - lum;
            lum = std::clamp(lum, 0.0, 255.0);
            px[0] = float(lum / 255.0);
            px[1] = 1.0f;
            result.separation[std::size_t(y) * w + x] = shift;
            ++row_decoded;
        }
        decoded += row_decoded;
    });
    result.decoded_share = double(decoded.load()) / (double(w) * h);
    return result;
}

}  // namespace vbcli
