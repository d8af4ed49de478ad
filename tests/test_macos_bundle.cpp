// Structural checks of the macOS deliverable Vellumbra.plugin, which cannot be loaded here: the Mach-O bundle's
// type, exports and imports, the bundle's files, Info.plist and the property list in the resource file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "resources/pipl.h"
#include "shell/identity.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kBundle = VELLUMBRA_MACOS_BUNDLE;
const std::string kContents = kBundle + "/Contents";

Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string &path) { return std::ifstream(path).good(); }

// Bounds-checked reads; a read past the end fails the test that made it and yields 0.
struct Reader {
    const Bytes &b;
    bool big_endian;
    bool ok = true;

    std::uint64_t Uint(std::size_t at, int count) {
        if (at + count > b.size() || at + count < at) {
            ok = false;
            ADD_FAILURE() << "read of " << count << " bytes at " << at << " beyond the end (" << b.size() << ")";
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < count; ++i) {
            const std::uint8_t byte = b[at + (big_endian ? i : count - 1 - i)];
            v = (v << 8) | byte;
        }
        return v;
    }
    std::uint32_t U32(std::size_t at) { return static_cast<std::uint32_t>(Uint(at, 4)); }
    std::uint16_t U16(std::size_t at) { return static_cast<std::uint16_t>(Uint(at, 2)); }
    std::string CString(std::size_t at) {
        std::string s;
        while (at < b.size() && b[at] != 0) s.push_back(static_cast<char>(b[at++]));
        if (at >= b.size()) {
            ok = false;
            ADD_FAILURE() << "unterminated string";
        }
        return s;
    }
    std::uint64_t Uleb(std::size_t &at) {
        std::uint64_t v = 0;
        for (int shift = 0; at < b.size() && shift < 64; shift += 7) {
            const std::uint8_t byte = b[at++];
            v |= std::uint64_t(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return v;
        }
        ok = false;
        ADD_FAILURE() << "bad ULEB128 number";
        return 0;
    }
};

// ---------------------------------------------------------------------------------------------------------
// Mach-O

struct MachO {
    std::uint32_t magic = 0, cputype = 0, filetype = 0;
    std::vector<std::string> dylibs;  // LC_LOAD_DYLIB in order: library ordinal i is dylibs[i - 1]
    std::set<std::string> symtab_exports;
    std::set<std::string> trie_exports;
    struct Undefined {
        std::string name;
        int ordinal;
    };
    std::vector<Undefined> undefined;
};

void WalkExportTrie(Reader &r, std::size_t trie, std::size_t size, std::size_t node, const std::string &prefix,
                    std::set<std::string> *out, int depth) {
    if (depth > 64 || node >= size || !r.ok) {
        ADD_FAILURE() << "export trie malformed at node " << node;
        return;
    }
    std::size_t at = trie + node;
    const std::uint64_t terminal = r.Uleb(at);
    if (terminal > 0) out->insert(prefix);
    at += terminal;
    const std::uint64_t children = r.Uint(at, 1);
    ++at;
    for (std::uint64_t i = 0; i < children && r.ok; ++i) {
        const std::string edge = r.CString(at);
        at += edge.size() + 1;
        const std::uint64_t child = r.Uleb(at);
        WalkExportTrie(r, trie, size, static_cast<std::size_t>(child), prefix + edge, out, depth + 1);
    }
}

MachO ParseMachO(const Bytes &b) {
    MachO m;
    Reader r{b, false};
    m.magic = r.U32(0);
    if (m.magic != 0xFEEDFACFu) return m;
    m.cputype = r.U32(4);
    m.filetype = r.U32(12);
    const std::uint32_t ncmds = r.U32(16);
    std::size_t at = 32;
    std::uint32_t symoff = 0, nsyms = 0, stroff = 0, strsize = 0, export_off = 0, export_size = 0;
    for (std::uint32_t i = 0; i < ncmds && r.ok; ++i) {
        const std::uint32_t cmd = r.U32(at), size = r.U32(at + 4);
        switch (cmd) {
            case 0x2:  // LC_SYMTAB
                symoff = r.U32(at + 8), nsyms = r.U32(at + 12), stroff = r.U32(at + 16), strsize = r.U32(at + 20);
                break;
            case 0xC:  // LC_LOAD_DYLIB
                m.dylibs.push_back(r.CString(at + r.U32(at + 8)));
                break;
            case 0x80000022:  // LC_DYLD_INFO_ONLY
                export_off = r.U32(at + 40), export_size = r.U32(at + 44);
                break;
            case 0x80000033:  // LC_DYLD_EXPORTS_TRIE
                export_off = r.U32(at + 8), export_size = r.U32(at + 12);
                break;
            default:
                break;
        }
        if (size < 8) {
            ADD_FAILURE() << "load command " << i << " has size " << size;
            break;
        }
        at += size;
    }
    for (std::uint32_t i = 0; i < nsyms && r.ok; ++i) {
        const std::size_t entry = symoff + std::size_t(i) * 16;
        const std::uint32_t strx = r.U32(entry);
        const std::uint8_t type = static_cast<std::uint8_t>(r.Uint(entry + 4, 1));
        const std::uint16_t desc = r.U16(entry + 6);
        if (strx >= strsize) {
            ADD_FAILURE() << "symbol " << i << " names string " << strx << " beyond the table";
            continue;
        }
        const std::string name = r.CString(stroff + strx);
        const bool stab = type & 0xE0, private_ext = type & 0x10, external = type & 0x01;
        const int kind = type & 0x0E;
        if (stab || !external) continue;
        if (kind == 0x0) {
            m.undefined.push_back({name, (desc >> 8) & 0xFF});
        } else if (kind == 0xE && !private_ext) {
            m.symtab_exports.insert(name);
        }
    }
    if (export_size > 0) WalkExportTrie(r, export_off, export_size, 0, "", &m.trie_exports, 0);
    return m;
}

// A text stub (.tbd): its install name and the symbols it exports.
struct Stub {
    std::string install_name;
    std::set<std::string> symbols;
};

Stub ParseStub(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    Stub stub;
    const auto name_at = s.find("install-name:");
    if (name_at != std::string::npos) {
        const auto open = s.find('\'', name_at), close = s.find('\'', open + 1);
        if (open != std::string::npos && close != std::string::npos)
            stub.install_name = s.substr(open + 1, close - open - 1);
    }
    for (auto at = s.find("symbols:"); at != std::string::npos; at = s.find("symbols:", at + 1)) {
        const auto open = s.find('[', at), close = s.find(']', open);
        if (open == std::string::npos || close == std::string::npos) break;
        std::string token;
        for (std::size_t i = open + 1; i <= close; ++i) {
            const char c = s[i];
            if (c == ',' || c == ']' || c == ' ' || c == '\n' || c == '\t') {
                if (!token.empty()) stub.symbols.insert(token);
                token.clear();
            } else {
                token.push_back(c);
            }
        }
    }
    return stub;
}

TEST(MacBundle, ExecutableIsAnX86_64BundleExportingOnlyTheTwoEntryPoints) {
    const Bytes exe = ReadFile(kContents + "/MacOS/Vellumbra");
    ASSERT_FALSE(exe.empty()) << "no bundle executable at " << kContents << "/MacOS/Vellumbra";
    const MachO m = ParseMachO(exe);
    EXPECT_EQ(m.magic, 0xFEEDFACFu) << "not a 64-bit Mach-O file";
    EXPECT_EQ(m.cputype, 0x01000007u) << "CPU type is not x86_64";
    EXPECT_EQ(m.filetype, 8u) << "file type is not MH_BUNDLE";

    const std::set<std::string> expected = {"_EffectMain", "_PluginDataEntryFunction"};
    EXPECT_EQ(m.trie_exports, expected) << "exports in the dynamic loader's export trie";
    EXPECT_EQ(m.symtab_exports, expected) << "external defined symbols of the symbol table";
}

TEST(MacBundle, EverySymbolItImportsComesFromTheLibraryThatOurStubsSayProvidesIt) {
    const Bytes exe = ReadFile(kContents + "/MacOS/Vellumbra");
    ASSERT_FALSE(exe.empty());
    const MachO m = ParseMachO(exe);

    std::map<std::string, Stub> stubs;
    for (const char *path : {VELLUMBRA_MACOS_STUB_SYSTEM, VELLUMBRA_MACOS_STUB_CXX}) {
        Stub stub = ParseStub(path);
        ASSERT_FALSE(stub.install_name.empty()) << path;
        ASSERT_FALSE(stub.symbols.empty()) << path;
        stubs[stub.install_name] = stub;
    }
    for (const std::string &dylib : m.dylibs) {
        EXPECT_TRUE(stubs.count(dylib)) << "the bundle loads " << dylib << ", for which we have no stub";
    }
    ASSERT_FALSE(m.undefined.empty()) << "the bundle imports nothing, not even memcpy: symbol table not read";
    for (const auto &u : m.undefined) {
        ASSERT_GE(u.ordinal, 1) << u.name << " is not bound to a library (flat namespace or dynamic lookup)";
        ASSERT_LE(u.ordinal, static_cast<int>(m.dylibs.size())) << u.name;
        const std::string &dylib = m.dylibs[u.ordinal - 1];
        EXPECT_TRUE(stubs[dylib].symbols.count(u.name)) << u.name << " is imported from " << dylib
                                                        << ", whose stub does not export it";
    }
}

TEST(MacBundle, HasItsFilesAndPkgInfo) {
    for (const char *file : {"/Info.plist", "/PkgInfo", "/MacOS/Vellumbra", "/Resources/Vellumbra.rsrc"}) {
        EXPECT_TRUE(FileExists(kContents + file)) << "missing " << kContents << file;
    }
    const Bytes pkginfo = ReadFile(kContents + "/PkgInfo");
    EXPECT_EQ(std::string(pkginfo.begin(), pkginfo.end()), "eFKTFXTC");
}

// ---------------------------------------------------------------------------------------------------------
// Info.plist, read back by Python's plistlib, which rejects anything that is not a well-formed property list.

std::map<std::string, std::string> ReadPlistWithPython(const std::string &path, std::string *error) {
    const std::string out_path = ::testing::TempDir() + "vellumbra_plist_dump.txt";
    const std::string command = std::string("\"") + VELLUMBRA_PYTHON3 +
                                "\" -c \"import plistlib,sys\n"
                                "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                                "assert isinstance(d,dict)\n"
                                "o=open(sys.argv[2],'w')\n"
                                "[o.write(k+'='+str(v)+chr(10)) for k,v in sorted(d.items())]\" \"" +
                                path + "\" \"" + out_path + "\"";
    std::remove(out_path.c_str());
    if (std::system(command.c_str()) != 0) {
        *error = "plistlib rejected " + path;
        return {};
    }
    std::map<std::string, std::string> values;
    std::ifstream in(out_path);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::string VersionText(A_u_long packed) {
    const unsigned version = ((packed >> 26) & 0xF) << 3 | ((packed >> 19) & 0x7);
    return std::to_string(version) + "." + std::to_string((packed >> 15) & 0xF) + "." +
           std::to_string((packed >> 11) & 0xF);
}

std::string CodeText(A_long code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((code >> shift) & 0xFF));
    return s;
}

TEST(MacBundle, InfoPlistIsAValidPropertyListCarryingTheEffectsIdentity) {
    std::string error;
    auto plist = ReadPlistWithPython(kContents + "/Info.plist", &error);
    ASSERT_TRUE(error.empty()) << error;

    const vellumbra::EffectIdentity &id = vellumbra::kIdentity;
    const std::map<std::string, std::string> expected = {
        {"CFBundleExecutable", "Vellumbra"},
        {"CFBundleName", id.name},
        {"CFBundlePackageType", CodeText(id.kind)},
        {"CFBundleSignature", "FXTC"},
        {"CFBundleShortVersionString", VersionText(id.my_version)},
        {"CFBundleVersion", VersionText(id.my_version)},
    };
    for (const auto &[key, value] : expected) {
        EXPECT_EQ(plist[key], value) << key;
    }
    EXPECT_NE(plist["CFBundleIdentifier"].find('.'), std::string::npos)
        << "bundle identifier '" << plist["CFBundleIdentifier"] << "' is not in reverse-domain form";
    EXPECT_TRUE(FileExists(kContents + "/MacOS/" + plist["CFBundleExecutable"]))
        << "CFBundleExecutable names no file in Contents/MacOS";
}

// ---------------------------------------------------------------------------------------------------------
// The resource file and the property list in it.

// Finds one resource in a classic resource-fork file; fails the test on any inconsistency of the format.
Bytes FindResource(const Bytes &fork, const std::string &type, int id) {
    Reader r{fork, true};
    const std::uint32_t data_off = r.U32(0), map_off = r.U32(4), data_len = r.U32(8), map_len = r.U32(12);
    EXPECT_EQ(std::size_t(map_off) + map_len, fork.size()) << "map does not end the file";
    EXPECT_LE(std::size_t(data_off) + data_len, map_off) << "data overlaps the map";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fork[map_off + i], fork[i]) << "map's header copy differs at " << i;
    const std::size_t type_list = map_off + r.U16(map_off + 24);
    const int types = r.U16(type_list) + 1;
    for (int t = 0; t < types && r.ok; ++t) {
        const std::size_t entry = type_list + 2 + std::size_t(t) * 8;
        const std::string code(fork.begin() + entry, fork.begin() + entry + 4);
        const int count = r.U16(entry + 4) + 1;
        const std::size_t refs = type_list + r.U16(entry + 6);
        for (int k = 0; k < count && r.ok; ++k) {
            const std::size_t ref = refs + std::size_t(k) * 12;
            const int res_id = static_cast<std::int16_t>(r.U16(ref));
            if (code != type || res_id != id) continue;
            const std::size_t at = data_off + static_cast<std::size_t>(r.Uint(ref + 5, 3));
            const std::uint32_t length = r.U32(at);
            EXPECT_LE(at + 4 + length, std::size_t(data_off) + data_len) << "resource data beyond the data area";
            if (at + 4 + length > fork.size()) return {};
            return Bytes(fork.begin() + at + 4, fork.begin() + at + 4 + length);
        }
    }
    ADD_FAILURE() << "no resource '" << type << "' " << id;
    return {};
}

