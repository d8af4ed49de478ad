// Reading and writing pictures: PNG (libpng), OpenEXR, TIFF (libtiff), JPEG (libjpeg) and our own PNM/PAM code.
#include "cli/picture.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <half.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cctype>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <unistd.h>

namespace vbcli {
namespace {

// Largest picture we agree to allocate: guards against hostile headers asking for terabytes.
constexpr std::int64_t kMaxPixels = std::int64_t(1) << 28;

void checkSize(const std::string &path, std::int64_t w, std::int64_t h) {
    if (w <= 0 || h <= 0) throw ImageError("cannot read '" + path + "': empty or invalid picture size");
    if (w > 1000000 || h > 1000000 || w * h > kMaxPixels)
        throw ImageError("cannot read '" + path + "': picture too large (" + std::to_string(w) + "x" +
                         std::to_string(h) + ")");
}

struct FileCloser {
    void operator()(std::FILE *f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openRead(const std::string &path) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) throw ImageError("cannot read '" + path + "': " + std::strerror(errno));
    return f;
}

std::string lowerExtension(const std::string &path) {
    std::size_t slash = path.find_last_of("/\\");
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    for (char &c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// ---------------------------------------------------------------- PNG

struct PngError {
    char message[256] = {0};
};

void pngErrorFn(png_structp png, png_const_charp msg) {
    auto *e = static_cast<PngError *>(png_get_error_ptr(png));
    std::snprintf(e->message, sizeof e->message, "%s", msg);
    png_longjmp(png, 1);
}
void pngWarningFn(png_structp, png_const_charp) {}

Picture readPng(const std::string &path) {
    File f = openRead(path);
    PngError err;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err, pngErrorFn, pngWarningFn);
    if (!png) throw ImageError("cannot read '" + path + "': out of memory");
    png_infop info = png_create_info_struct(png);
    Picture pic;
    std::vector<png_bytep> rows;
    std::vector<std::uint8_t> raw;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw ImageError("cannot read '" + path + "': " + err.message);
    }
    png_init_io(png, f.get());
    png_set_user_limits(png, 1000000, 1000000);
    png_read_info(png, info);
    int bit_depth = png_get_bit_depth(png, info);
    int color_type = png_get_color_type(png, info);
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) png_set_swap(png);  // to host order (little-endian machines)
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    int channels = png_get_channels(png, info);
    int depth = png_get_bit_depth(png, info);
    std::size_t rowbytes = png_get_rowbytes(png, info);
    if (std::int64_t(w) * h > kMaxPixels) {
        png_destroy_read_struct(&png, &info, nullptr);
        checkSize(path, w, h);
    }
    raw.resize(rowbytes * h);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = raw.data() + rowbytes * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);

    pic = Picture(int(w), int(h), channels, depth == 16 ? 16 : 8);
    std::size_t n = std::size_t(w) * h * channels;
    if (depth == 16) {
        const std::uint16_t *src = reinterpret_cast<const std::uint16_t *>(raw.data());
        // Rows are contiguous only when rowbytes has no padding, which libpng guarantees for unpacked rows.
        for (std::size_t i = 0; i < n; ++i) pic.data[i] = float(src[i]) / 65535.0f;
    } else {
        for (std::size_t i = 0; i < n; ++i) pic.data[i] = float(raw[i]) / 255.0f;
    }
    return pic;
}

// Writes a PNG of `channels` channels at `bits` (8 or 16) whose rows fill(y, row) puts into a buffer of
// width * channels samples, big-endian when 16-bit.
template <typename FillRow>
void writePngRows(const std::string &path, std::FILE *f, int width, int height, int channels, int bits, FillRow fill) {
    PngError err;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, pngErrorFn, pngWarningFn);
    if (!png) throw ImageError("cannot write '" + path + "': out of memory");
    png_infop info = png_create_info_struct(png);
    static const int kColorTypes[5] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                       PNG_COLOR_TYPE_RGB_ALPHA};
    int bytes = bits == 16 ? 2 : 1;
    std::size_t rowbytes = std::size_t(width) * channels * bytes;
    std::vector<std::uint8_t> row(rowbytes);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw ImageError("cannot write '" + path + "': " + err.message);
    }
    png_init_io(png, f);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, width, height, bits == 16 ? 16 : 8, kColorTypes[channels], PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        fill(y, row.data());
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

