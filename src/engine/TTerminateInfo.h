#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// One task's termination (TaskIndex -1: the end of the run).
struct TTerminateInfo {
    int32_t TaskIndex = 0;
    bool Finished = false; // ran to its end without a stop request
    bool Failed = false;   // an error ended the task or kept it from starting
    std::string ErrorMessage;
};

} // namespace kavlo
