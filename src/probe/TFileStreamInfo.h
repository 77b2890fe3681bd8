#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// Container-level facts of an open file. Numbers are -1 when the file does not tell.
struct TFileStreamInfo {
    int64_t StartTime = -1; // microseconds
    int64_t Duration = -1;  // microseconds
    int BitRate = -1;       // bit/s
    int64_t TimeStamp = -1; // creation time, Unix seconds
    int Year = -1;
    int Track = -1;
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

} // namespace kavlo