void writePng(const std::string &path, std::FILE *f, const Picture &pic, int bits) {
    const std::size_t per_row = std::size_t(pic.width) * pic.channels;
    writePngRows(path, f, pic.width, pic.height, pic.channels, bits, [&](int y, std::uint8_t *row) {
        const float *src = pic.at(0, y);
        if (bits == 16) {
            for (std::size_t i = 0; i < per_row; ++i) {
                unsigned v = QuantizeUnit(src[i], 65535);
                row[2 * i] = std::uint8_t(v >> 8);  // PNG is big-endian
                row[2 * i + 1] = std::uint8_t(v & 0xff);
            }
        } else {
            for (std::size_t i = 0; i < per_row; ++i) row[i] = std::uint8_t(QuantizeUnit(src[i], 255));
        }
    });
}

// ---------------------------------------------------------------- JPEG

struct JpegErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {0};
};

void jpegErrorExit(j_common_ptr cinfo) {
    auto *mgr = reinterpret_cast<JpegErrorMgr *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, mgr->message);
    std::longjmp(mgr->jump, 1);
}
void jpegOutputMessage(j_common_ptr) {}

Picture readJpeg(const std::string &path) {
    File f = openRead(path);
    jpeg_decompress_struct cinfo;
    JpegErrorMgr jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = jpegErrorExit;
    jerr.pub.output_message = jpegOutputMessage;
    std::vector<std::uint8_t> raw;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        throw ImageError("cannot read '" + path + "': " + jerr.message);
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f.get());
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space != JCS_GRAYSCALE) cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    int w = int(cinfo.output_width), h = int(cinfo.output_height), c = cinfo.output_components;
    if (std::int64_t(w) * h > kMaxPixels || (c != 1 && c != 3)) {
        jpeg_destroy_decompress(&cinfo);
        checkSize(path, w, h);
        throw ImageError("cannot read '" + path + "': unsupported JPEG colour layout");
    }
    raw.resize(std::size_t(w) * h * c);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = raw.data() + std::size_t(cinfo.output_scanline) * w * c;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    Picture pic(w, h, c, 8);
    for (std::size_t i = 0; i < raw.size(); ++i) pic.data[i] = float(raw[i]) / 255.0f;
    return pic;
}

void writeJpeg(const std::string &path, std::FILE *f, const Picture &pic) {
    jpeg_compress_struct cinfo;
    JpegErrorMgr jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = jpegErrorExit;
    jerr.pub.output_message = jpegOutputMessage;
    int out_c = pic.channels <= 2 ? 1 : 3;  // JPEG has no alpha
    std::vector<std::uint8_t> row(std::size_t(pic.width) * out_c);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        throw ImageError("cannot write '" + path + "': " + jerr.message);
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = JDIMENSION(pic.width);
    cinfo.image_height = JDIMENSION(pic.height);
    cinfo.input_components = out_c;
    cinfo.in_color_space = out_c == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const float *src = pic.at(0, int(cinfo.next_scanline));
        for (int x = 0; x < pic.width; ++x)
            for (int c = 0; c < out_c; ++c) row[std::size_t(x) * out_c + c] = std::uint8_t(QuantizeUnit(src[x * pic.channels + c], 255));
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
}

// ---------------------------------------------------------------- OpenEXR

