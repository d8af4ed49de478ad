// What the host sees of the effect: property list bytes, the announcement, command dispatch, global setup,
// About, the parameter set, the enabling of controls, and the module's exports.
#include "api/effect_api.h"
#include "api/suites.h"
#include "host/host.h"
#include "resources/pipl.h"
#include "shell/entry.h"
#include "shell/param_index.h"
#include "shell/params.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------------------------
// A minimal host of our own, for calls the stand-in host cannot make: callbacks that throw, suites that go missing
// on the nth acquisition, ui_flags words with foreign bits already set.
struct MiniHost {
    PF_InData in{};
    PF_OutData out{};
    PF_UtilCallbacks utils{};
    SPBasicSuite basic{};
    PF_ParamUtilsSuite3 param_utils{};

    std::array<PF_ParamDef, PARAM_COUNT> defs{};
    std::array<PF_ParamDef *, PARAM_COUNT> params{};

    std::vector<PF_ParamDef> added;  // every definition add_param received, in order
    std::vector<std::string> added_names;  // the popup/checkbox strings behind each definition's pointer
    struct Update { PF_ParamIndex index; const PF_ParamDef *def; A_long ui_flags; };
    std::vector<Update> updates;

    int acquisitions = 0;  // AcquireSuite calls
    int held = 0;          // acquired and not yet released
    int fail_acquisition = 0;  // 1-based acquisition that fails; 0 for none
    int fail_add_param = 0;    // 1-based add_param that fails with kAddParamError
    static constexpr PF_Err kAddParamError = 77;

    // Run inside the matching callback when set; used to throw from below EffectMain.
    std::function<void()> in_sprintf, in_add_param, in_update;

    static thread_local MiniHost *current;

    MiniHost() {
        current = this;
        std::memset(&out, 0, sizeof out);
        utils.ansi.sprintf = &Sprintf;
        utils.ansi.strcpy = &Strcpy;
        in.utils = &utils;
        in.effect_ref = this;
        in.inter.add_param = &AddParam;
        basic.AcquireSuite = &Acquire;
        basic.ReleaseSuite = &Release;
        in.pica_basicP = &basic;
        param_utils.PF_UpdateParamUI = &UpdateParamUI;
        for (int i = 0; i < PARAM_COUNT; ++i) {
            defs[i].uu.id = i;
            params[i] = &defs[i];
        }
    }
    ~MiniHost() { current = nullptr; }

    PF_Err Send(PF_Cmd cmd, void *extra = nullptr) {
        return EffectMain(cmd, &in, &out, params.data(), nullptr, extra);
    }
    void SetChoices(A_long pattern, PF_ParamValue enable) {
        defs[PARAM_PATTERN].u.pd.value = pattern;
        defs[PARAM_POST_ENABLE].u.bd.value = enable;
    }

    static A_long Sprintf(A_char *dst, const A_char *fmt, ...) {
        if (current->in_sprintf) current->in_sprintf();
        va_list ap;
        va_start(ap, fmt);
        const int n = std::vsnprintf(dst, PF_MAX_EFFECT_MSG_LEN + 1, fmt, ap);
        va_end(ap);
        return n;
    }
    static A_char *Strcpy(A_char *dst, const A_char *src) { return std::strcpy(dst, src); }
    static PF_Err AddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef *def) {
        auto *self = static_cast<MiniHost *>(ref);
        if (self->in_add_param) self->in_add_param();
        EXPECT_EQ(index, -1) << "parameters are appended";
        self->added.push_back(*def);
        if (self->fail_add_param == int(self->added.size())) return kAddParamError;
        return PF_Err_NONE;
    }
    static SPErr Acquire(const char *name, int32_t version, const void **suite) {
        MiniHost *self = current;
        ++self->acquisitions;
        if (self->acquisitions == self->fail_acquisition || std::string(name) != kPFParamUtilsSuite ||
            version != kPFParamUtilsSuiteVersion3) {
            *suite = nullptr;
            return A_Err_MISSING_SUITE;
        }
        ++self->held;
        *suite = &self->param_utils;
        return 0;
    }
    static SPErr Release(const char *, int32_t) {
        --current->held;
        return 0;
    }
    static PF_Err UpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef *def) {
        auto *self = static_cast<MiniHost *>(ref);
        if (self->in_update) self->in_update();
        self->updates.push_back({index, def, def->ui_flags});
        return PF_Err_NONE;
    }
};
thread_local MiniHost *MiniHost::current = nullptr;

// ---------------------------------------------------------------------------------------------------------------
// Property list

struct PiplProperty {
    std::string vendor, key;
    std::int32_t id = -1, length = -1;
    std::vector<std::uint8_t> value;  // as stored, padding included
};

struct PiplReader {
    const std::vector<std::uint8_t> &bytes;
    bool big_endian;
    std::size_t pos = 0;

