// Builds the plug-in property list bytes that the host reads before loading the module, from the effect's
// identity.
#pragma once

#include <cstdint>
#include <vector>

namespace vellumbra {

enum class PiplByteOrder { kLittleEndian, kBigEndian };
// Which code the entry-point property names: Windows x64 ('8664') or macOS x86_64 ('mi64').
enum class PiplEntryTarget { kWindowsX64, kMacX64 };

struct PiplOptions {
    PiplByteOrder byte_order = PiplByteOrder::kLittleEndian;
    PiplEntryTarget entry_target = PiplEntryTarget::kWindowsX64;
};

// Windows: resource type "PIPL", this identifier, language English (United States).
inline constexpr int kPiplResourceId = 16000;
inline constexpr int kPiplResourceLanguage = 1033;

// The whole resource: header, then the properties, each value zero-padded to a multiple of four bytes.
std::vector<std::uint8_t> BuildPipl(const PiplOptions &options = {});

}  // namespace vellumbra