Picture readExr(const std::string &path) {
    try {
        Imf::InputFile file(path.c_str());
        const Imf::Header &header = file.header();
        Imath::Box2i dw = header.dataWindow();
        std::int64_t w = std::int64_t(dw.max.x) - dw.min.x + 1, h = std::int64_t(dw.max.y) - dw.min.y + 1;
        checkSize(path, w, h);
        const Imf::ChannelList &chans = header.channels();
        bool rgb = chans.findChannel("R") && chans.findChannel("G") && chans.findChannel("B");
        bool alpha = chans.findChannel("A") != nullptr;
        std::vector<const char *> names;
        if (rgb) names = {"R", "G", "B"};
        else if (chans.findChannel("Y")) names = {"Y"};
        else if (chans.findChannel("R")) names = {"R"};  // a single-channel depth pass
        else if (chans.findChannel("Z")) names = {"Z"};
        else if (!alpha) throw ImageError("cannot read '" + path + "': no R, G, B, Y, Z or A channel");
        // An alpha-only file is read as grey+alpha with white grey, which is what such a matte shows.
        bool alpha_only = names.empty();
        if (alpha) names.push_back("A");
        Picture pic(int(w), int(h), alpha_only ? 2 : int(names.size()), 32);
        Imf::FrameBuffer fb;
        std::size_t xs = sizeof(float) * pic.channels, ys = xs * std::size_t(w);
        char *base = reinterpret_cast<char *>(pic.data.data()) - (std::int64_t(dw.min.x) * xs) -
                     (std::int64_t(dw.min.y) * ys);
        for (std::size_t i = 0; i < names.size(); ++i) {
            int slot = alpha_only ? 1 : int(i);
            fb.insert(names[i], Imf::Slice(Imf::FLOAT, base + slot * sizeof(float), xs, ys, 1, 1,
                                           std::strcmp(names[i], "A") == 0 ? 1.0 : 0.0));
        }
        file.setFrameBuffer(fb);
        file.readPixels(dw.min.y, dw.max.y);
        if (alpha_only)
            for (std::size_t i = 0; i < pic.data.size(); i += 2) pic.data[i] = 1.0f;
        return pic;
    } catch (const ImageError &) {
        throw;
    } catch (const std::exception &e) {
        throw ImageError("cannot read '" + path + "': " + e.what());
    }
}

void writeExr(const std::string &path, const std::string &tmp, const Picture &pic, int bits) {
    try {
        Imf::Header header(pic.width, pic.height);
        Imf::PixelType type = bits == 32 ? Imf::FLOAT : Imf::HALF;
        static const char *kNames[5][4] = {{}, {"Y"}, {"Y", "A"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};
        for (int c = 0; c < pic.channels; ++c) header.channels().insert(kNames[pic.channels][c], Imf::Channel(type));
        Imf::OutputFile file(tmp.c_str(), header);
        Imf::FrameBuffer fb;
        std::vector<half> halves;
        if (type == Imf::HALF) {
            halves.resize(pic.data.size());
            for (std::size_t i = 0; i < halves.size(); ++i) halves[i] = half(pic.data[i]);
        }
        for (int c = 0; c < pic.channels; ++c) {
            if (type == Imf::HALF) {
                std::size_t xs = sizeof(half) * pic.channels;
                fb.insert(kNames[pic.channels][c],
                          Imf::Slice(Imf::HALF, reinterpret_cast<char *>(halves.data() + c), xs, xs * pic.width));
            } else {
                std::size_t xs = sizeof(float) * pic.channels;
                fb.insert(kNames[pic.channels][c],
                          Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(const_cast<float *>(pic.data.data()) + c),
                                     xs, xs * pic.width));
            }
        }
        file.setFrameBuffer(fb);
        file.writePixels(pic.height);
    } catch (const std::exception &e) {
        throw ImageError("cannot write '" + path + "': " + e.what());
    }
}

// ---------------------------------------------------------------- TIFF

thread_local std::string g_tiff_error;
void tiffErrorHandler(const char *module, const char *fmt, va_list ap) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    g_tiff_error = module ? std::string(module) + ": " + buf : std::string(buf);
}
void tiffWarningHandler(const char *, const char *, va_list) {}

struct TiffCloser {
    void operator()(TIFF *t) const {
        if (t) TIFFClose(t);
    }
};

void tiffQuiet() {
    TIFFSetErrorHandler(tiffErrorHandler);
    TIFFSetWarningHandler(tiffWarningHandler);
}