    std::uint32_t Read(int n) {
        if (pos + n > bytes.size()) throw std::out_of_range("property list ends early at " + std::to_string(pos));
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const std::uint32_t b = bytes[pos + i];
            v |= big_endian ? b << (8 * (n - 1 - i)) : b << (8 * i);
        }
        pos += n;
        return v;
    }
    std::string Code() {
        const std::uint32_t v = Read(4);
        return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    }
};

std::int32_t ValueI32(const PiplProperty &p, bool big_endian, std::size_t at = 0) {
    PiplReader r{p.value, big_endian, at};
    return std::int32_t(r.Read(4));
}
std::int16_t ValueI16(const PiplProperty &p, bool big_endian, std::size_t at) {
    PiplReader r{p.value, big_endian, at};
    return std::int16_t(r.Read(2));
}

std::vector<PiplProperty> ParsePipl(const std::vector<std::uint8_t> &bytes, bool big_endian) {
    PiplReader r{bytes, big_endian};
    EXPECT_EQ(std::int16_t(r.Read(2)), 1) << "format version";
    EXPECT_EQ(r.Read(4), 0u) << "reserved";
    const std::uint32_t count = r.Read(4);
    std::vector<PiplProperty> props;
    for (std::uint32_t i = 0; i < count; ++i) {
        PiplProperty p;
        p.vendor = r.Code();
        p.key = r.Code();
        p.id = std::int32_t(r.Read(4));
        p.length = std::int32_t(r.Read(4));
        const std::size_t stored = (std::size_t(p.length) + 3) / 4 * 4;
        if (r.pos + stored > bytes.size()) throw std::out_of_range("property " + p.key + " runs past the end");
        p.value.assign(bytes.begin() + r.pos, bytes.begin() + r.pos + stored);
        r.pos += stored;
        props.push_back(p);
    }
    EXPECT_EQ(r.pos, bytes.size()) << "bytes after the last property";
    return props;
}

std::vector<std::uint8_t> PascalPadded(const std::string &s) {
    std::vector<std::uint8_t> v(1, std::uint8_t(s.size()));
    for (char c : s) v.push_back(std::uint8_t(c));
    while (v.size() % 4) v.push_back(0);
    return v;
}

TEST(PropertyList, WindowsLayoutStartsWithKindAndIs286Bytes) {
    const auto bytes = vellumbra::BuildPipl();
    ASSERT_EQ(bytes.size(), 286u);
    // Header: version 1, reserved 0, 12 properties.
    const std::vector<std::uint8_t> header = {1, 0, 0, 0, 0, 0, 12, 0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 10), header);
    const std::string first(bytes.begin() + 10, bytes.begin() + 30);
    EXPECT_EQ(first, std::string("MIB8dnik\0\0\0\0\4\0\0\0TKFe", 20));
}

TEST(PropertyList, EveryPropertyInItsPlaceForBothTargets) {
    struct Target {
        const char *label;
        vellumbra::PiplOptions options;
        bool big_endian;
        const char *entry_key;
    } targets[] = {
        {"windows", {vellumbra::PiplByteOrder::kLittleEndian, vellumbra::PiplEntryTarget::kWindowsX64}, false,
         "8664"},
        {"macos", {vellumbra::PiplByteOrder::kBigEndian, vellumbra::PiplEntryTarget::kMacX64}, true, "mi64"},
    };
    for (const Target &t : targets) {
        SCOPED_TRACE(t.label);
        const auto bytes = vellumbra::BuildPipl(t.options);
        EXPECT_EQ(bytes.size(), 286u);
        const auto props = ParsePipl(bytes, t.big_endian);
        const std::vector<std::string> keys = {"kind", "name", "catg", t.entry_key, "ePVR", "eSVR",
                                               "eVER", "eINF", "eGLO", "eGL2",      "eMNA", "aeFL"};
        ASSERT_EQ(props.size(), keys.size());
        const std::vector<std::int32_t> lengths = {4, 12, 12, 12, 4, 4, 4, 2, 4, 4, 16, 4};
        for (std::size_t i = 0; i < props.size(); ++i) {
            EXPECT_EQ(props[i].vendor, "8BIM") << "property " << i;
            EXPECT_EQ(props[i].key, keys[i]) << "property " << i;
            EXPECT_EQ(props[i].id, 0) << keys[i];
            EXPECT_EQ(props[i].length, lengths[i]) << keys[i];
        }
        const bool be = t.big_endian;
        EXPECT_EQ(ValueI32(props[0], be), 0x65464B54) << "kind 'eFKT'";
        EXPECT_EQ(props[1].value, PascalPadded("Vellumbra"));
        EXPECT_EQ(props[2].value, PascalPadded("Korrivane"));
        EXPECT_EQ(std::string(props[3].value.begin(), props[3].value.end()), std::string("EffectMain\0\0", 12));
        EXPECT_EQ(ValueI16(props[4], be, 0), 2);
        EXPECT_EQ(ValueI16(props[4], be, 2), 0);
        EXPECT_EQ(ValueI16(props[5], be, 0), 13);
        EXPECT_EQ(ValueI16(props[5], be, 2), 25);
        EXPECT_EQ(ValueI32(props[6], be), 525825);
        EXPECT_EQ(props[7].value, std::vector<std::uint8_t>(4, 0)) << "eINF: int16 0 and two padding bytes";
        EXPECT_EQ(ValueI32(props[8], be), 0x2000000);
        EXPECT_EQ(ValueI32(props[9], be), 0x8001400);
        EXPECT_EQ(props[10].value, PascalPadded("KV Vellumbra"));
        EXPECT_EQ(ValueI32(props[11], be), 0);
    }
}

