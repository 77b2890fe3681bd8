#pragma once
#include <cstdint>
#include <string>

namespace kavlo::cli {

// A JSON string literal (with the quotes). Bytes that are not valid UTF-8, as a file name may
// hold, become U+FFFD so the output always parses.
std::string JsonString(const std::string& text);

// What became of one file, as the --json line reports it.
struct TFileReport {
    std::string Source;
    std::string Output;  // empty when no output was named
    std::string Status;  // "converted", "failed" or "stopped"
    std::string Error;   // the engine's or the builder's text; empty when converted
    double Duration = 0; // seconds of media written
    int64_t Size = -1;   // bytes of the output file; -1 when there is none
    double Seconds = 0;  // wall-clock seconds the file took
};

// One JSON object on one line (no trailing line break).
std::string FileReportJson(const TFileReport& report);

} // namespace kavlo::cli
