// Recovering a depth map from a finished stereogram: where the picture repeats, and at what distance.
#pragma once

#include "cli/picture.h"

#include <vector>

namespace vbcli {

struct DecodeOptions {
    double period = 0.0;       // the repetition period it was made with; 0 to estimate it from the picture
    bool convergence = false;  // the viewing mode it was made for
    int oversampling = 4;      // only matters where it changes the geometry (very wide pictures)
};

struct DecodeResult {
    // Grey + alpha, the grey a luminance 0..255 scaled to 0..1 (fractional where the match was sub-pixel);
    // alpha 0 where no repetition was found.
    Picture depth;
    // Per pixel, the separation found in pixels (sub-pixel), or a negative value where none was found.
    std::vector<float> separation;
    double period = 0.0;         // the period used
    bool period_estimated = false;
    double decoded_share = 0.0;  // share of pixels with a separation, 0..1
};

// Block matching along each row: for every pixel the horizontal shift, centred on it, at which a small window
// repeats best (least squared difference), refined between whole pixels, then turned back into depth with the
// effect's own geometry. Throws std::invalid_argument when the picture is too small to hold one period.
DecodeResult DecodeStereogram(const Picture &stereogram, const DecodeOptions &options);

}  // namespace vbcli
