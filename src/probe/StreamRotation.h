#pragma once

#include <cstdint>

struct AVStream;

namespace kavlo {

// How many degrees clockwise a player turns the pictures of a stream before showing them,
// from the stream's display matrix: 0, 90, 180 or 270. Streams without a matrix, with a
// singular one, or with a rotation that is not close to a quarter turn count as upright.
int StreamRotation(const AVStream* stream);

// The same for a display matrix (nine 16.16/2.30 fixed-point values); null counts as upright.
int DisplayMatrixRotation(const int32_t* matrix);

} // namespace kavlo