struct Property {
    std::string vendor, key;
    std::uint32_t id = 0, length = 0;
    Bytes value;
};

std::string Code(Reader &r, std::size_t at) { return CodeText(static_cast<A_long>(r.U32(at))); }

std::vector<Property> ParsePipl(const Bytes &b, bool big_endian) {
    Reader r{b, big_endian};
    std::vector<Property> props;
    EXPECT_EQ(r.U16(0), 1) << "property list version";
    const std::uint32_t count = r.U32(6);
    std::size_t at = 10;
    for (std::uint32_t i = 0; i < count && r.ok; ++i) {
        Property p{Code(r, at), Code(r, at + 4), r.U32(at + 8), r.U32(at + 12), {}};
        const std::size_t end = at + 16 + p.length;
        if (end > b.size()) {
            ADD_FAILURE() << "property " << p.key << " runs past the end";
            break;
        }
        p.value.assign(b.begin() + at + 16, b.begin() + end);
        at = at + 16 + (p.length + 3) / 4 * 4;
        props.push_back(p);
    }
    EXPECT_EQ(at, b.size()) << "bytes after the last property";
    return props;
}

// A property's value as numbers where it holds integers (so byte order does not matter), as bytes otherwise.
std::vector<std::uint64_t> ValueFields(const Property &p, bool big_endian) {
    static const std::map<std::string, std::vector<int>> widths = {
        {"kind", {4}}, {"ePVR", {2, 2}}, {"eSVR", {2, 2}}, {"eVER", {4}}, {"eINF", {2}},
        {"eGLO", {4}}, {"eGL2", {4}}, {"aeFL", {4}}};
    Reader r{p.value, big_endian};
    std::vector<std::uint64_t> fields;
    const auto w = widths.find(p.key);
    if (w == widths.end()) {
        for (std::uint8_t byte : p.value) fields.push_back(byte);
        return fields;
    }
    std::size_t at = 0;
    for (int width : w->second) {
        fields.push_back(r.Uint(at, width));
        at += width;
    }
    return fields;
}