Picture readTiff(const std::string &path) {
    tiffQuiet();
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
    if (!tif) throw ImageError("cannot read '" + path + "': " + g_tiff_error);
    std::uint32_t w = 0, h = 0;
    std::uint16_t spp = 1, bps = 8, fmt = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, photo = PHOTOMETRIC_RGB;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &fmt);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photo);
    checkSize(path, w, h);
    bool direct = planar == PLANARCONFIG_CONTIG && spp >= 1 && spp <= 4 && !TIFFIsTiled(tif.get()) &&
                  (photo == PHOTOMETRIC_MINISBLACK || photo == PHOTOMETRIC_RGB) &&
                  ((fmt == SAMPLEFORMAT_UINT && (bps == 8 || bps == 16)) || (fmt == SAMPLEFORMAT_IEEEFP && bps == 32));
    if (direct && photo == PHOTOMETRIC_RGB && spp < 3) direct = false;
    if (direct && photo == PHOTOMETRIC_MINISBLACK && spp > 2) direct = false;
    if (!direct) {
        // Palette, YCbCr, tiled and other layouts: let libtiff turn them into 8-bit RGBA.
        std::vector<std::uint32_t> rgba(std::size_t(w) * h);
        if (!TIFFReadRGBAImageOriented(tif.get(), w, h, rgba.data(), ORIENTATION_TOPLEFT, 0))
            throw ImageError("cannot read '" + path + "': " + g_tiff_error);
        Picture pic(int(w), int(h), 4, 8);
        for (std::size_t i = 0; i < rgba.size(); ++i) {
            pic.data[4 * i + 0] = float(TIFFGetR(rgba[i])) / 255.0f;
            pic.data[4 * i + 1] = float(TIFFGetG(rgba[i])) / 255.0f;
            pic.data[4 * i + 2] = float(TIFFGetB(rgba[i])) / 255.0f;
            pic.data[4 * i + 3] = float(TIFFGetA(rgba[i])) / 255.0f;
        }
        return pic;
    }
    Picture pic(int(w), int(h), spp, fmt == SAMPLEFORMAT_IEEEFP ? 32 : bps);
    tmsize_t line = TIFFScanlineSize(tif.get());
    std::vector<std::uint8_t> buf(std::size_t(line) + 16);
    std::size_t n = std::size_t(w) * spp;
    if (std::size_t(line) < n * (bps / 8)) throw ImageError("cannot read '" + path + "': inconsistent TIFF rows");
    for (std::uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif.get(), buf.data(), y, 0) < 0)
            throw ImageError("cannot read '" + path + "': " + g_tiff_error);
        float *dst = pic.at(0, int(y));
        if (bps == 8) {
            for (std::size_t i = 0; i < n; ++i) dst[i] = float(buf[i]) / 255.0f;
        } else if (bps == 16) {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint16_t v;
                std::memcpy(&v, buf.data() + 2 * i, 2);
                dst[i] = float(v) / 65535.0f;
            }
        } else {
            std::memcpy(dst, buf.data(), n * sizeof(float));
        }
    }
    return pic;
}

void writeTiff(const std::string &path, const std::string &tmp, const Picture &pic, int bits) {
    tiffQuiet();
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(tmp.c_str(), "w"));
    if (!tif) throw ImageError("cannot write '" + path + "': " + g_tiff_error);
    TIFF *t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(pic.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(pic.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(pic.channels));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(bits));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, std::uint16_t(bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, std::uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, std::uint16_t(pic.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
    TIFFSetField(t, TIFFTAG_COMPRESSION, std::uint16_t(COMPRESSION_ADOBE_DEFLATE));
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    if (pic.has_alpha()) {
        std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), &extra);
    }
    std::size_t n = std::size_t(pic.width) * pic.channels;
    std::vector<std::uint8_t> buf(n * (bits / 8));
    for (int y = 0; y < pic.height; ++y) {
        const float *src = pic.at(0, y);
        if (bits == 8) {
            for (std::size_t i = 0; i < n; ++i) buf[i] = std::uint8_t(QuantizeUnit(src[i], 255));
        } else if (bits == 16) {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint16_t v = std::uint16_t(QuantizeUnit(src[i], 65535));
                std::memcpy(buf.data() + 2 * i, &v, 2);
            }
        } else {
            std::memcpy(buf.data(), src, n * sizeof(float));
        }
        if (TIFFWriteScanline(t, buf.data(), std::uint32_t(y), 0) < 0)
            throw ImageError("cannot write '" + path + "': " + g_tiff_error);
    }
    if (!TIFFFlush(t)) throw ImageError("cannot write '" + path + "': " + g_tiff_error);
}

