// The built-in procedural depth scene of `vellumbra demo`: no input files needed.
#pragma once

#include "cli/picture.h"

namespace vbcli {

// A torus and a few spheres over a rippled ground, as a smooth 16-bit grey depth map (lighter is nearer).
Picture MakeDemoDepth(int width, int height);

// A colourful 8-bit RGB texture whose rows wrap around seamlessly, with fine grain over soft colour waves: the
// grain gives the eyes something to lock on to, the colours make it pleasant.
Picture MakeDemoTexture(int width, int height);

}  // namespace vbcli
