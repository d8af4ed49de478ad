// Fault injection over every command: each host call a clean run makes is made to fail in turn, and each suite
// it acquires is made missing; every rerun must return the right error, not crash and leave nothing behind.
#include "test_reliability_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <set>

namespace {

using namespace reliability;

constexpr PF_Err kFaultErr = 4242;  // what a failing call answers, distinct from every code the effect makes

// ---- scenarios: one command, or one frame, in a prepared host ----

enum class Kind { kParamsSetup, kUpdateUi, kUserChanged, kAbout, kFrame };

struct Scenario {
    std::string name;
    Kind kind = Kind::kFrame;
    Depth depth = Depth::k8;
    A_long pattern = PATTERN_TEXTURE;
    A_long transform = TEXTURE_CROPPING;
    bool depth_layer = true;  // false: no depth map, the layer passes through
};

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> list = {
        {"params_setup", Kind::kParamsSetup},
        {"update_params_ui", Kind::kUpdateUi},
        {"user_changed_param", Kind::kUserChanged},
        {"about", Kind::kAbout},
    };
    struct Frame {
        const char *name;
        A_long pattern, transform;
        bool depth_layer;
    } frames[] = {
        {"random_dots", PATTERN_RANDOM_DOTS, TEXTURE_CROPPING, true},
        {"color_dots", PATTERN_RANDOM_COLOR_DOTS, TEXTURE_CROPPING, true},
        {"texture_cropped", PATTERN_TEXTURE, TEXTURE_CROPPING, true},
        {"texture_resized", PATTERN_TEXTURE, TEXTURE_RESIZING, true},
        {"pass_through", PATTERN_RANDOM_DOTS, TEXTURE_CROPPING, false},
    };
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32})
        for (const Frame &f : frames) {
            Scenario s;
            s.name = std::string(f.name) + "_" + std::to_string(int(d)) + "bit";
            s.depth = d;
            s.pattern = f.pattern;
            s.transform = f.transform;
            s.depth_layer = f.depth_layer;
            list.push_back(s);
        }
    return list;
}

// Which command a call belongs to, and within the render whether the stereogram generator made it.
enum class Stage { kCommand, kPreRender, kRenderRecord, kRender, kGenerator };

struct Outcome {
    PF_Err err = PF_Err_NONE;         // the command's result; for a frame the pre-render's
    PF_Err render_err = PF_Err_NONE;  // frames only
    bool rendered = false;            // frames: the render command was sent
    std::string message;
    std::vector<vbhost::CallRecord> calls;
    std::vector<Stage> stages;  // one per call
    vbhost::Ledger ledger;
};

// Where the render command starts in the call log, noted by the hook as each command begins.
thread_local Host *t_host = nullptr;
thread_local size_t t_render_start = 0;

Outcome Execute(const Scenario &s, const std::function<void(Host &)> &arm) {
    Scene scene(s.kind == Kind::kFrame ? s.depth : Depth::k8);
    if (s.kind == Kind::kFrame) {
        scene.Set(PARAM_PATTERN, s.pattern);
        scene.Set(PARAM_DOT_CONTRAST, 50);
        scene.Set(PARAM_TEXTURE_TRANSFORM, s.transform);
        scene.PostProcessing(true, 1.5, 2);
        if (!s.depth_layer) scene.host->SetLayerParam(PARAM_DEPTH_LAYER, 0);
    } else {
        // Texture chosen and post-processing on, so the UI commands have controls to enable and disable.
        scene.Set(PARAM_POST_ENABLE, 1);
    }
    Host &host = *scene.host;
    host.ClearCalls();
    std::memset(host.out_data().return_msg, 0, sizeof host.out_data().return_msg);
    arm(host);

    Outcome run;
    t_host = &host;
    t_render_start = size_t(-1);
    HookScope hook([](PF_Cmd cmd, PF_InData *, void *) {
        if (cmd == PF_Cmd_SMART_RENDER) t_render_start = t_host->calls().size();
    });
    switch (s.kind) {
    case Kind::kParamsSetup: run.err = host.Send(PF_Cmd_PARAMS_SETUP); break;
    case Kind::kUpdateUi: run.err = host.Send(PF_Cmd_UPDATE_PARAMS_UI); break;
    case Kind::kUserChanged: {
        PF_UserChangedParamExtra extra{PARAM_PATTERN};
        run.err = host.Send(PF_Cmd_USER_CHANGED_PARAM, &extra);
        break;
    }
    case Kind::kAbout: run.err = host.Send(PF_Cmd_ABOUT); break;
    case Kind::kFrame: {
        const FrameResult r = host.RenderFrame(FrameRequest{});
        run.err = r.pre_render_err;
        run.render_err = r.render_err;
        run.message = r.message;
        break;
    }
    }
    t_host = nullptr;
    if (s.kind != Kind::kFrame) run.message = host.out_data().return_msg;
    run.rendered = t_render_start != size_t(-1);
    run.calls = host.calls();
    run.ledger = host.ledger();

    // Stages: the render begins with its handle-suite acquisition and the lock of the frame's record; the
    // generator's calls lie between the output checkout and the post-processing stage's first acquisition.
    bool generator = false;
    size_t render_calls = 0;
    for (size_t i = 0; i < run.calls.size(); ++i) {
        const std::string &op = run.calls[i].op;
        Stage stage = Stage::kCommand;
        if (s.kind == Kind::kFrame) {
            if (i < t_render_start) {
                stage = Stage::kPreRender;
            } else {
                ++render_calls;
                if (op == "AcquireSuite:AEGP World Suite" || op == "checkin_layer_pixels") generator = false;
                stage = render_calls <= 2 ? Stage::kRenderRecord : generator ? Stage::kGenerator : Stage::kRender;
                if (op == "checkout_output" && s.depth_layer) generator = true;
            }
        }
        run.stages.push_back(stage);
    }
    return run;
}

