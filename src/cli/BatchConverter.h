#pragma once
#include "cli/CliOptions.h"

namespace kavlo::cli {

// Exit statuses of kavlo-convert (a caught signal gives 128 + its number, 130 for SIGINT).
inline constexpr int kExitConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;

// Converts the files of the command line as the main window's Start would: the stored settings
// and profile choices (with this run's changes), the job option builder, the batch rules and
// the engine, with progress on stderr and a result per file. Returns the exit status.
int RunConverter(const TCliOptions& options);

} // namespace kavlo::cli