// ---------------------------------------------------------------- PNM / PAM

// Reads the whitespace- and comment-separated header tokens of P1-P6 files.
class PnmHeader {
public:
    PnmHeader(std::FILE *f, const std::string &path) : f_(f), path_(path) {}
    long number() {
        int c = skip();
        if (c < '0' || c > '9') fail("bad header");
        long v = 0;
        while (c >= '0' && c <= '9') {
            v = v * 10 + (c - '0');
            if (v > 100000000) fail("header value too large");
            c = std::fgetc(f_);
        }
        return v;  // the one whitespace character after the number has been consumed
    }
    [[noreturn]] void fail(const std::string &why) { throw ImageError("cannot read '" + path_ + "': " + why); }

private:
    int skip() {
        int c = std::fgetc(f_);
        for (;;) {
            if (c == '#') {
                while (c != '\n' && c != EOF) c = std::fgetc(f_);
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                c = std::fgetc(f_);
            } else {
                return c;
            }
        }
    }
    std::FILE *f_;
    const std::string &path_;
};

void readSamples(std::FILE *f, PnmHeader &hdr, Picture &pic, long maxval, bool binary) {
    std::size_t n = pic.data.size();
    float scale = 1.0f / float(maxval);
    if (!binary) {
        for (std::size_t i = 0; i < n; ++i) {
            long v = hdr.number();
            if (v > maxval) hdr.fail("sample above the maximum value");
            pic.data[i] = float(v) * scale;
        }
        return;
    }
    int bytes = maxval > 255 ? 2 : 1;
    std::vector<std::uint8_t> raw(n * bytes);
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size()) hdr.fail("file is truncated");
    for (std::size_t i = 0; i < n; ++i) {
        long v = bytes == 2 ? (long(raw[2 * i]) << 8 | raw[2 * i + 1]) : long(raw[i]);
        if (v > maxval) hdr.fail("sample above the maximum value");
        pic.data[i] = float(v) * scale;
    }
}

Picture readPnm(const std::string &path) {
    File f = openRead(path);
    PnmHeader hdr(f.get(), path);
    char magic[2];
    if (std::fread(magic, 1, 2, f.get()) != 2 || magic[0] != 'P') hdr.fail("not a PNM file");
    char kind = magic[1];
    if (kind == '7') {
        // PAM: "KEY value" lines up to ENDHDR.
        long w = -1, h = -1, depth = -1, maxval = -1;
        std::string tupltype;
        char line[256];
        bool ended = false;
        while (std::fgets(line, sizeof line, f.get())) {
            std::string s(line);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
            if (s.empty() || s[0] == '#') continue;
            if (s == "ENDHDR") {
                ended = true;
                break;
            }
            std::size_t sp = s.find(' ');
            std::string key = s.substr(0, sp), val = sp == std::string::npos ? "" : s.substr(sp + 1);
            auto num = [&](long *out) {
                char *end = nullptr;
                long v = std::strtol(val.c_str(), &end, 10);
                if (val.empty() || *end != '\0' || v < 0 || v > 100000000) hdr.fail("bad PAM header value for " + key);
                *out = v;
            };
            if (key == "WIDTH") num(&w);
            else if (key == "HEIGHT") num(&h);
            else if (key == "DEPTH") num(&depth);
            else if (key == "MAXVAL") num(&maxval);
            else if (key == "TUPLTYPE") tupltype += val;
        }
        if (!ended) hdr.fail("PAM header without ENDHDR");
        if (depth < 1 || depth > 4) hdr.fail("PAM depth must be 1 to 4");
        if (maxval < 1 || maxval > 65535) hdr.fail("PAM maximum value must be 1 to 65535");
        checkSize(path, w, h);
        Picture pic(int(w), int(h), int(depth), maxval > 255 ? 16 : 8);
        readSamples(f.get(), hdr, pic, maxval, true);
        return pic;
    }
    if (kind != '2' && kind != '3' && kind != '5' && kind != '6')
        hdr.fail(std::string("unsupported PNM variant P") + kind);
    long w = hdr.number(), h = hdr.number(), maxval = hdr.number();
    if (maxval < 1 || maxval > 65535) hdr.fail("maximum value must be 1 to 65535");
    checkSize(path, w, h);
    int channels = (kind == '3' || kind == '6') ? 3 : 1;
    Picture pic(int(w), int(h), channels, maxval > 255 ? 16 : 8);
    readSamples(f.get(), hdr, pic, maxval, kind == '5' || kind == '6');
    return pic;
}

