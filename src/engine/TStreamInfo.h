#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// Metadata of an output file.
struct TStreamInfo {
    // Date-time as days since 1899-12-30 in local time (the classic desktop date-time):
    // -1 none, 0 the current time, above 0 that date-time. Written as the file's creation time.
    double Timestamp = -1.0;
    // Stored as "year" / "track" when above 0.
    int32_t Year = -1;
    int32_t Track = -1;
    // Each stored under its lower-case name when not empty.
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

} // namespace kavlo
