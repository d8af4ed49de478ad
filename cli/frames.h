// Frame-number patterns in file names ("####" or "%04d") and frame ranges ("A-B") for sequence renders.
#pragma once

#include <string>

namespace vbcli {

// Whether the name holds a frame-number pattern: a run of '#' or a printf-style "%d" / "%0Nd".
bool HasFramePattern(const std::string &name);

// The name with its pattern replaced by the frame number, zero-padded to the pattern's width (the number of
// '#', or N of "%0Nd"). A name without a pattern comes back unchanged.
std::string ExpandFramePattern(const std::string &name, int frame);

struct FrameRange {
    int first = 0;
    int last = 0;
    int count() const { return last - first + 1; }
};

// Parses "A-B" or "A" (non-negative, A <= B); returns false with a reason otherwise.
bool ParseFrameRange(const std::string &text, FrameRange *range, std::string *error);

}  // namespace vbcli
