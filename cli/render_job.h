// Rendering through the plug-in module with the stand-in host: one frame or a numbered sequence of frames.
#pragma once

#include "cli/frames.h"
#include "cli/picture.h"
#include "host/host.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace vbcli {

// A failure that ends the command: the message is one line naming the culprit; exit_code 2 for bad input or
// set-up, 1 for a render the effect itself failed.
class CliError : public std::runtime_error {
public:
    CliError(int code, const std::string &message) : std::runtime_error(message), exit_code(code) {}
    int exit_code;
};

// One effect control as set on the command line: the parameter's index and the value the host should store.
struct ParamSetting {
    int index = 0;
    double value = 0.0;
    std::string flag;  // how the user spelled it, for messages
};

struct RenderJob {
    std::string depth;    // file name, may hold a frame pattern
    std::string input;    // optional
    std::string texture;  // optional
    std::string out;
    std::vector<ParamSetting> params;
    int project_bits = 0;  // 0: chosen from the sources
    int out_bits = 0;      // 0: follow the project
    int downsample = 1;
    bool sequence = false;
    FrameRange frames;
    int threads = 1;
    bool seed_set = false;
    unsigned seed = 0;
    std::string plugin;
    bool quiet = false;
    bool progress = false;  // a progress line on stderr
};

struct RenderSummary {
    int frames = 0;
    int width = 0, height = 0;
    int project_bits = 8;
    int file_bits = 8;
    std::string first_output;
};

// Picture <-> host image. Grey becomes R = G = B; a picture without alpha is opaque. Values go to the depth's
// nominal range with rounding to nearest (16-bit: 0..32768).
vbhost::Image ToHostImage(const Picture &picture);
// From the host's picture in its depth to a normalised picture; RGB when fully opaque, RGBA otherwise.
Picture FromHostImage(const vbhost::Image &image);

// The same for an 8-bit project without the float pictures in between: the packed bytes an 8-bit world of
// ToHostImage(picture) holds, for an 8-bit picture, and the 8-bit samples FromHostImage and an 8-bit file make
// of an 8-bit output world.
vbhost::PackedImage ToPacked8(const Picture &picture);
Picture8 FromPacked8(const vbhost::PackedImage &image);

// Loads the plug-in module, or throws CliError(2) naming the file and what is wrong with it.
std::unique_ptr<vbhost::Module> LoadPlugin(const std::string &path);

// A host with the effect set up: announced, global setup and parameter setup sent. Throws CliError(1) with the
// effect's error code when one of those commands fails.
std::unique_ptr<vbhost::Host> MakeEffectHost(const vbhost::Module &module, vbhost::Depth depth);

// Applies the settings through the host, which rejects values out of range; throws CliError(2) naming the flag.
void ApplyParams(vbhost::Host &host, const std::vector<ParamSetting> &params);

// Renders every frame of the job and writes the outputs; throws CliError on the first failure.
RenderSummary RunRender(const RenderJob &job);

}  // namespace vbcli
