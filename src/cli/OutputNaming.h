#pragma once
#include <string>

namespace kavlo::cli {

// Creates the output folder with all missing parents. False with the reason when it cannot be
// made; the converter then fails every file with that text rather than writing elsewhere.
bool EnsureOutputFolder(const std::string& folder, std::string& error);

// The output path of a source in `folder` by the program's naming rule (never an existing file).
std::string OutputFileNameIn(const std::string& folder, const std::string& sourcePath,
                             const std::string& suffix);

} // namespace kavlo::cli
