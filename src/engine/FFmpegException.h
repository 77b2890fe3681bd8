#pragma once
#include <stdexcept>
#include <string>

namespace kavlo {

// The engine's error: raised by option handling, input/output set-up and the transcode step
// with a fixed message text; the component turns it into LastErrMsg or a failed termination.
class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

} // namespace kavlo
