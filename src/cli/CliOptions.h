#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/TlvFilesRecord.h"

namespace kavlo::cli {

// Everything kavlo-convert was asked to do, as read from its command line.
struct TCliOptions {
    std::vector<std::string> Files;
    bool Help = false;
    bool ShowVersion = false;
    bool ListProfiles = false;

    // Code or display name; empty = the stored "FormatCode".
    std::string Profile;
    // Empty = the stored "OutPutDir".
    std::optional<std::string> OutputDir;
    // --set KEY=VALUE in command-line order; keys are panel box names (VideoSize, ...).
    std::vector<std::pair<std::string, std::string>> Sets;
    // --zoom: the zoom mode name ("full", "lbox", "pan", "center").
    std::optional<std::string> Zoom;

    // The per-file editing every file of this run gets, as a list row's record holds it.
    TlvFilesRecord Record;

    // Extra engine options as NAME=VALUE lines for the output and the input of every file.
    std::vector<std::string> OutputOptions;
    std::vector<std::string> InputOptions;

    int Jobs = 1;
    // The "priority" setting's value (0 idle, 1 normal, 2 lower, 3 lowest); unset = stored value.
    std::optional<int> Priority;
    bool Quiet = false;
    bool Json = false;
    bool NoDefaultSize = false;
    // Engine log lines to stderr from this level on; empty = none.
    std::string LogLevel;
};

// Reads the arguments after the program name. False with a one-line reason when the command
// line cannot be used.
bool ParseCommandLine(const std::vector<std::string>& args, TCliOptions& options, std::string& error);

std::string UsageText();

// A time as seconds ("90", "12.5") or clock text ("1:30", "00:01:30.250"); microseconds, exact
// to the microsecond. Negative times and malformed text are refused.
bool ParseTimeText(const std::string& text, int64_t& microseconds);

// "#RRGGBB" or "RRGGBB" as a colour of the record's font.
bool ParseColorText(const std::string& text, uint32_t& bgrColor);

// "idle", "normal", "lower", "lowest" as the value of the "priority" setting; -1 for others.
int PriorityByName(const std::string& name);

} // namespace kavlo::cli