void writePnmHeader(std::FILE *f, int width, int height, int out_c, unsigned maxval, FileFormat format) {
    if (format == FileFormat::kPam) {
        static const char *kTypes[5] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
        std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %u\nTUPLTYPE %s\nENDHDR\n", width, height, out_c,
                     maxval, kTypes[out_c]);
    } else {
        std::fprintf(f, "P%c\n%d %d\n%u\n", format == FileFormat::kPpm ? '6' : '5', width, height, maxval);
    }
}

void writePnm(std::FILE *f, const Picture &pic, FileFormat format, int bits) {
    unsigned maxval = bits == 16 ? 65535 : 255;
    int out_c = format == FileFormat::kPpm ? 3 : format == FileFormat::kPgm ? 1 : pic.channels;
    writePnmHeader(f, pic.width, pic.height, out_c, maxval, format);
    int bytes = bits == 16 ? 2 : 1;
    std::vector<std::uint8_t> row(std::size_t(pic.width) * out_c * bytes);
    for (int y = 0; y < pic.height; ++y) {
        const float *src = pic.at(0, y);
        if (out_c == pic.channels && bytes == 1) {
            // The usual case, a picture written with its own channels at 8 bits: one plain run of values.
            const std::size_t n = row.size();
            for (std::size_t i = 0; i < n; ++i) row[i] = std::uint8_t(QuantizeUnit(src[i], 255));
            std::fwrite(row.data(), 1, n, f);
            continue;
        }
        std::size_t k = 0;
        for (int x = 0; x < pic.width; ++x, src += pic.channels) {
            float v[4];
            if (out_c == pic.channels) {
                for (int c = 0; c < out_c; ++c) v[c] = src[c];
            } else if (out_c == 3) {  // grey to RGB; alpha dropped
                float g = src[0];
                if (pic.channels >= 3) v[0] = src[0], v[1] = src[1], v[2] = src[2];
                else v[0] = v[1] = v[2] = g;
            } else {  // to grey: the mean of the colours, as the effect reads depth
                v[0] = pic.channels >= 3 ? (src[0] + src[1] + src[2]) / 3.0f : src[0];
            }
            for (int c = 0; c < out_c; ++c) {
                unsigned q = QuantizeUnit(v[c], maxval);
                if (bytes == 2) {
                    row[k++] = std::uint8_t(q >> 8);
                    row[k++] = std::uint8_t(q & 0xff);
                } else {
                    row[k++] = std::uint8_t(q);
                }
            }
        }
        std::fwrite(row.data(), 1, row.size(), f);
    }
}

// Temporary files being written, where a signal handler can find them: a fixed table of plain character
// arrays, because the handler may only call async-signal-safe functions (unlink) and read lock-free flags.
struct PendingSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a path
    char path[4096];
};
PendingSlot g_pending[64];

