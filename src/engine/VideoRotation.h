#pragma once
#include <string>

struct AVStream;

namespace kavlo {

// The clockwise turn (0, 90, 180 or 270 degrees) a player applies to show the stream upright,
// read from the stream's display matrix; other angles are taken to the nearest quarter turn.
int DisplayRotation(const AVStream* stream);

// The filter chain that turns the stream's pictures upright (transpose, hflip, vflip), taking
// a mirrored display matrix into account; empty when the pictures are upright already.
std::string UprightFilterChain(const AVStream* stream);

} // namespace kavlo
