// `vellumbra`: renders stereograms with the plug-in module from the command line, decodes them, shows the demo.
#include "cli/decode.h"
#include "cli/demo_scene.h"
#include "cli/exports.h"
#include "cli/frames.h"
#include "cli/picture.h"
#include "cli/render_job.h"
#include "shell/param_table.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace vbcli {
namespace {

const char *kUsage =
    "usage: vellumbra <command> [options]\n"
    "\n"
    "commands:\n"
    "  render DEPTH     render the stereogram of a depth map (or a numbered sequence of them)\n"
    "  demo             render the built-in demo scene\n"
    "  decode IMAGE     recover the depth map from a stereogram\n"
    "  info             show the plug-in's identity, parameters and exports\n"
    "\n"
    "`vellumbra <command> --help` describes each command's options.\n";

// ---------------------------------------------------------------- argument parsing

struct Option {
    std::string name;      // "--period" or "-o"
    std::string metavar;   // empty for a switch
    std::function<void(const std::string &)> set;
};

// Parses argv against the options; returns the positional arguments. "--help" prints help and exits 0.
std::vector<std::string> parseArgs(const std::string &command, const std::vector<std::string> &args,
                                   const std::vector<Option> &options, const std::string &help) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(help.c_str(), stdout);
            std::exit(0);
        }
        if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool inline_value = false;
        std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        const Option *opt = nullptr;
        for (const Option &o : options)
            if (o.name == arg) opt = &o;
        if (!opt) throw CliError(2, "unknown option '" + arg + "' for 'vellumbra " + command +
                                        "' (see vellumbra " + command + " --help)");
        if (opt->metavar.empty()) {
            if (inline_value) throw CliError(2, arg + " takes no value");
            opt->set("");
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) throw CliError(2, arg + " needs a value (" + opt->metavar + ")");
            value = args[++i];
        }
        opt->set(value);
    }
    return positional;
}

double parseNumber(const std::string &flag, const std::string &text) {
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        throw CliError(2, flag + ": '" + text + "' is not a number");
    return v;
}

long parseWhole(const std::string &flag, const std::string &text, long min, long max) {
    double v = parseNumber(flag, text);
    if (v != std::floor(v)) throw CliError(2, flag + ": '" + text + "' is not a whole number");
    if (v < double(min) || v > double(max))
        throw CliError(2, flag + ": " + text + " is out of range (" + std::to_string(min) + " to " +
                              std::to_string(max) + ")");
    return long(v);
}

std::string oneOf(const std::string &flag, const std::string &text, const std::vector<std::string> &choices) {
    for (const std::string &c : choices)
        if (c == text) return c;
    std::string list;
    for (const std::string &c : choices) list += (list.empty() ? "" : "|") + c;
    throw CliError(2, flag + ": '" + text + "' is not one of " + list);
}