int registerPending(const std::string &path) {
    if (path.size() >= sizeof g_pending[0].path) return -1;
    for (int i = 0; i < 64; ++i) {
        int expected = 0;
        if (g_pending[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(g_pending[i].path, path.c_str(), path.size() + 1);
            g_pending[i].state.store(2);
            return i;
        }
    }
    return -1;
}

void removePendingOnSignal(int sig) {
    for (PendingSlot &slot : g_pending)
        if (slot.state.load() == 2) ::unlink(slot.path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The temporary file beside the target that becomes the target only once complete.
class TempFile {
public:
    explicit TempFile(const std::string &target) : target_(target) {
        std::size_t slash = target.find_last_of('/');
        std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        path_ = dir + "." + base + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter_++);
        slot_ = registerPending(path_);
    }
    ~TempFile() {
        if (!committed_) std::remove(path_.c_str());
        if (slot_ >= 0) g_pending[slot_].state.store(0);
    }
    const std::string &path() const { return path_; }
    void Commit() {
        if (std::rename(path_.c_str(), target_.c_str()) != 0)
            throw ImageError("cannot write '" + target_ + "': " + std::strerror(errno));
        committed_ = true;
    }

private:
    static inline std::atomic<unsigned> counter_{0};
    std::string target_, path_;
    int slot_ = -1;
    bool committed_ = false;
};

}  // namespace

FileFormat FormatFromPath(const std::string &path) {
    std::string ext = lowerExtension(path);
    if (ext == "png") return FileFormat::kPng;
    if (ext == "exr") return FileFormat::kExr;
    if (ext == "tif" || ext == "tiff") return FileFormat::kTiff;
    if (ext == "jpg" || ext == "jpeg") return FileFormat::kJpeg;
    if (ext == "ppm") return FileFormat::kPpm;
    if (ext == "pgm") return FileFormat::kPgm;
    if (ext == "pam" || ext == "pnm") return FileFormat::kPam;
    throw ImageError("cannot write '" + path + "': unknown picture format '." + ext +
                     "' (use .png, .exr, .tif, .jpg, .ppm, .pgm or .pam)");
}

const char *FormatName(FileFormat format) {
    switch (format) {
    case FileFormat::kPng: return "PNG";
    case FileFormat::kExr: return "OpenEXR";
    case FileFormat::kTiff: return "TIFF";
    case FileFormat::kJpeg: return "JPEG";
    case FileFormat::kPpm: return "PPM";
    case FileFormat::kPgm: return "PGM";
    case FileFormat::kPam: return "PAM";
    }
    return "?";
}

bool FormatHolds(FileFormat format, int bits) {
    switch (format) {
    case FileFormat::kJpeg: return bits == 8;
    case FileFormat::kPng:
    case FileFormat::kPpm:
    case FileFormat::kPgm:
    case FileFormat::kPam: return bits == 8 || bits == 16;
    case FileFormat::kExr: return bits == 16 || bits == 32;  // half and float
    case FileFormat::kTiff: return bits == 8 || bits == 16 || bits == 32;
    }
    return false;
}

int BitsStoredBy(FileFormat format, int bits) {
    if (FormatHolds(format, bits)) return bits;
    if (format == FileFormat::kJpeg) return 8;
    if (format == FileFormat::kExr) return 16;  // 8-bit values are exact in half
    return 16;                                 // float into an integer format: its deepest
}

Picture ReadPicture(const std::string &path) {
    File f = openRead(path);
    unsigned char magic[8] = {0};
    std::size_t got = std::fread(magic, 1, sizeof magic, f.get());
    f.reset();
    if (got >= 8 && png_sig_cmp(magic, 0, 8) == 0) return readPng(path);
    if (got >= 4 && magic[0] == 0x76 && magic[1] == 0x2f && magic[2] == 0x31 && magic[3] == 0x01) return readExr(path);
    if (got >= 3 && magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff) return readJpeg(path);
    if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
                     (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42)))
        return readTiff(path);
    if (got >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '7') return readPnm(path);
    if (got == 0) throw ImageError("cannot read '" + path + "': the file is empty");
    throw ImageError("cannot read '" + path + "': not a PNG, OpenEXR, TIFF, JPEG or PNM/PAM file");
}