#ifdef VELLUMBRA_PIPL_FILE
TEST(PropertyList, BuiltResourceFileHoldsTheBuilderBytes) {
    std::ifstream f(VELLUMBRA_PIPL_FILE, std::ios::binary);
    ASSERT_TRUE(f) << "cannot open " << VELLUMBRA_PIPL_FILE;
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, vellumbra::BuildPipl());
}
#endif

// ---------------------------------------------------------------------------------------------------------------
// Announcement, global setup, About, commands outside the table

struct Announced {
    void *data = nullptr;
    std::vector<std::string> names;
    std::vector<A_long> numbers;
    int calls = 0;
};

PF_Err RecordAnnouncement(void *inPtr, const A_u_char *name, const A_u_char *match_name, const A_u_char *category,
                          const A_u_char *entry_point_name, A_long kind, A_long api_version, A_long api_subversion,
                          A_long reserved_info) {
    auto *rec = static_cast<Announced *>(inPtr);
    ++rec->calls;
    rec->data = inPtr;
    for (const A_u_char *s : {name, match_name, category, entry_point_name}) {
        rec->names.emplace_back(reinterpret_cast<const char *>(s));
    }
    rec->numbers = {kind, api_version, api_subversion, reserved_info};
    return 9191;  // an error of the host's: must come back unchanged
}

TEST(EntryPoints, AnnouncementPassesIdentityInOrderAndReturnsCallbackResult) {
    Announced rec;
    const PF_Err err = PluginDataEntryFunction(&rec, &RecordAnnouncement, nullptr, "host", "1.0");
    EXPECT_EQ(err, 9191);
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.data, &rec);
    EXPECT_EQ(rec.names, (std::vector<std::string>{"Vellumbra", "KV Vellumbra", "Korrivane", "EffectMain"}));
    EXPECT_EQ(rec.numbers, (std::vector<A_long>{0x65464B54, 13, 25, 8}));
}

TEST(EntryPoints, CommandsOutsideTheTableReturnNoneAndTouchNothing) {
    std::vector<PF_Cmd> commands = {2, 3, 25, 26, 40, 1000, 0x7FFFFFFF, -1};
    for (PF_Cmd c = 5; c <= 12; ++c) commands.push_back(c);
    for (PF_Cmd c = 15; c <= 22; ++c) commands.push_back(c);
    for (PF_Cmd cmd : commands) {
        MiniHost host;
        std::memset(&host.out, 0xA5, sizeof host.out);
        unsigned char extra[64];
        std::memset(extra, 0x5A, sizeof extra);
        const PF_OutData out_before = host.out;
        const auto defs_before = host.defs;
        EXPECT_EQ(host.Send(cmd, extra), PF_Err_NONE) << "command " << cmd;
        EXPECT_EQ(std::memcmp(&host.out, &out_before, sizeof out_before), 0) << "out-data changed by command " << cmd;
        EXPECT_EQ(std::memcmp(host.defs.data(), defs_before.data(), sizeof defs_before), 0)
            << "parameters changed by command " << cmd;
        EXPECT_EQ(host.acquisitions, 0) << "command " << cmd;
        // Not even a host that passes nothing is looked at.
        EXPECT_EQ(EffectMain(cmd, nullptr, nullptr, nullptr, nullptr, nullptr), PF_Err_NONE) << "command " << cmd;
    }
}

