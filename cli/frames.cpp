// Frame-number patterns and frame ranges.
#include "cli/frames.h"

#include <cstdio>
#include <cstdlib>

namespace vbcli {
namespace {

struct PatternSpan {
    std::size_t pos = std::string::npos;
    std::size_t len = 0;
    int width = 0;
};

// The last pattern in the name, so that a '#' or '%' in a directory name earlier on is left alone.
PatternSpan findPattern(const std::string &s) {
    PatternSpan span;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '#') {
            std::size_t j = i;
            while (j < s.size() && s[j] == '#') ++j;
            span = {i, j - i, int(j - i)};
            i = j - 1;
        } else if (s[i] == '%') {
            std::size_t j = i + 1;
            int width = 0;
            bool zero = j < s.size() && s[j] == '0';
            if (zero) ++j;
            while (j < s.size() && s[j] >= '0' && s[j] <= '9' && width < 100) width = width * 10 + (s[j++] - '0');
            if (j < s.size() && s[j] == 'd') {
                span = {i, j + 1 - i, zero ? width : 0};
                i = j;
            }
        }
    }
    return span;
}

}  // namespace

bool HasFramePattern(const std::string &name) { return findPattern(name).pos != std::string::npos; }

std::string ExpandFramePattern(const std::string &name, int frame) {
    PatternSpan span = findPattern(name);
    if (span.pos == std::string::npos) return name;
    std::string digits = std::to_string(frame);
    if (int(digits.size()) < span.width) digits.insert(0, std::size_t(span.width) - digits.size(), '0');
    return name.substr(0, span.pos) + digits + name.substr(span.pos + span.len);
}

bool ParseFrameRange(const std::string &text, FrameRange *range, std::string *error) {
    auto number = [](const std::string &s, int *out) {
        if (s.empty() || s.size() > 9) return false;
        for (char c : s)
            if (c < '0' || c > '9') return false;
        *out = std::atoi(s.c_str());
        return true;
    };
    std::size_t dash = text.find('-');
    FrameRange r;
    bool ok = dash == std::string::npos ? number(text, &r.first) && number(text, &r.last)
                                        : number(text.substr(0, dash), &r.first) && number(text.substr(dash + 1), &r.last);
    if (!ok) {
        *error = "'" + text + "' is not a frame range (expected A-B, e.g. 1-100)";
        return false;
    }
    if (r.first > r.last) {
        *error = "frame range '" + text + "' ends before it starts";
        return false;
    }
    *range = r;
    return true;
}

}  // namespace vbcli