void RemoveUnfinishedFilesOnInterrupt() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, removePendingOnSignal);
}

namespace {

// Runs write(f) on a temporary file beside the path, then puts the finished file in place.
template <typename Write>
void writeThroughTemporary(const std::string &path, const TempFile &tmp, Write write) {
    File f(std::fopen(tmp.path().c_str(), "wb"));
    if (!f) throw ImageError("cannot write '" + path + "': " + std::strerror(errno));
    write(f.get());
    if (std::fflush(f.get()) != 0 || std::ferror(f.get()))
        throw ImageError("cannot write '" + path + "': " + std::strerror(errno));
    if (std::fclose(f.release()) != 0) throw ImageError("cannot write '" + path + "': " + std::strerror(errno));
}

}  // namespace

void WritePicture(const std::string &path, const Picture &picture, int bits) {
    FileFormat format = FormatFromPath(path);
    if (picture.width <= 0 || picture.height <= 0 || picture.channels < 1 || picture.channels > 4 ||
        picture.data.size() != std::size_t(picture.width) * picture.height * picture.channels)
        throw ImageError("cannot write '" + path + "': the picture is empty or malformed");
    bits = BitsStoredBy(format, bits);
    TempFile tmp(path);
    if (format == FileFormat::kExr) {
        writeExr(path, tmp.path(), picture, bits);
    } else if (format == FileFormat::kTiff) {
        writeTiff(path, tmp.path(), picture, bits);
    } else {
        writeThroughTemporary(path, tmp, [&](std::FILE *f) {
            if (format == FileFormat::kPng) writePng(path, f, picture, bits);
            else if (format == FileFormat::kJpeg) writeJpeg(path, f, picture);
            else writePnm(f, picture, format, bits);
        });
    }
    tmp.Commit();
}

void WritePicture8(const std::string &path, const Picture8 &picture) {
    FileFormat format = FormatFromPath(path);
    const int c = picture.channels;
    if (picture.width <= 0 || picture.height <= 0 || c < 1 || c > 4 ||
        picture.data.size() != std::size_t(picture.width) * picture.height * c)
        throw ImageError("cannot write '" + path + "': the picture is empty or malformed");
    // PNG and PAM store the samples as they are, and PPM the colour ones; the rest (a grey mean, other formats)
    // go through the normalised picture, whose values v / 255 quantise back to v.
    const bool asIs =
        format == FileFormat::kPng || format == FileFormat::kPam || (format == FileFormat::kPpm && c >= 3);
    if (!asIs) {
        Picture normalised(picture.width, picture.height, c, 8);
        const float inv = 1.0f / 255.0f;
        for (std::size_t i = 0; i < picture.data.size(); ++i) normalised.data[i] = float(picture.data[i]) * inv;
        WritePicture(path, normalised, 8);
        return;
    }
    const int out_c = format == FileFormat::kPpm ? 3 : c;
    const std::size_t row_samples = std::size_t(picture.width) * std::size_t(out_c);
    // A row of the file: the picture's own row, or its colour samples without alpha.
    auto fill = [&](int y, std::uint8_t *row) {
        const std::uint8_t *src = picture.data.data() + std::size_t(y) * std::size_t(picture.width) * std::size_t(c);
        if (out_c == c) {
            std::memcpy(row, src, row_samples);
            return;
        }
        for (int x = 0; x < picture.width; ++x, src += c, row += 3) row[0] = src[0], row[1] = src[1], row[2] = src[2];
    };
    TempFile tmp(path);
    writeThroughTemporary(path, tmp, [&](std::FILE *f) {
        if (format == FileFormat::kPng) {
            writePngRows(path, f, picture.width, picture.height, out_c, 8, fill);
            return;
        }
        writePnmHeader(f, picture.width, picture.height, out_c, 255, format);
        std::vector<std::uint8_t> row(row_samples);
        for (int y = 0; y < picture.height; ++y) {
            fill(y, row.data());
            std::fwrite(row.data(), 1, row.size(), f);
        }
    });
    tmp.Commit();
}

}  // namespace vbcli
