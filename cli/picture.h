// Pictures as the command-line renderer reads and writes them: PNG, OpenEXR, TIFF, JPEG and PNM/PAM files.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace vbcli {

// A picture from or for a file. Channels are interleaved per pixel: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA. Values
// are normalised so that the format's full scale is 1.0 (float files may hold values outside 0..1). `bits` is
// the precision the file had or should have: 8, 16, or 32 for floating point.
struct Picture {
    int width = 0;
    int height = 0;
    int channels = 0;
    int bits = 8;
    std::vector<float> data;

    Picture() = default;
    Picture(int w, int h, int c, int b) : width(w), height(h), channels(c), bits(b), data(std::size_t(w) * h * c, 0.0f) {}
    float *at(int x, int y) { return &data[(std::size_t(y) * width + x) * channels]; }
    const float *at(int x, int y) const { return &data[(std::size_t(y) * width + x) * channels]; }
    bool has_alpha() const { return channels == 2 || channels == 4; }
};

// An 8-bit picture kept as its samples, channels interleaved as in Picture: what an 8-bit project renders,
// written without going through normalised floats.
struct Picture8 {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<unsigned char> data;
};

// Any failure to read, decode, encode or write a picture; the message names the file.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class FileFormat { kPng, kExr, kTiff, kJpeg, kPpm, kPgm, kPam };

// The format an output file gets from its extension (case-insensitive); throws ImageError for an unknown one.
FileFormat FormatFromPath(const std::string &path);
const char *FormatName(FileFormat format);

// The bit depth a format stores when asked for `bits`: the same when it can, else the nearest it holds.
int BitsStoredBy(FileFormat format, int bits);
// Whether a format can store exactly `bits`.
bool FormatHolds(FileFormat format, int bits);

// Reads any supported file; the format is recognised from the file's first bytes, not its name.
Picture ReadPicture(const std::string &path);

// Writes the picture in the format of the path's extension at `bits` (rounded to nearest when narrowing).
// The file appears complete or not at all: it is written to a temporary file beside it and then renamed.
void WritePicture(const std::string &path, const Picture &picture, int bits);

// Writes the 8-bit picture exactly as WritePicture(path, <the picture with values v / 255>, 8) would, byte for
// byte; PNG, PAM and PPM files take the samples as they are.
void WritePicture8(const std::string &path, const Picture8 &picture);

// Makes an interrupt (SIGINT, SIGTERM, SIGHUP) remove the temporary files being written before the program ends.
void RemoveUnfinishedFilesOnInterrupt();

// Rounds a normalised value to an integer of the given full scale, clamping to 0..full_scale.
inline unsigned QuantizeUnit(float v, unsigned full_scale) {
    if (!(v > 0.0f)) return 0;  // also NaN
    if (v >= 1.0f) return full_scale;
    return unsigned(v * float(full_scale) + 0.5f);
}

}  // namespace vbcli
