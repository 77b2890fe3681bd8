#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace kavlo::cli {

// Where one file's conversion stands.
struct TFileProgress {
    int64_t CurrentUs = 0;   // media written so far
    int64_t ExpectedUs = -1; // media the file will have; -1 when unknown
    int64_t Bytes = 0;       // output size so far
    double ElapsedSec = 0;   // wall-clock time since the file started
};

// 0..100, or -1 when the expected length is unknown.
int ProgressPercent(const TFileProgress& p);
// Media seconds converted per wall-clock second; 0 while nothing can be said yet.
double ProgressSpeed(const TFileProgress& p);
// Seconds still to go at the current speed; -1 when unknown.
double ProgressEtaSeconds(const TFileProgress& p);

// "clip.mov  42%  00:00:04 / 00:00:10  1.20 MB  2.35x  ETA 00:00:03"
std::string FormatProgressLine(const std::string& label, const TFileProgress& p);

// Progress of the files being converted, on stderr. On a terminal each running file has one
// line that is rewritten in place; elsewhere (a log file, a pipe) a plain line is printed each
// time a file passes another tenth of its length. Result lines are printed above the live
// lines, so the two never overwrite each other.
class TProgressDisplay {
public:
    TProgressDisplay(FILE* stream, bool terminal, bool enabled);
    ~TProgressDisplay();
    TProgressDisplay(const TProgressDisplay&) = delete;
    TProgressDisplay& operator=(const TProgressDisplay&) = delete;

    void Update(int key, const std::string& label, const TFileProgress& progress);
    void Remove(int key);
    // A finished line on `out` (stdout or stderr), above the live lines.
    void Print(FILE* out, const std::string& line);

private:
    void Erase();
    void Draw();
    int Width() const;

    FILE* stream_;
    bool terminal_;
    bool enabled_;
    std::map<int, std::string> lines_;
    std::map<int, int> lastTenth_;
    int drawn_ = 0;
};

} // namespace kavlo::cli
