#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// How the application describes the input of a task (AddTask). Texts are UTF-8.
struct TInputOptions {
    // Set to the AddTask file name when empty.
    std::string FileName;
    // Option "f" (forced input format).
    std::string FileFormat;
    // Option "ss" (µs), applied unless it is the no-value time.
    int64_t StartTime = INT64_MIN;
    // Option "programid", applied if 0 or more.
    int32_t ProgramID = -1;
    // Further options: lines name=value separated by line breaks or "<CRLF>".
    std::string ExtOptions;
};

} // namespace kavlo
