// Build-time tool: writes the property list resource file that the plug-in packaging carries.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "resources/pipl.h"

namespace {

int Usage() {
    std::cerr << "usage: make_pipl [--big-endian] [--mac] <output file>\n"
                 "  --big-endian  integers most significant byte first (default: little-endian)\n"
                 "  --mac         entry point of the macOS x86_64 code (default: Windows x64)\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    vellumbra::PiplOptions options;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--big-endian") == 0) {
            options.byte_order = vellumbra::PiplByteOrder::kBigEndian;
        } else if (std::strcmp(argv[i], "--mac") == 0) {
            options.entry_target = vellumbra::PiplEntryTarget::kMacX64;
        } else if (argv[i][0] == '-' || path != nullptr) {
            std::cerr << "make_pipl: unexpected argument '" << argv[i] << "'\n";
            return Usage();
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) return Usage();

    std::vector<std::uint8_t> bytes;
    try {
        bytes = vellumbra::BuildPipl(options);
    } catch (const std::exception &e) {
        std::cerr << "make_pipl: " << e.what() << "\n";
        return 1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "make_pipl: cannot write '" << path << "'\n";
        std::remove(path);
        return 1;
    }
    return 0;
}