// ---- what a failing call must lead to ----

enum Result { kNone, kOutOfMemory, kMissingSuite };

// Failures that do not end as the failing call's own error, and why. First match wins; anything not listed
// returns the error the call produced.
struct Exception {
    const char *op;  // exact name, or a prefix ending in ':'
    bool generator_only;
    Result result;
    const char *why;
};
const Exception kExceptions[] = {
    {"AcquireSuite:", false, kMissingSuite, "a suite that cannot be acquired ends the command with 13"},
    {"ReleaseSuite:", false, kNone, "a release has no result the effect can act on"},
    {"host_unlock_handle", false, kNone, "the handle suite's unlock has no result"},
    {"host_dispose_handle", false, kNone, "the handle suite's dispose has no result"},
    {"sprintf", false, kNone, "text formatting has no error result"},
    {"strcpy", false, kNone, "a name that is not copied leaves the control unnamed, not the command failed"},
    {"ceil", false, kNone, "ceil has no error; the kernel is built from the value as it is, already whole"},
    {"PF_UpdateParamUI", false, kNone, "one control the host cannot redraw must not stop the others"},
    {"host_new_handle", false, kOutOfMemory, "no handle means memory is short"},
    {"host_lock_handle", false, kOutOfMemory, "a record that cannot be locked cannot carry the frame"},
    // The generator's own handles hold its row arrays: it gives up like on any other failure.
    {"", true, kNone, "the generator has no result: it gives up and leaves the output as the host gave it"},
};

const Exception *FindException(const std::string &op, Stage stage) {
    for (const Exception &e : kExceptions) {
        const std::string name = e.op;
        const bool matches = name.empty() || name == op ||
                             (name.back() == ':' && op.compare(0, name.size(), name) == 0);
        if (!matches) continue;
        if (e.generator_only && stage != Stage::kGenerator) continue;
        if (stage == Stage::kGenerator && e.result == kOutOfMemory) continue;
        return &e;
    }
    return nullptr;
}

// The error the command must return, and why when it is not the failing call's own.
PF_Err ExpectedError(const std::string &op, Stage stage, std::string *why) {
    const Exception *e = FindException(op, stage);
    *why = e ? e->why : "the failing call's error is the command's";
    if (e == nullptr) return kFaultErr;
    switch (e->result) {
    case kNone: return PF_Err_NONE;
    case kOutOfMemory: return PF_Err_OUT_OF_MEMORY;
    case kMissingSuite: return A_Err_MISSING_SUITE;
    }
    return kFaultErr;
}