TEST(GlobalSetup, WritesVersionAndFlagsEqualToPropertyListAndNothingElse) {
    MiniHost host;
    std::memset(&host.out, 0xA5, sizeof host.out);
    PF_OutData expected = host.out;
    ASSERT_EQ(host.Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    EXPECT_EQ(host.out.my_version, 525825u);
    EXPECT_EQ(host.out.out_flags, 0x2000000);
    EXPECT_EQ(host.out.out_flags2, 0x8001400);
    EXPECT_EQ(host.out.out_flags & PF_OutFlag_SEND_UPDATE_PARAMS_UI, 0);

    const auto props = ParsePipl(vellumbra::BuildPipl(), false);
    ASSERT_EQ(props.size(), 12u);
    EXPECT_EQ(std::uint32_t(ValueI32(props[6], false)), host.out.my_version) << "eVER";
    EXPECT_EQ(ValueI32(props[8], false), host.out.out_flags) << "eGLO";
    EXPECT_EQ(ValueI32(props[9], false), host.out.out_flags2) << "eGL2";

    expected.my_version = host.out.my_version;
    expected.out_flags = host.out.out_flags;
    expected.out_flags2 = host.out.out_flags2;
    EXPECT_EQ(std::memcmp(&host.out, &expected, sizeof expected), 0) << "global setup wrote other out-data fields";
}

TEST(About, MessageIsExactlyNameVersionAndDescription) {
    MiniHost host;
    std::memset(host.out.return_msg, 'x', sizeof host.out.return_msg);
    ASSERT_EQ(host.Send(PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_STREQ(host.out.return_msg, "Vellumbra, v1.0.18\r\rCreate vellumbra from depth map.");
}

// ---------------------------------------------------------------------------------------------------------------
// Parameter set

// One parameter as the host must receive it, written out from the effect's documented controls.
struct ExpectedParam {
    int index;
    PF_ParamType type;
    const char *name;
    PF_ParamFlags flags;
    double valid_min, valid_max, slider_min, slider_max, dephault;
    int precision, display_flags;
    const char *choices;
    int num_choices;
};

const ExpectedParam kExpectedParams[] = {
    {1, PF_Param_LAYER, "Depth Map Layer", 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0},
    {2, PF_Param_POPUP, "Pattern", 0x40, 0, 0, 0, 0, 1, 0, 0, "Random Dots|Random Color Dots|Texture", 3},
    {3, PF_Param_FLOAT_SLIDER, "Dot Contrast", 0x20, 0, 100, 0, 100, 50, 0, 1, nullptr, 0},
    {4, PF_Param_LAYER, "Texture Layer", 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0},
    {5, PF_Param_POPUP, "Texture Transform", 0, 0, 0, 0, 0, 1, 0, 0, "Cropping|Resizing", 2},
    {6, PF_Param_POPUP, "Stereogram Type", 0, 0, 0, 0, 0, 2, 0, 0, "Convergence (cross-eyed)|Divergence (normal)",
     2},
    {7, PF_Param_FLOAT_SLIDER, "Repetition Period (px)", 0, 10, 400, 10, 300, 100, 0, 0, nullptr, 0},
    {8, PF_Param_SLIDER, "Oversampling", 0, 1, 10, 1, 10, 4, 0, 0, nullptr, 0},
    {9, PF_Param_GROUP_START, "Post-Processing", 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0},
    {10, PF_Param_CHECKBOX, "Enable", 0x40, 0, 0, 0, 0, 0, 0, 0, "", 0},
    {11, PF_Param_FLOAT_SLIDER, "Blur", 0, 0, 100, 0, 5, 0, 1, 0, nullptr, 0},
    {12, PF_Param_FLOAT_SLIDER, "Sharpen", 0, 0, 100, 0, 5, 0, 1, 0, nullptr, 0},
    {13, PF_Param_GROUP_END, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0},
};

// The whole definition the host should see, every field not named left zero; string pointers are compared as
// strings by the caller and left null here.
PF_ParamDef ExpectedDefinition(const ExpectedParam &e) {
    PF_ParamDef d;
    std::memset(&d, 0, sizeof d);
    d.uu.id = e.index;
    d.param_type = e.type;
    d.flags = e.flags;
    if (e.name) std::strcpy(d.name, e.name);
    switch (e.type) {
    case PF_Param_POPUP:
        d.u.pd.value = A_long(e.dephault);
        d.u.pd.dephault = A_short(e.dephault);
        d.u.pd.num_choices = A_short(e.num_choices);
        break;
    case PF_Param_FLOAT_SLIDER:
        d.u.fs_d.value = e.dephault;
        d.u.fs_d.dephault = float(e.dephault);
        d.u.fs_d.valid_min = float(e.valid_min);
        d.u.fs_d.valid_max = float(e.valid_max);
        d.u.fs_d.slider_min = float(e.slider_min);
        d.u.fs_d.slider_max = float(e.slider_max);
        d.u.fs_d.precision = A_short(e.precision);
        d.u.fs_d.display_flags = A_short(e.display_flags);
        d.u.fs_d.curve_tolerance = 0.05f;
        break;
    case PF_Param_SLIDER:
        d.u.sd.value = d.u.sd.dephault = PF_ParamValue(e.dephault);
        d.u.sd.valid_min = PF_ParamValue(e.valid_min);
        d.u.sd.valid_max = PF_ParamValue(e.valid_max);
        d.u.sd.slider_min = PF_ParamValue(e.slider_min);
        d.u.sd.slider_max = PF_ParamValue(e.slider_max);
        break;
    case PF_Param_CHECKBOX:
        d.u.bd.value = PF_ParamValue(e.dephault);
        d.u.bd.dephault = PF_Boolean(e.dephault);
        break;
    default:
        break;
    }
    return d;
}

// Compares one received definition with the expected one: strings behind pointers by content, the rest byte for
// byte (so stray non-zero fields show).
void ExpectDefinition(const PF_ParamDef &got, const ExpectedParam &e) {
    SCOPED_TRACE("parameter " + std::to_string(e.index) + " " + (e.name ? e.name : "(group end)"));
    PF_ParamDef copy = got;
    if (e.type == PF_Param_POPUP) {
        ASSERT_NE(copy.u.pd.u.namesptr, nullptr);
        EXPECT_STREQ(copy.u.pd.u.namesptr, e.choices);
        copy.u.pd.u.namesptr = nullptr;
    } else if (e.type == PF_Param_CHECKBOX) {
        ASSERT_NE(copy.u.bd.u.nameptr, nullptr);
        EXPECT_STREQ(copy.u.bd.u.nameptr, e.choices);
        copy.u.bd.u.nameptr = nullptr;
    }
    const PF_ParamDef want = ExpectedDefinition(e);
    EXPECT_EQ(copy.uu.id, want.uu.id);
    EXPECT_EQ(copy.param_type, want.param_type);
    EXPECT_STREQ(copy.name, want.name);
    EXPECT_EQ(copy.flags, want.flags);
    EXPECT_EQ(copy.ui_flags, 0);
    EXPECT_EQ(std::memcmp(&copy, &want, sizeof want), 0) << "some field differs from the expected definition";
}

TEST(ParamsSetup, AddsEveryDefinitionInOrderAndCountsTheInputLayer) {
    MiniHost host;
    host.out.num_params = -5;
    ASSERT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    ASSERT_EQ(host.added.size(), std::size(kExpectedParams));
    for (std::size_t i = 0; i < host.added.size(); ++i) ExpectDefinition(host.added[i], kExpectedParams[i]);
    EXPECT_EQ(host.out.num_params, 14);
}

TEST(ParamsSetup, AddParamErrorStopsAtOnceWithoutSettingCount) {
    for (int failing : {1, 5, 13}) {
        MiniHost host;
        host.fail_add_param = failing;
        host.out.num_params = -5;
        EXPECT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), MiniHost::kAddParamError) << "failing add " << failing;
        EXPECT_EQ(int(host.added.size()), failing) << "no parameter after the failing one";
        EXPECT_EQ(host.out.num_params, -5) << "failing add " << failing;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Enabling of controls

constexpr A_long kForeignBits = 0x1 | 0x4 | 0x100 | 0x4000;  // bits of the host's that must survive

TEST(HandleChangedParam, EnableMatrixOverPatternAndSwitchKeepsOtherBits) {
    struct Case { A_long pattern; PF_ParamValue enable; bool contrast, texture, post; } cases[] = {
        {1, 0, false, false, false}, {1, 1, false, false, true}, {2, 0, true, false, false},
        {2, 1, true, false, true},   {3, 0, false, true, false}, {3, 1, false, true, true},
    };
    const ParamIndex order[] = {PARAM_DOT_CONTRAST, PARAM_TEXTURE_LAYER, PARAM_TEXTURE_TRANSFORM, PARAM_BLUR,
                                PARAM_SHARPEN};
    for (PF_Cmd cmd : {PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI}) {
        for (const Case &c : cases) {
            const std::string label = "cmd " + std::to_string(cmd) + " pattern " + std::to_string(c.pattern) +
                                      " enable " + std::to_string(c.enable);
            const bool expect_enabled[] = {c.contrast, c.texture, c.texture, c.post, c.post};
            MiniHost host;
            host.SetChoices(c.pattern, c.enable);
            // Start every control in the opposite state so a skipped update shows.
            for (int k = 0; k < 5; ++k) {
                host.defs[order[k]].ui_flags = kForeignBits | (expect_enabled[k] ? PF_PUI_DISABLED : 0);
            }
            PF_UserChangedParamExtra extra{PARAM_PATTERN};
            ASSERT_EQ(host.Send(cmd, cmd == PF_Cmd_USER_CHANGED_PARAM ? &extra : nullptr), PF_Err_NONE) << label;
            ASSERT_EQ(host.updates.size(), 5u) << label;
            for (int k = 0; k < 5; ++k) {
                const A_long want = kForeignBits | (expect_enabled[k] ? 0 : PF_PUI_DISABLED);
                EXPECT_EQ(host.defs[order[k]].ui_flags, want) << label << " param " << order[k];
                EXPECT_EQ(host.updates[k].index, order[k]) << label << " update " << k;
                EXPECT_EQ(host.updates[k].def, host.params[order[k]]) << label << " passes the host's definition";
                EXPECT_EQ(host.updates[k].ui_flags, want) << label << " flags at the update " << k;
            }
            EXPECT_EQ(host.held, 0) << label << ": suite not released";
        }
    }
}

TEST(HandleChangedParam, MissingParamUtilsSuiteGives13WithMessage) {
    // Fails at the first acquisition (nothing changed) and at the fourth (three updates already done stay done).
    for (int failing : {1, 4}) {
        MiniHost host;
        host.SetChoices(PATTERN_TEXTURE, 1);
        for (auto &d : host.defs) d.ui_flags = PF_PUI_DISABLED;
        host.fail_acquisition = failing;
        EXPECT_EQ(host.Send(PF_Cmd_USER_CHANGED_PARAM), 13) << "failing acquisition " << failing;
        EXPECT_STREQ(host.out.return_msg, "Not able to acquire AEFX Suite.");
        EXPECT_NE(host.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE, 0);
        EXPECT_EQ(int(host.updates.size()), failing - 1) << "failing acquisition " << failing;
        EXPECT_EQ(host.acquisitions, failing) << "nothing more is tried after the failure";
        EXPECT_EQ(host.held, 0) << "failing acquisition " << failing;
        // The parameter whose suite was missing keeps its disabled bit.
        const ParamIndex order[] = {PARAM_DOT_CONTRAST, PARAM_TEXTURE_LAYER, PARAM_TEXTURE_TRANSFORM, PARAM_BLUR,
                                    PARAM_SHARPEN};
        EXPECT_EQ(host.defs[order[failing - 1]].ui_flags, PF_PUI_DISABLED) << "failing acquisition " << failing;
    }
}

TEST(HandleChangedParam, DamagedParameterArrayIsRefusedBeforeAnyUpdate) {
    for (int missing : {-1, int(PARAM_PATTERN), int(PARAM_POST_ENABLE), int(PARAM_DOT_CONTRAST), int(PARAM_SHARPEN)}) {
        MiniHost host;
        host.SetChoices(PATTERN_TEXTURE, 1);
        PF_ParamDef **params = host.params.data();
        if (missing < 0) {
            params = nullptr;
        } else {
            host.params[missing] = nullptr;
        }
        const auto defs_before = host.defs;
        for (PF_Cmd cmd : {PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI}) {
            EXPECT_EQ(EffectMain(cmd, &host.in, &host.out, params, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM)
                << "missing entry " << missing << " cmd " << cmd;
        }
        EXPECT_TRUE(host.updates.empty()) << "missing entry " << missing;
        EXPECT_EQ(std::memcmp(host.defs.data(), defs_before.data(), sizeof defs_before), 0) << "missing " << missing;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Exceptions never reach the host

struct ThrowCase {
    const char *label;
    PF_Cmd cmd;
    std::function<void(MiniHost &)> arm;
    PF_Err expected;
};

std::vector<ThrowCase> ThrowCases() {
    return {
        {"bad_alloc in sprintf (About)", PF_Cmd_ABOUT,
         [](MiniHost &h) { h.in_sprintf = [] { throw std::bad_alloc(); }; }, PF_Err_OUT_OF_MEMORY},
        {"runtime_error in add_param", PF_Cmd_PARAMS_SETUP,
         [](MiniHost &h) { h.in_add_param = [] { throw std::runtime_error("host broke"); }; },
         PF_Err_INTERNAL_STRUCT_DAMAGED},
        {"integer in add_param", PF_Cmd_PARAMS_SETUP, [](MiniHost &h) { h.in_add_param = [] { throw A_long(42); }; },
         42},
        {"string in PF_UpdateParamUI", PF_Cmd_UPDATE_PARAMS_UI,
         [](MiniHost &h) { h.in_update = [] { throw std::string("odd"); }; }, PF_Err_INTERNAL_STRUCT_DAMAGED},
        {"bad_alloc in PF_UpdateParamUI", PF_Cmd_USER_CHANGED_PARAM,
         [](MiniHost &h) { h.in_update = [] { throw std::bad_alloc(); }; }, PF_Err_OUT_OF_MEMORY},
    };
}

void ExpectNothingEscapes(PF_EffectMainFunc effect_main, const char *which) {
    for (const ThrowCase &c : ThrowCases()) {
        MiniHost host;
        c.arm(host);
        PF_Err err = -1;
        bool escaped = false;
        try {
            err = effect_main(c.cmd, &host.in, &host.out, host.params.data(), nullptr, nullptr);
        } catch (...) {
            escaped = true;
        }
        EXPECT_FALSE(escaped) << which << ": " << c.label;
        EXPECT_EQ(err, c.expected) << which << ": " << c.label;
        EXPECT_EQ(host.held, 0) << which << ": " << c.label << " left a suite acquired";
    }
}

TEST(EffectMain, NoExceptionFromBelowReachesTheHost) { ExpectNothingEscapes(&EffectMain, "linked"); }

// A host that leaves out callbacks gets an error code back, never a crash.
TEST(EffectMain, DamagedHostRecordsGiveErrorsNotCrashes) {
    struct Case {
        const char *label;
        PF_Cmd cmd;
        std::function<void(MiniHost &)> damage;
        PF_Err expected;
    } cases[] = {
        {"About without utils", PF_Cmd_ABOUT, [](MiniHost &h) { h.in.utils = nullptr; }, PF_Err_INVALID_CALLBACK},
        {"About without sprintf", PF_Cmd_ABOUT, [](MiniHost &h) { h.utils.ansi.sprintf = nullptr; },
         PF_Err_INVALID_CALLBACK},
        {"ParamsSetup without add_param", PF_Cmd_PARAMS_SETUP, [](MiniHost &h) { h.in.inter.add_param = nullptr; },
         PF_Err_INVALID_CALLBACK},
        {"ParamsSetup without strcpy", PF_Cmd_PARAMS_SETUP, [](MiniHost &h) { h.utils.ansi.strcpy = nullptr; },
         PF_Err_INVALID_CALLBACK},
        {"UI update without basic suite", PF_Cmd_UPDATE_PARAMS_UI, [](MiniHost &h) { h.in.pica_basicP = nullptr; },
         A_Err_MISSING_SUITE},
        {"UI update with an empty suite table", PF_Cmd_UPDATE_PARAMS_UI,
         [](MiniHost &h) { h.param_utils.PF_UpdateParamUI = nullptr; }, PF_Err_INVALID_CALLBACK},
    };
    for (const Case &c : cases) {
        MiniHost host;
        c.damage(host);
        EXPECT_EQ(host.Send(c.cmd), c.expected) << c.label;
        if (c.expected == A_Err_MISSING_SUITE) {
            EXPECT_STREQ(host.out.return_msg, "Not able to acquire AEFX Suite.") << c.label;
            EXPECT_NE(host.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE, 0) << c.label;
        }
        EXPECT_TRUE(host.added.empty()) << c.label << ": nothing added";
        EXPECT_TRUE(host.updates.empty()) << c.label << ": no control updated";
        EXPECT_EQ(host.held, 0) << c.label;
    }
    for (PF_Cmd cmd : {PF_Cmd_ABOUT, PF_Cmd_GLOBAL_SETUP, PF_Cmd_PARAMS_SETUP, PF_Cmd_UPDATE_PARAMS_UI}) {
        MiniHost host;
        EXPECT_EQ(EffectMain(cmd, nullptr, &host.out, host.params.data(), nullptr, nullptr),
                  PF_Err_BAD_CALLBACK_PARAM)
            << "no in-data, command " << cmd;
        EXPECT_EQ(EffectMain(cmd, &host.in, nullptr, host.params.data(), nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM)
            << "no out-data, command " << cmd;
    }
    Announced rec;
    EXPECT_EQ(PluginDataEntryFunction(&rec, nullptr, nullptr, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
}

// ---------------------------------------------------------------------------------------------------------------
// The module as the host loads it

#if defined(__linux__)
// The ELF dynamic symbol table as nm reads it; the Windows module's export table has its own test.
std::set<std::string> DefinedDynamicSymbols(const std::string &path, std::string *error) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + path + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *error = "cannot run nm";
        return names;
    }
    std::string output;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) output += buf;
    const int status = pclose(pipe);
    if (status != 0) {
        *error = "nm failed: " + output;
        return names;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.size() >= 3) names.insert(f[2]);
    }
    return names;
}

TEST(Module, ExportsExactlyTheTwoEntryPoints) {
    std::string error;
    const auto names = DefinedDynamicSymbols(VELLUMBRA_PLUGIN_PATH, &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_EQ(names, (std::set<std::string>{"EffectMain", "PluginDataEntryFunction"}));
}
#endif

TEST(Module, LoadedFromItsFileAnswersTheHost) {
    vbhost::Module module(VELLUMBRA_PLUGIN_PATH);
    ASSERT_TRUE(module.ok()) << module.error();

    vbhost::Host host;
    host.SetEffect(module.effect_main(), module.entry());
    vbhost::Host::Announcement a;
    ASSERT_EQ(host.Announce(&a), PF_Err_NONE);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.name, "Vellumbra");
    EXPECT_EQ(a.match_name, "KV Vellumbra");
    EXPECT_EQ(a.category, "Korrivane");
    EXPECT_EQ(a.entry_point, "EffectMain");
    EXPECT_EQ(a.kind, 0x65464B54);
    EXPECT_EQ(a.api_version, 13);
    EXPECT_EQ(a.api_subversion, 25);
    EXPECT_EQ(a.reserved_info, 8);

    ASSERT_EQ(host.Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    EXPECT_EQ(host.out_data().my_version, 525825u);
    EXPECT_EQ(host.out_data().out_flags, 0x2000000);
    EXPECT_EQ(host.out_data().out_flags2, 0x8001400);

    ASSERT_EQ(host.Send(PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_STREQ(host.out_data().return_msg, "Vellumbra, v1.0.18\r\rCreate vellumbra from depth map.");

    ExpectNothingEscapes(module.effect_main(), "module");
}

// ---------------------------------------------------------------------------------------------------------------
// The parameter set and its UI state through the stand-in host

const ParamIndex kDependents[] = {PARAM_DOT_CONTRAST, PARAM_TEXTURE_LAYER, PARAM_TEXTURE_TRANSFORM, PARAM_BLUR,
                                  PARAM_SHARPEN};

TEST(StandInHost, ReceivesTheWholeParameterTableAllEnabled) {
    vbhost::Host host;
    host.SetEffect(&EffectMain, &PluginDataEntryFunction);
    ASSERT_EQ(host.Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    ASSERT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    EXPECT_EQ(host.out_data().num_params, 14);
    const auto &defs = host.param_defs();
    ASSERT_EQ(defs.size(), 14u) << "the input layer and the 13 added definitions";
    for (const ExpectedParam &e : kExpectedParams) {
        ExpectDefinition(defs[e.index], e);
        EXPECT_EQ(defs[e.index].ui_flags & PF_PUI_DISABLED, 0) << "parameter " << e.index << " starts enabled";
    }
}

TEST(StandInHost, TypedValuesBeyondTheSliderWithinTheValidRangeAreAccepted) {
    struct Case { ParamIndex index; double value; bool accepted; } cases[] = {
        {PARAM_PERIOD, 400, true},     {PARAM_PERIOD, 301, true},  {PARAM_PERIOD, 401, false},
        {PARAM_PERIOD, 9, false},      {PARAM_BLUR, 100, true},    {PARAM_BLUR, 6, true},
        {PARAM_BLUR, 101, false},      {PARAM_SHARPEN, 100, true}, {PARAM_SHARPEN, -1, false},
        {PARAM_DOT_CONTRAST, 100, true}, {PARAM_DOT_CONTRAST, 101, false},
        {PARAM_OVERSAMPLING, 10, true}, {PARAM_OVERSAMPLING, 0, false}, {PARAM_OVERSAMPLING, 11, false},
        {PARAM_PATTERN, 3, true},      {PARAM_PATTERN, 4, false},  {PARAM_TEXTURE_TRANSFORM, 3, false},
    };
    vbhost::Host host;
    host.SetEffect(&EffectMain, &PluginDataEntryFunction);
    ASSERT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    for (const Case &c : cases) {
        std::string error;
        EXPECT_EQ(host.SetParamValue(c.index, c.value, &error), c.accepted)
            << "parameter " << c.index << " value " << c.value << ": " << error;
    }
}

TEST(StandInHost, UiUpdatesFollowPatternAndSwitch) {
    struct Case { A_long pattern; PF_ParamValue enable; bool enabled[5]; } cases[] = {
        {1, 0, {false, false, false, false, false}},
        {2, 1, {true, false, false, true, true}},
        {3, 1, {false, true, true, true, true}},
        {1, 1, {false, false, false, true, true}},
    };
    vbhost::Host host;
    host.SetEffect(&EffectMain, &PluginDataEntryFunction);
    ASSERT_EQ(host.Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    ASSERT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    std::size_t updates_before = host.ui_updates().size();
    for (const Case &c : cases) {
        const std::string label = "pattern " + std::to_string(c.pattern) + " enable " + std::to_string(c.enable);
        std::string error;
        ASSERT_TRUE(host.SetParamValue(PARAM_PATTERN, c.pattern, &error)) << label << ": " << error;
        ASSERT_TRUE(host.SetParamValue(PARAM_POST_ENABLE, c.enable, &error)) << label << ": " << error;
        PF_UserChangedParamExtra extra{PARAM_PATTERN};
        ASSERT_EQ(host.Send(PF_Cmd_USER_CHANGED_PARAM, &extra), PF_Err_NONE) << label;
        const auto updates = host.ui_updates();
        ASSERT_EQ(updates.size(), updates_before + 5) << label << ": five updates per run";
        for (int k = 0; k < 5; ++k) {
            const auto &u = updates[updates_before + k];
            EXPECT_EQ(u.index, kDependents[k]) << label;
            EXPECT_EQ((u.def.ui_flags & PF_PUI_DISABLED) == 0, c.enabled[k]) << label << " update " << k;
            EXPECT_EQ((host.param_defs()[kDependents[k]].ui_flags & PF_PUI_DISABLED) == 0, c.enabled[k])
                << label << " host definition " << kDependents[k];
        }
        updates_before = updates.size();
        EXPECT_TRUE(host.ledger().empty()) << label << ": " << host.ledger().describe();
    }
}

TEST(StandInHost, MissingParamUtilsSuiteEndsTheCommandWith13) {
    vbhost::Host host;
    host.SetEffect(&EffectMain, &PluginDataEntryFunction);
    ASSERT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    host.SetSuiteMissing(kPFParamUtilsSuite);
    EXPECT_EQ(host.Send(PF_Cmd_UPDATE_PARAMS_UI), 13);
    EXPECT_STREQ(host.out_data().return_msg, "Not able to acquire AEFX Suite.");
    EXPECT_NE(host.out_data().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE, 0);
    EXPECT_TRUE(host.ui_updates().empty());
    EXPECT_EQ(host.param_defs()[PARAM_DOT_CONTRAST].ui_flags & PF_PUI_DISABLED, 0) << "left as it was";
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

}  // namespace
