// The effect's identity, stated once: names, kind, versions and global flags, read by the entry points, global
// setup, About and the property list builder alike.
#pragma once

#include "api/effect_api.h"

namespace vellumbra {

// A four-character code as the host compares it: the first character in the most significant byte.
constexpr A_long FourCharCode(const char (&code)[5]) {
    return static_cast<A_long>((static_cast<A_u_long>(static_cast<unsigned char>(code[0])) << 24) |
                               (static_cast<A_u_long>(static_cast<unsigned char>(code[1])) << 16) |
                               (static_cast<A_u_long>(static_cast<unsigned char>(code[2])) << 8) |
                               static_cast<A_u_long>(static_cast<unsigned char>(code[3])));
}

// Packs an effect version the way the host unpacks it: build in bits 0-8, stage in 9-10, fix version in 11-14,
// subversion in 15-18, the low three bits of the version in 19-21 and its higher bits in 26-29.
constexpr A_u_long PackEffectVersion(A_u_long version, A_u_long subversion, A_u_long bugversion, A_u_long stage,
                                     A_u_long build) {
    return ((version >> 3) & 0xFu) << 26 | (version & 0x7u) << 19 | (subversion & 0xFu) << 15 |
           (bugversion & 0xFu) << 11 | (stage & 0x3u) << 9 | (build & 0x1FFu);
}

struct EffectIdentity {
    const char *name;          // shown in the host's effect menu and in About
    const char *match_name;    // what saved projects use to find the effect again
    const char *category;
    const char *entry_point;   // the exported name the host calls for every command
    A_long kind;               // four-character code of the plug-in kind
    A_long api_version;
    A_long api_subversion;
    A_long reserved_info;      // passed to the host's announcement callback only
    A_u_long my_version;
    const char *about_version; // separate from my_version: the text shown in About
    const char *description;
    PF_OutFlags out_flags;
    PF_OutFlags2 out_flags2;
};

inline constexpr EffectIdentity kIdentity = {
    "Vellumbra",
    "KV Vellumbra",
    "Korrivane",
    "EffectMain",
    FourCharCode("eFKT"),
    13,
    25,
    8,
    PackEffectVersion(1, 0, 0, PF_Stage_RELEASE, 1),
    "1.0.18",
    "Create vellumbra from depth map.",
    PF_OutFlag_DEEP_COLOR_AWARE,
    PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE | PF_OutFlag2_SUPPORTS_THREADED_RENDERING,
};

}  // namespace vellumbra
