#pragma once
#include <string>

struct AVStream;

namespace kavlo {

// The filter chain that turns the stream's pictures upright (transpose, hflip, vflip), taking a
// mirrored display matrix into account; empty when the pictures are upright already. The turn
// itself is the probe's StreamRotation.
std::string UprightFilterChain(const AVStream* stream);

} // namespace kavlo