std::string numberText(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// ---------------------------------------------------------------- effect controls

// One command-line flag per effect control. Ranges and defaults are never restated here: the help reads them
// from the effect's parameter table, and the host checks values against the definitions the plug-in declared.
struct EffectFlag {
    const char *flag;
    ParamIndex index;
    const char *metavar;
    std::vector<std::pair<std::string, int>> choices;  // popups: command-line word and popup value
};

const std::vector<EffectFlag> &effectFlags() {
    static const std::vector<EffectFlag> flags = {
        {"--pattern", PARAM_PATTERN, "dots|color-dots|texture",
         {{"dots", PATTERN_RANDOM_DOTS}, {"color-dots", PATTERN_RANDOM_COLOR_DOTS}, {"texture", PATTERN_TEXTURE}}},
        {"--contrast", PARAM_DOT_CONTRAST, "PCT", {}},
        {"--texture-transform", PARAM_TEXTURE_TRANSFORM, "crop|resize",
         {{"crop", TEXTURE_CROPPING}, {"resize", TEXTURE_RESIZING}}},
        {"--mode", PARAM_STEREOGRAM_TYPE, "divergence|convergence",
         {{"divergence", STEREOGRAM_DIVERGENCE}, {"convergence", STEREOGRAM_CONVERGENCE}}},
        {"--period", PARAM_PERIOD, "PX", {}},
        {"--oversampling", PARAM_OVERSAMPLING, "N", {}},
        {"--post", PARAM_POST_ENABLE, "", {}},
        {"--blur", PARAM_BLUR, "R", {}},
        {"--sharpen", PARAM_SHARPEN, "S", {}},
    };
    return flags;
}

std::string choiceName(const vellumbra::ParamDecl &decl, int value) {
    std::string all = decl.choices ? decl.choices : "";
    int i = 1;
    std::size_t start = 0;
    for (;;) {
        std::size_t bar = all.find('|', start);
        if (i == value) return all.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (bar == std::string::npos) return "?";
        start = bar + 1;
        ++i;
    }
}

std::string effectFlagHelp() {
    std::string out;
    for (const EffectFlag &f : effectFlags()) {
        const vellumbra::ParamDecl *decl = vellumbra::FindParamDecl(f.index);
        std::string head = std::string("  ") + f.flag + (f.metavar[0] ? std::string(" ") + f.metavar : "");
        if (head.size() < 38) head.resize(38, ' ');
        else head += "\n" + std::string(38, ' ');
        std::string text = std::string("\"") + decl->name + "\"";
        if (!f.choices.empty()) {
            text += ": ";
            for (std::size_t i = 0; i < f.choices.size(); ++i)
                text += (i ? ", " : "") + f.choices[i].first + " = \"" + choiceName(*decl, f.choices[i].second) + "\"";
            for (const auto &c : f.choices)
                if (c.second == int(decl->dephault)) text += "; default " + c.first;
        } else if (decl->type == PF_Param_CHECKBOX) {
            text = std::string("\"") + vellumbra::FindParamDecl(PARAM_POST_GROUP)->name + "\" " + text +
                   (decl->dephault != 0 ? ": on by default" : ": switches it on (default off)");
        } else {
            text += ": " + numberText(decl->valid_min) + " to " + numberText(decl->valid_max) + ", default " +
                    numberText(decl->dephault);
        }
        out += head + text + "\n";
    }
    return out;
}

ParamSetting effectSetting(const EffectFlag &f, const std::string &value) {
    ParamSetting s;
    s.index = f.index;
    s.flag = f.flag;
    if (f.metavar[0] == '\0') {
        s.value = 1.0;
    } else if (!f.choices.empty()) {
        std::vector<std::string> words;
        for (const auto &c : f.choices) words.push_back(c.first);
        std::string w = oneOf(f.flag, value, words);
        for (const auto &c : f.choices)
            if (c.first == w) s.value = c.second;
    } else {
        s.value = parseNumber(f.flag, value);
        const vellumbra::ParamDecl *decl = vellumbra::FindParamDecl(f.index);
        if (decl->type == PF_Param_SLIDER && s.value != std::floor(s.value))
            throw CliError(2, std::string(f.flag) + ": '" + value + "' is not a whole number");
        s.flag += " " + value;
    }
    return s;
}

// ---------------------------------------------------------------- helpers

std::string executableDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string path(buf);
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string defaultPlugin() {
#if defined(_WIN32)
    return executableDir() + "/Vellumbra.aex";
#else
    return executableDir() + "/Vellumbra.so";
#endif
}

// "dir/name.ext" -> "dir/name" + suffix (the extension replaced).
std::string replaceExtension(const std::string &path, const std::string &suffix) {
    std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + suffix;
    return path.substr(0, dot) + suffix;
}

// Whether two names denote one file (the same name, or the same existing file by another name).
bool sameFile(const std::string &a, const std::string &b) {
    if (a == b) return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// ---------------------------------------------------------------- render

int cmdRender(const std::vector<std::string> &args) {
    RenderJob job;
    job.plugin = defaultPlugin();
    job.threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string frames_text;
    bool pattern_given = false, post_given = false;
    std::vector<std::string> post_only;
    std::vector<Option> options = {
        {"-o", "OUT", [&](const std::string &v) { job.out = v; }},
        {"--input", "FILE", [&](const std::string &v) { job.input = v; }},
        {"--texture", "FILE", [&](const std::string &v) { job.texture = v; }},
        {"--bit-depth", "8|16|32",
         [&](const std::string &v) { job.project_bits = std::stoi(oneOf("--bit-depth", v, {"8", "16", "32"})); }},
        {"--out-bits", "8|16|32",
         [&](const std::string &v) { job.out_bits = std::stoi(oneOf("--out-bits", v, {"8", "16", "32"})); }},
        {"--downsample", "N", [&](const std::string &v) { job.downsample = int(parseWhole("--downsample", v, 1, 64)); }},
        {"--frames", "A-B", [&](const std::string &v) { frames_text = v; }},
        {"--threads", "N", [&](const std::string &v) { job.threads = int(parseWhole("--threads", v, 1, 1024)); }},
        {"--seed", "N",
         [&](const std::string &v) {
             job.seed = unsigned(parseWhole("--seed", v, 0, 4294967295L));
             job.seed_set = true;
         }},
        {"--plugin", "PATH", [&](const std::string &v) { job.plugin = v; }},
        {"--quiet", "", [&](const std::string &) { job.quiet = true; }},
    };
    for (const EffectFlag &f : effectFlags()) {
        options.push_back({f.flag, f.metavar, [&job, &f, &pattern_given, &post_given, &post_only](const std::string &v) {
                               ParamSetting s = effectSetting(f, v);
                               if (f.index == PARAM_PATTERN) pattern_given = true;
                               if (f.index == PARAM_POST_ENABLE) post_given = true;
                               if (f.index == PARAM_BLUR || f.index == PARAM_SHARPEN) post_only.push_back(f.flag);
                               job.params.push_back(s);
                           }});
    }
    std::string help =
        "usage: vellumbra render DEPTH [-o OUT] [options]\n"
        "\n"
        "Renders the stereogram of the depth map DEPTH (lighter is nearer) with the Vellumbra plug-in module.\n"
        "Pictures: PNG (8/16-bit), OpenEXR, TIFF, JPEG, PNM/PAM; grey, grey+alpha, RGB or RGBA.\n"
        "\n"
        "files:\n"
        "  -o OUT                              output file; its extension picks the format (.png .exr .tif .jpg\n"
        "                                      .ppm .pgm .pam); default: DEPTH with .stereogram.png\n"
        "  --input FILE                        the layer the effect is applied to (sets the output size);\n"
        "                                      default: a transparent layer of the depth map's size\n"
        "  --texture FILE                      texture layer (implies --pattern texture)\n"
        "\n"
        "effect controls (the plug-in's own ranges and defaults):\n" +
        effectFlagHelp() +
        "\n"
        "project and output:\n"
        "  --bit-depth 8|16|32                 project depth; default 16 for 16-bit sources, 32 for float, else 8\n"
        "  --out-bits 8|16|32                  output file depth (rounded to nearest); default: the project's\n"
        "  --downsample N                      render at 1/N resolution, like a host's preview\n"
        "\n"
        "sequences:\n"
        "  --frames A-B                        frames A to B; DEPTH (and INPUT, TEXTURE, OUT) hold #### or %04d\n"
        "  --threads N                         frames rendered at once; default: number of cores\n"
        "  --seed N                            seed the random dots once (reproducible with --threads 1)\n"
        "\n"
        "  --plugin PATH                       plug-in module; default: Vellumbra.so beside this program\n"
        "  --quiet                             no progress line and no summary\n";
    std::vector<std::string> pos = parseArgs("render", args, options, help);
    if (pos.empty()) throw CliError(2, "render: no DEPTH file given (see vellumbra render --help)");
    if (pos.size() > 1) throw CliError(2, "render: unexpected argument '" + pos[1] + "'");
    job.depth = pos[0];

    bool pattern_in_depth = HasFramePattern(job.depth);
    if (!frames_text.empty()) {
        std::string why;
        if (!ParseFrameRange(frames_text, &job.frames, &why)) throw CliError(2, "--frames: " + why);
        if (!pattern_in_depth)
            throw CliError(2, "--frames given but DEPTH '" + job.depth + "' holds no frame pattern (#### or %04d)");
        job.sequence = true;
    } else if (pattern_in_depth) {
        throw CliError(2, "DEPTH '" + job.depth + "' holds a frame pattern but no --frames A-B was given");
    }
    if (job.out.empty()) job.out = replaceExtension(job.depth, ".stereogram.png");
    if (job.sequence && !HasFramePattern(job.out))
        throw CliError(2, "OUT '" + job.out + "' needs a frame pattern (#### or %04d) for a sequence");
    int probe_frame = job.sequence ? job.frames.first : 0;
    for (const std::string *source : {&job.depth, &job.input, &job.texture})
        if (!source->empty() && sameFile(ExpandFramePattern(*source, probe_frame), ExpandFramePattern(job.out, probe_frame)))
            throw CliError(2, "OUT '" + job.out + "' would overwrite the source '" + *source + "'");
    FileFormat format;
    try {
        format = FormatFromPath(job.out);
    } catch (const ImageError &e) {
        throw CliError(2, e.what());
    }
    if (job.out_bits && !FormatHolds(format, job.out_bits))
        throw CliError(2, "--out-bits " + std::to_string(job.out_bits) + ": " + FormatName(format) +
                              " files cannot hold " + std::to_string(job.out_bits) + "-bit values");
    if (!job.texture.empty() && !pattern_given) {
        ParamSetting s;
        s.index = PARAM_PATTERN;
        s.value = PATTERN_TEXTURE;
        s.flag = "--texture";
        job.params.push_back(s);
    }
    double pattern = 0.0;  // the last setting wins, as it does in the host
    for (const ParamSetting &s : job.params)
        if (s.index == PARAM_PATTERN) pattern = s.value;
    if (pattern == PATTERN_TEXTURE && job.texture.empty())
        throw CliError(2, "--pattern texture needs a texture: --texture FILE");
    if (!post_given && !post_only.empty() && !job.quiet)
        std::fprintf(stderr, "vellumbra: note: %s has no effect without --post\n", post_only.front().c_str());
    job.progress = !job.quiet && ::isatty(2);

    RenderSummary sum = RunRender(job);
    if (!job.quiet) {
        std::string what = std::to_string(sum.width) + "x" + std::to_string(sum.height) + ", " +
                           std::to_string(sum.project_bits) + "-bit project, " + std::to_string(sum.file_bits) +
                           "-bit " + FormatName(format);
        if (job.sequence)
            std::printf("wrote %d frames (%s): %s ... %s\n", sum.frames, what.c_str(), sum.first_output.c_str(),
                        ExpandFramePattern(job.out, job.frames.last).c_str());
        else
            std::printf("wrote %s (%s)\n", sum.first_output.c_str(), what.c_str());
    }
    return 0;
}

// ---------------------------------------------------------------- demo

int cmdDemo(const std::vector<std::string> &args) {
    std::string out = "vellumbra-demo.png";
    std::string plugin = defaultPlugin();
    bool quiet = false;
    std::vector<Option> options = {
        {"-o", "OUT", [&](const std::string &v) { out = v; }},
        {"--plugin", "PATH", [&](const std::string &v) { plugin = v; }},
        {"--quiet", "", [&](const std::string &) { quiet = true; }},
    };
    std::string help =
        "usage: vellumbra demo [-o OUT]\n"
        "\n"
        "Renders a built-in scene (a torus and spheres over rippled ground, 1280x720) as a textured\n"
        "stereogram into OUT (default vellumbra-demo.png) and writes its depth map and texture beside it\n"
        "(OUT's name with .depth.png and .texture.png). View it in divergence: look through the picture, as if\n"
        "at something far behind it.\n"
        "\n"
        "  -o OUT          the stereogram file\n"
        "  --plugin PATH   plug-in module; default: Vellumbra.so beside this program\n"
        "  --quiet         print nothing\n";
    std::vector<std::string> pos = parseArgs("demo", args, options, help);
    if (!pos.empty()) throw CliError(2, "demo: unexpected argument '" + pos[0] + "'");
    try {
        FormatFromPath(out);
    } catch (const ImageError &e) {
        throw CliError(2, e.what());
    }
    std::string depth_path = replaceExtension(out, ".depth.png");
    std::string texture_path = replaceExtension(out, ".texture.png");
    try {
        WritePicture(depth_path, MakeDemoDepth(1280, 720), 16);
        WritePicture(texture_path, MakeDemoTexture(128, 128), 8);
    } catch (const ImageError &e) {
        throw CliError(2, e.what());
    }
    RenderJob job;
    job.depth = depth_path;
    job.texture = texture_path;
    job.out = out;
    job.plugin = plugin;
    job.project_bits = 8;
    job.quiet = true;
    job.params.push_back({PARAM_PATTERN, double(PATTERN_TEXTURE), "--pattern texture"});
    RunRender(job);
    if (!quiet) {
        std::printf("stereogram: %s\n", out.c_str());
        std::printf("depth map:  %s\n", depth_path.c_str());
        std::printf("texture:    %s\n", texture_path.c_str());
        std::printf("To see it, look through the picture as if at something far behind it (divergence).\n");
    }
    return 0;
}

// ---------------------------------------------------------------- decode

int cmdDecode(const std::vector<std::string> &args) {
    DecodeOptions opt;
    std::string out;
    const vellumbra::ParamDecl *period = vellumbra::FindParamDecl(PARAM_PERIOD);
    const vellumbra::ParamDecl *over = vellumbra::FindParamDecl(PARAM_OVERSAMPLING);
    opt.oversampling = int(over->dephault);
    opt.convergence = int(vellumbra::FindParamDecl(PARAM_STEREOGRAM_TYPE)->dephault) == STEREOGRAM_CONVERGENCE;
    std::vector<Option> options = {
        {"-o", "DEPTH", [&](const std::string &v) { out = v; }},
        {"--period", "PX",
         [&](const std::string &v) {
             opt.period = parseNumber("--period", v);
             if (opt.period < period->valid_min || opt.period > period->valid_max)
                 throw CliError(2, "--period: " + v + " is out of range (" + numberText(period->valid_min) +
                                       " to " + numberText(period->valid_max) + ")");
         }},
        {"--mode", "divergence|convergence",
         [&](const std::string &v) { opt.convergence = oneOf("--mode", v, {"divergence", "convergence"}) == "convergence"; }},
        {"--oversampling", "N",
         [&](const std::string &v) {
             opt.oversampling = int(parseWhole("--oversampling", v, long(over->valid_min), long(over->valid_max)));
         }},
    };
    std::string help =
        "usage: vellumbra decode STEREOGRAM [-o DEPTH] [--period PX] [--mode divergence|convergence]\n"
        "                        [--oversampling N]\n"
        "\n"
        "Recovers the depth map of a stereogram: for every pixel the horizontal distance at which the picture\n"
        "repeats (block matching, refined between pixels), turned back into depth with the effect's geometry.\n"
        "Pixels without a repetition are left transparent. Prints the period and the share of pixels decoded.\n"
        "\n"
        "  -o DEPTH                  output file; default: STEREOGRAM with .decoded.png\n"
        "  --period PX               the period it was rendered with; default: estimated from the picture,\n"
        "                            assuming its farthest depth is the far plane\n"
        "  --mode MODE               divergence (default) or convergence, as rendered\n"
        "  --oversampling N          as rendered (matters only for very wide pictures); default " +
        numberText(over->dephault) + "\n";
    std::vector<std::string> pos = parseArgs("decode", args, options, help);
    if (pos.empty()) throw CliError(2, "decode: no STEREOGRAM file given (see vellumbra decode --help)");
    if (pos.size() > 1) throw CliError(2, "decode: unexpected argument '" + pos[1] + "'");
    if (out.empty()) out = replaceExtension(pos[0], ".decoded.png");
    if (sameFile(out, pos[0])) throw CliError(2, "DEPTH '" + out + "' would overwrite the stereogram");
    try {
        FormatFromPath(out);
        Picture pic = ReadPicture(pos[0]);
        DecodeResult r;
        try {
            r = DecodeStereogram(pic, opt);
        } catch (const std::invalid_argument &e) {
            throw CliError(2, "cannot decode '" + pos[0] + "': " + e.what());
        }
        WritePicture(out, r.depth, 16);
        std::printf("period: %g (%s)\n", r.period, r.period_estimated ? "found" : "given");
        std::printf("decoded: %.1f%% of pixels\n", 100.0 * r.decoded_share);
        std::printf("depth map: %s\n", out.c_str());
        if (r.decoded_share < 0.25)
            std::fprintf(stderr, "vellumbra: note: little of '%s' repeats%s; is it a stereogram%s?\n", pos[0].c_str(),
                         r.period_estimated ? "" : " at that period", r.period_estimated ? "" : " of that period");
    } catch (const ImageError &e) {
        throw CliError(2, e.what());
    }
    return 0;
}

// ---------------------------------------------------------------- info

const char *typeName(PF_ParamType t) {
    switch (t) {
    case PF_Param_LAYER: return "layer";
    case PF_Param_SLIDER: return "slider";
    case PF_Param_FLOAT_SLIDER: return "float slider";
    case PF_Param_POPUP: return "popup";
    case PF_Param_CHECKBOX: return "checkbox";
    case PF_Param_GROUP_START: return "group start";
    case PF_Param_GROUP_END: return "group end";
    default: return "other";
    }
}

int cmdInfo(const std::vector<std::string> &args) {
    std::string plugin = defaultPlugin();
    std::vector<Option> options = {{"--plugin", "PATH", [&](const std::string &v) { plugin = v; }}};
    std::string help =
        "usage: vellumbra info [--plugin PATH]\n"
        "\n"
        "Loads the plug-in module and shows what a host sees: its announcement, version, About text, the\n"
        "parameters as the host received them, and the symbols the module exports.\n";
    std::vector<std::string> pos = parseArgs("info", args, options, help);
    if (!pos.empty()) throw CliError(2, "info: unexpected argument '" + pos[0] + "'");
    auto module = LoadPlugin(plugin);
    vbhost::Host host;
    host.SetEffect(module->effect_main(), module->entry());
    vbhost::Host::Announcement a;
    PF_Err err = host.Announce(&a);
    if (err != PF_Err_NONE) throw CliError(1, "the plug-in's announcement failed with error " + std::to_string(err));
    std::printf("plug-in:      %s\n", plugin.c_str());
    std::printf("name:         %s\n", a.name.c_str());
    std::printf("match name:   %s\n", a.match_name.c_str());
    std::printf("category:     %s\n", a.category.c_str());
    std::printf("entry point:  %s\n", a.entry_point.c_str());
    std::printf("API version:  %d.%d\n", int(a.api_version), int(a.api_subversion));
    err = host.Send(PF_Cmd_GLOBAL_SETUP);
    if (err != PF_Err_NONE) throw CliError(1, "the effect's global setup failed with error " + std::to_string(err));
    A_u_long v = host.out_data().my_version;
    static const char *kStages[] = {"develop", "alpha", "beta", "release"};
    std::printf("version:      %u.%u.%u %s build %u\n", unsigned(((v >> 26) & 0xF) << 3 | ((v >> 19) & 0x7)),
                unsigned((v >> 15) & 0xF), unsigned((v >> 11) & 0xF), kStages[(v >> 9) & 0x3], unsigned(v & 0x1FF));
    std::printf("out flags:    0x%08x, 0x%08x\n", unsigned(host.out_data().out_flags),
                unsigned(host.out_data().out_flags2));
    err = host.Send(PF_Cmd_ABOUT);
    if (err != PF_Err_NONE) throw CliError(1, "the effect's About failed with error " + std::to_string(err));
    std::string about = host.out_data().return_msg;
    std::printf("about:        ");
    for (char c : about) std::putchar(c == '\r' ? '\n' : c);
    std::printf("\n");
    err = host.Send(PF_Cmd_PARAMS_SETUP);
    if (err != PF_Err_NONE) throw CliError(1, "the effect's parameter setup failed with error " + std::to_string(err));
    std::printf("parameters (%d, with the input layer):\n", int(host.out_data().num_params));
    const auto &defs = host.param_defs();
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const PF_ParamDef &d = defs[i];
        std::string line = "  " + std::to_string(i) + "  " + typeName(d.param_type) + "  \"" + d.name + "\"";
        switch (d.param_type) {
        case PF_Param_FLOAT_SLIDER:
            line += "  valid " + numberText(d.u.fs_d.valid_min) + " to " + numberText(d.u.fs_d.valid_max) +
                    ", slider " + numberText(d.u.fs_d.slider_min) + " to " + numberText(d.u.fs_d.slider_max) +
                    ", default " + numberText(d.u.fs_d.dephault);
            break;
        case PF_Param_SLIDER:
            line += "  valid " + std::to_string(d.u.sd.valid_min) + " to " + std::to_string(d.u.sd.valid_max) +
                    ", slider " + std::to_string(d.u.sd.slider_min) + " to " + std::to_string(d.u.sd.slider_max) +
                    ", default " + std::to_string(d.u.sd.dephault);
            break;
        case PF_Param_POPUP:
            line += "  \"" + std::string(d.u.pd.u.namesptr ? d.u.pd.u.namesptr : "") + "\", default " +
                    std::to_string(d.u.pd.dephault);
            break;
        case PF_Param_CHECKBOX:
            line += std::string("  default ") + (d.u.bd.dephault ? "on" : "off");
            break;
        default:
            break;
        }
        if (i > 0) line += "  (id " + std::to_string(d.uu.id) + ")";
        std::printf("%s\n", line.c_str());
    }
    std::vector<std::string> names;
    std::string why;
    std::printf("exported symbols:");
    if (ListExportedSymbols(plugin, &names, &why)) {
        for (const std::string &n : names) std::printf(" %s", n.c_str());
        std::printf("\n");
    } else {
        std::printf(" (%s; entry points found: EffectMain, PluginDataEntryFunction)\n", why.c_str());
    }
    return 0;
}

}  // namespace
}  // namespace vbcli

int main(int argc, char **argv) {
    using namespace vbcli;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    RemoveUnfinishedFilesOnInterrupt();
    try {
        if (command == "render") return cmdRender(args);
        if (command == "demo") return cmdDemo(args);
        if (command == "decode") return cmdDecode(args);
        if (command == "info") return cmdInfo(args);
        throw CliError(2, "unknown command '" + command + "' (commands: render, demo, decode, info)");
    } catch (const CliError &e) {
        std::fprintf(stderr, "vellumbra: %s\n", e.what());
        return e.exit_code;
    } catch (const ImageError &e) {
        std::fprintf(stderr, "vellumbra: %s\n", e.what());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vellumbra: %s\n", e.what());
        return 2;
    }
}
