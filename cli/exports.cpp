// Reads an ELF file's dynamic symbol table to list what it exports; every offset is bounds-checked.
#include "cli/exports.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vbcli {
namespace {

template <class T>
bool readAt(const std::vector<char> &file, std::uint64_t offset, T *out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(out, file.data() + offset, sizeof(T));
    return true;
}

// The fields we use of the ELF64 records, at their fixed offsets.
struct SectionHeader {
    std::uint32_t type = 0, link = 0;
    std::uint64_t offset = 0, size = 0, entsize = 0;
};

}  // namespace

bool ListExportedSymbols(const std::string &path, std::vector<std::string> *names, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open the file";
        return false;
    }
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 64 || std::memcmp(file.data(), "\x7f" "ELF", 4) != 0 || file[4] != 2 || file[5] != 1) {
        *error = "not a 64-bit little-endian ELF file";
        return false;
    }
    std::uint64_t shoff = 0;
    std::uint16_t shentsize = 0, shnum = 0;
    readAt(file, 0x28, &shoff);
    readAt(file, 0x3A, &shentsize);
    readAt(file, 0x3C, &shnum);
    if (shentsize < 64) {
        *error = "malformed section headers";
        return false;
    }
    auto section = [&](std::uint32_t i, SectionHeader *sh) {
        std::uint64_t base = shoff + std::uint64_t(i) * shentsize;
        return readAt(file, base + 0x04, &sh->type) && readAt(file, base + 0x18, &sh->offset) &&
               readAt(file, base + 0x20, &sh->size) && readAt(file, base + 0x28, &sh->link) &&
               readAt(file, base + 0x38, &sh->entsize);
    };
    names->clear();
    for (std::uint32_t i = 0; i < shnum; ++i) {
        SectionHeader sym;
        if (!section(i, &sym) || sym.type != 11 /* SHT_DYNSYM */ || sym.entsize < 24) continue;
        SectionHeader str;
        if (!section(sym.link, &str)) break;
        for (std::uint64_t off = sym.offset; off + 24 <= sym.offset + sym.size; off += sym.entsize) {
            std::uint32_t name = 0;
            unsigned char info = 0;
            std::uint16_t shndx = 0;
            if (!readAt(file, off, &name) || !readAt(file, off + 4, &info) || !readAt(file, off + 6, &shndx)) break;
            int bind = info >> 4, type = info & 0xf;
            bool global = bind == 1 /* GLOBAL */ || bind == 2 /* WEAK */;
            bool kind = type == 1 /* OBJECT */ || type == 2 /* FUNC */;
            if (!global || !kind || shndx == 0 /* undefined: imported, not exported */) continue;
            std::uint64_t at = str.offset + name;
            if (at >= file.size()) continue;
            const char *s = file.data() + at;
            std::size_t len = strnlen(s, file.size() - at);
            names->emplace_back(s, len);
        }
    }
    std::sort(names->begin(), names->end());
    return true;
}

}  // namespace vbcli
