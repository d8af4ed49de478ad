// Writes the property list: names as Pascal strings, four-character codes as 32-bit integers, all in the
// requested byte order.
#include "resources/pipl.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "shell/identity.h"

namespace vellumbra {
namespace {

class Writer {
public:
    explicit Writer(PiplByteOrder order) : order_(order) {}

    void Int16(std::int32_t v) { Bytes(static_cast<std::uint32_t>(v), 2); }
    void Int32(std::int32_t v) { Bytes(static_cast<std::uint32_t>(v), 4); }
    void Code(const char (&code)[5]) { Int32(FourCharCode(code)); }

    // One property: vendor, key, identifier 0, the value's length and the value padded to four bytes.
    template <typename FillValue>
    void Property(const char (&key)[5], std::int32_t length, FillValue fill) {
        Code("8BIM");
        Code(key);
        Int32(0);
        Int32(length);
        const std::size_t start = out_.size();
        fill(*this);
        Pad(start);
        // The value as written, padding included, must fill exactly the space its length announces.
        if (out_.size() - start != static_cast<std::size_t>(PaddedLength(static_cast<std::size_t>(length)))) {
            throw std::logic_error(std::string("property value does not match its length: ") + key);
        }
    }

    // A Pascal string: length byte then characters, padded; the property's length is the padded length.
    void PascalProperty(const char (&key)[5], const char *text) {
        const std::size_t n = std::strlen(text);
        if (n > 255) throw std::length_error(std::string("name too long for a Pascal string: ") + text);
        Property(key, PaddedLength(1 + n), [&](Writer &w) {
            w.out_.push_back(static_cast<std::uint8_t>(n));
            w.out_.insert(w.out_.end(), text, text + n);
        });
    }

    // A C string with its terminator, padded; the property's length is the padded length.
    void CStringProperty(const char (&key)[5], const char *text) {
        const std::size_t n = std::strlen(text);
        Property(key, PaddedLength(n + 1), [&](Writer &w) { w.out_.insert(w.out_.end(), text, text + n + 1); });
    }

    std::vector<std::uint8_t> Take() { return std::move(out_); }

private:
    static std::int32_t PaddedLength(std::size_t n) { return static_cast<std::int32_t>((n + 3) / 4 * 4); }

    void Pad(std::size_t start) {
        while ((out_.size() - start) % 4 != 0) out_.push_back(0);
    }

    void Bytes(std::uint32_t v, int count) {
        for (int i = 0; i < count; ++i) {
            const int shift = order_ == PiplByteOrder::kLittleEndian ? 8 * i : 8 * (count - 1 - i);
            out_.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }

    PiplByteOrder order_;
    std::vector<std::uint8_t> out_;
};

}  // namespace

std::vector<std::uint8_t> BuildPipl(const PiplOptions &options) {
    const EffectIdentity &id = kIdentity;
    Writer w(options.byte_order);

    constexpr std::int32_t kPropertyCount = 12;
    w.Int16(1);  // property list format version
    w.Int32(0);  // reserved
    w.Int32(kPropertyCount);

    w.Property("kind", 4, [&](Writer &v) { v.Int32(id.kind); });
    w.PascalProperty("name", id.name);
    w.PascalProperty("catg", id.category);
    w.CStringProperty(options.entry_target == PiplEntryTarget::kMacX64 ? "mi64" : "8664", id.entry_point);
    w.Property("ePVR", 4, [](Writer &v) {  // property list version 2.0
        v.Int16(2);
        v.Int16(0);
    });
    w.Property("eSVR", 4, [&](Writer &v) {
        v.Int16(id.api_version);
        v.Int16(id.api_subversion);
    });
    w.Property("eVER", 4, [&](Writer &v) { v.Int32(static_cast<std::int32_t>(id.my_version)); });
    w.Property("eINF", 2, [](Writer &v) { v.Int16(0); });
    w.Property("eGLO", 4, [&](Writer &v) { v.Int32(id.out_flags); });
    w.Property("eGL2", 4, [&](Writer &v) { v.Int32(id.out_flags2); });
    w.PascalProperty("eMNA", id.match_name);
    w.Property("aeFL", 4, [](Writer &v) { v.Int32(0); });
    return w.Take();
}

}  // namespace vellumbra