// What the host keeps after the failing call: a release it refused leaves exactly what it was to take back;
// at the start of the render, a record that cannot be reached keeps the layers it describes checked out (and,
// without the handle suite, the handle itself: nothing else can free it).
vbhost::Ledger ExpectedLeftovers(const std::string &op, Stage stage) {
    vbhost::Ledger l;
    if (op.rfind("ReleaseSuite:", 0) == 0) {
        l.suites = 1;
        l.suite_names = {op.substr(std::strlen("ReleaseSuite:"))};
    }
    if (op == "host_dispose_handle") l.handles = 1;
    if (op == "checkin_param") l.param_checkouts = 1;
    if (op == "checkin_layer_pixels") l.layer_checkouts = 1;
    if (op == "dispose_world" || op == "AEGP_Dispose") l.worlds = 1;
    if (stage == Stage::kRenderRecord) {
        l.param_checkouts = 2;
        if (op == "AcquireSuite:PF Handle Suite") l.handles = 1;
    }
    return l;
}

std::string Describe(const vbhost::Ledger &l) { return l.describe(); }

// Checks one rerun against what the failure at `stage` must give; `what` names the case.
void CheckRerun(const Scenario &s, const Outcome &run, Stage stage, PF_Err expected, const vbhost::Ledger &left,
                const std::string &what) {
    if (s.kind != Kind::kFrame) {
        EXPECT_EQ(run.err, expected) << what;
    } else if (stage == Stage::kPreRender) {
        EXPECT_EQ(run.err, expected) << what;
        // A failed pre-render is not followed by a render; a pre-render that reports success is.
        EXPECT_EQ(run.rendered, expected == PF_Err_NONE) << what;
        if (run.rendered) {
            EXPECT_EQ(run.render_err, PF_Err_NONE) << what;
        }
    } else {
        EXPECT_EQ(run.err, PF_Err_NONE) << what;
        EXPECT_EQ(run.render_err, expected) << what;
    }
    if (expected == A_Err_MISSING_SUITE) {
        EXPECT_EQ(run.message, "Not able to acquire AEFX Suite.") << what;
    }
    // Compared by description, so that every count the host keeps (damaged worlds too) takes part.
    EXPECT_EQ(Describe(run.ledger), Describe(left)) << what;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryCallFailingInTurnAndEverySuiteMissing) {
    const Scenario &s = GetParam();
    const Outcome clean = Execute(s, [](Host &) {});
    ASSERT_EQ(clean.err, PF_Err_NONE) << s.name << ": clean run";
    ASSERT_EQ(clean.render_err, PF_Err_NONE) << s.name << ": clean run";
    ASSERT_TRUE(clean.ledger.empty()) << s.name << ": clean run leaves " << Describe(clean.ledger);
    ASSERT_FALSE(clean.calls.empty()) << s.name;
    if (s.kind == Kind::kFrame) {
        ASSERT_TRUE(clean.rendered) << s.name;
        const bool drew = std::count(clean.stages.begin(), clean.stages.end(), Stage::kGenerator) > 0;
        ASSERT_EQ(drew, s.depth_layer) << s.name << ": the generator's calls must be found when it runs";
    }

    int failed_calls = 0;
    std::map<std::string, int> seen;
    std::set<std::string> suites;
    for (size_t i = 0; i < clean.calls.size(); ++i) {
        const std::string &op = clean.calls[i].op;
        const int nth = ++seen[op];
        if (op.rfind("AcquireSuite:", 0) == 0) suites.insert(op.substr(std::strlen("AcquireSuite:")));
        const Stage stage = clean.stages[i];
        std::ostringstream what;
        what << s.name << ": call " << i << ", " << op << " #" << nth << " failing";
        std::string why;
        const PF_Err expected = ExpectedError(op, stage, &why);
        what << " (" << why << ")";
        const Outcome run = Execute(s, [&](Host &h) { h.AddFault(vbhost::Fault{op, nth, kFaultErr}); });
        CheckRerun(s, run, stage, expected, ExpectedLeftovers(op, stage), what.str());
        ++failed_calls;
    }

    // A suite missing for the whole run fails its first acquisition, which no release can follow.
    for (const std::string &suite : suites) {
        size_t first = 0;
        while (clean.calls[first].op != "AcquireSuite:" + suite) ++first;
        const Stage stage = clean.stages[first];
        const Outcome run = Execute(s, [&](Host &h) { h.SetSuiteMissing(suite); });
        CheckRerun(s, run, stage, A_Err_MISSING_SUITE, ExpectedLeftovers("AcquireSuite:" + suite, stage),
                   s.name + ": \"" + suite + "\" missing");
    }
    std::cout << "[ fault sweep ] " << s.name << ": " << failed_calls + int(suites.size())
              << " failure points exercised (" << failed_calls << " calls failed in turn, " << suites.size()
              << " suites missing)\n";
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; });

}  // namespace