TEST(MacBundle, ResourceFileHoldsTheBigEndianPropertyListWithTheMacEntryPoint) {
    const Bytes fork = ReadFile(kContents + "/Resources/Vellumbra.rsrc");
    ASSERT_GT(fork.size(), 256u) << "resource file missing or too short";
    const Bytes mac = FindResource(fork, "PIPL", vellumbra::kPiplResourceId);
    ASSERT_FALSE(mac.empty());

    EXPECT_EQ(mac, vellumbra::BuildPipl({vellumbra::PiplByteOrder::kBigEndian, vellumbra::PiplEntryTarget::kMacX64}))
        << "the resource is not the builder's macOS property list";

    // The same property values as the Windows property list, up to byte order and the entry point's key.
    const auto mac_props = ParsePipl(mac, true);
    const auto win_props = ParsePipl(vellumbra::BuildPipl(), false);
    ASSERT_EQ(mac_props.size(), win_props.size());
    ASSERT_EQ(mac_props.size(), 12u);
    for (std::size_t i = 0; i < mac_props.size(); ++i) {
        const Property &m = mac_props[i], &w = win_props[i];
        SCOPED_TRACE("property " + std::to_string(i + 1) + " '" + w.key + "'");
        EXPECT_EQ(m.vendor, "8BIM");
        EXPECT_EQ(m.vendor, w.vendor);
        EXPECT_EQ(m.key, w.key == "8664" ? std::string("mi64") : w.key);
        EXPECT_EQ(m.id, w.id);
        EXPECT_EQ(m.length, w.length);
        EXPECT_EQ(ValueFields(m, true), ValueFields(w, false));
    }
    ASSERT_GE(mac_props[3].value.size(), 11u);
    ASSERT_GE(mac_props[3].value.size(), 11u);
    EXPECT_EQ(std::string(mac_props[3].value.begin(), mac_props[3].value.begin() + 11), std::string("EffectMain\0", 11));
}

}  // namespace
