// Build-time tool: wraps one resource (type, id, bytes from a file) in a classic Mac resource-fork file, the
// form a macOS bundle's Resources/<name>.rsrc takes; no tool on a Linux machine writes this format.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Everything in a resource fork is big-endian.
void Put16(std::vector<std::uint8_t> &out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void Put24(std::vector<std::uint8_t> &out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    Put16(out, v);
}
void Put32(std::vector<std::uint8_t> &out, std::uint32_t v) {
    Put16(out, v >> 16);
    Put16(out, v);
}

// Layout: a 16-byte header (data offset, map offset, data length, map length) in a 256-byte block reserved
// for the system and the application; the resource data (each resource as its 32-bit length and its bytes);
// then the map: a copy of the header, 12 bytes the Resource Manager fills in at run time, the offsets of the
// type list and the name list, the type list (count - 1, then per type its code, its resource count - 1 and
// the offset of its reference list), the reference list (id, name offset or -1 for no name, attributes, the
// 24-bit offset of the data) and an empty name list.
std::vector<std::uint8_t> BuildResourceFork(const char (&type)[5], std::int16_t id,
                                            const std::vector<std::uint8_t> &data) {
    constexpr std::uint32_t kDataOffset = 256;
    constexpr std::uint32_t kMapHeaderLength = 28;
    constexpr std::uint32_t kTypeListLength = 2 + 8;
    constexpr std::uint32_t kReferenceLength = 12;
    const std::uint32_t data_length = 4 + static_cast<std::uint32_t>(data.size());
    const std::uint32_t map_offset = kDataOffset + data_length;
    const std::uint32_t map_length = kMapHeaderLength + kTypeListLength + kReferenceLength;

    std::vector<std::uint8_t> header;
    Put32(header, kDataOffset);
    Put32(header, map_offset);
    Put32(header, data_length);
    Put32(header, map_length);

    std::vector<std::uint8_t> out(header);
    out.resize(kDataOffset, 0);

    Put32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());

    out.insert(out.end(), header.begin(), header.end());
    Put32(out, 0);  // handle to the next map
    Put16(out, 0);  // file reference number
    Put16(out, 0);  // fork attributes
    Put16(out, kMapHeaderLength);                                      // type list
    Put16(out, kMapHeaderLength + kTypeListLength + kReferenceLength);  // name list
    Put16(out, 0);  // one type
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(type[i]));
    Put16(out, 0);                // one resource of this type
    Put16(out, kTypeListLength);  // its reference list, from the start of the type list
    Put16(out, static_cast<std::uint16_t>(id));
    Put16(out, 0xFFFF);  // no name
    out.push_back(0);    // attributes
    Put24(out, 0);       // data offset, from the start of the resource data
    Put32(out, 0);       // handle, filled in at run time
    return out;
}

int Usage() {
    std::cerr << "usage: make_rsrc <type, four characters> <id> <data file> <output file>\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5 || std::strlen(argv[1]) != 4) return Usage();
    char type[5] = {};
    std::memcpy(type, argv[1], 4);

    char *end = nullptr;
    const long id = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || id < -32768 || id > 32767) {
        std::cerr << "make_rsrc: resource id '" << argv[2] << "' is not a 16-bit integer\n";
        return 2;
    }

    std::ifstream in(argv[3], std::ios::binary);
    if (!in) {
        std::cerr << "make_rsrc: cannot read '" << argv[3] << "'\n";
        return 1;
    }
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The reference list holds the data offset in 24 bits; one resource sits at offset 0, but its length
    // still has to fit the header's 32-bit fields and the Resource Manager's limits.
    if (data.empty() || data.size() > 0xFFFFFFu - 4) {
        std::cerr << "make_rsrc: '" << argv[3] << "' is empty or too large for a resource\n";
        return 1;
    }

    const auto fork = BuildResourceFork(type, static_cast<std::int16_t>(id), data);
    std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(fork.data()), static_cast<std::streamsize>(fork.size()));
    out.close();
    if (!out) {
        std::cerr << "make_rsrc: cannot write '" << argv[4] << "'\n";
        std::remove(argv[4]);
        return 1;
    }
    return 0;
}
