#include "cli/CliOptions.h"

#include "core/TextUtils.h"
#include "core/WatermarkFont.h"

#include <climits>
#include <cstdlib>
#include <functional>
#include <map>

namespace kavlo::cli {

namespace {

bool AllDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Whole number of at most 18 digits (so that scaling to microseconds cannot overflow).
bool ParseCount(const std::string& s, int64_t& value) {
    if (!AllDigits(s) || s.size() > 12)
        return false;
    value = std::strtoll(s.c_str(), nullptr, 10);
    return true;
}

bool ParseIntIn(const std::string& text, int lo, int hi, int& value) {
    int v = 0;
    if (!TryParseInt(text, v) || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

// "A,B" or "A,B,C,D" of whole numbers >= 0.
bool ParseIntList(const std::string& text, size_t count, std::vector<int>& values) {
    std::vector<std::string> parts = Split(text, ',');
    if (parts.size() != count)
        return false;
    values.clear();
    for (const std::string& p : parts) {
        int v = 0;
        if (!TryParseInt(p, v) || v < 0)
            return false;
        values.push_back(v);
    }
    return true;
}

// A line for the engine's option text: one name=value line, nothing that would start another.
bool ValidOptionLine(const std::string& line) {
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos ||
        line.find("<CRLF>") != std::string::npos)
        return false;
    const std::string name = Trim(line.substr(0, line.find('=')));
    return !name.empty();
}

const char* const kBoxNames[] = {"VideoSize",  "VideoBitRate", "FrameRate", "VideoEncoder", "AudioBitRate",
                                 "SampleRate", "AudioEncoder", "Channel",   "Volume",       "Zoom"};

} // namespace

bool ParseTimeText(const std::string& text, int64_t& microseconds) {
    const std::string t = Trim(text);
    std::vector<std::string> parts = Split(t, ':');
    if (parts.empty() || parts.size() > 3)
        return false;
    // Fraction on the last part only.
    std::string last = parts.back();
    std::string fraction;
    const size_t dot = last.find('.');
    if (dot != std::string::npos) {
        fraction = last.substr(dot + 1);
        last = last.substr(0, dot);
        if (fraction.empty() || !AllDigits(fraction))
            return false;
    }
    parts.back() = last;
    int64_t total = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        int64_t v = 0;
        if (!ParseCount(parts[i], v))
            return false;
        // Minutes and seconds below a larger unit stay below 60.
        if (i > 0 && v >= 60)
            return false;
        total = total * 60 + v;
    }
    int64_t frac = 0;
    for (size_t i = 0; i < 6; ++i)
        frac = frac * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    microseconds = total * 1000000 + frac;
    return true;
}

bool ParseColorText(const std::string& text, uint32_t& bgrColor) {
    std::string t = Trim(text);
    if (!t.empty() && t[0] == '#')
        t = t.substr(1);
    if (t.size() != 6)
        return false;
    for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    const unsigned long rgb = std::strtoul(t.c_str(), nullptr, 16);
    bgrColor = MakeBgrColor(static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
                            static_cast<uint8_t>(rgb));
    return true;
}

int PriorityByName(const std::string& name) {
    const std::string n = ToLower(Trim(name));
    if (n == "idle")
        return 0;
    if (n == "normal")
        return 1;
    if (n == "lower")
        return 2;
    if (n == "lowest")
        return 3;
    return -1;
}

std::string UsageText() {
    return R"(Usage: kavlo-convert [options] FILE...
Converts every FILE with one output profile into the output folder. Settings, profiles and the
per-profile choices are those of the Kavlo MOV to MP4 Converter; nothing is written to them.

Profile and output:
  -p, --profile CODE|NAME   output profile (default: the stored choice, else 1)
      --list-profiles       print every profile: code, category and name, tab-separated
  -o, --output-dir DIR      output folder (default: the stored output folder)
      --set KEY=VALUE       a profile parameter for this run, as the panel offers it:
                            VideoSize, VideoBitRate, FrameRate, VideoEncoder, AudioBitRate,
                            SampleRate, AudioEncoder, Channel, Volume, Zoom
      --no-default-size     an unusable stored frame size keeps the source size instead of 320x240
Per-file editing (applies to every FILE):
      --trim START[,LENGTH] convert from START for LENGTH (seconds or HH:MM:SS.mmm)
      --crop T,B,L,R        cut margins in source pixels (made even)
      --zoom MODE           full, lbox, pan or center
      --brightness N        0..512 (255 neutral)      --contrast N    -100..100 (0 neutral)
      --saturation N        0..512 (255 neutral)      --exposure N    -255..512 (0 neutral)
      --text TEXT           text watermark            --text-pos X,Y  its top-left corner
      --font NAME,SIZE,#RRGGBB[,STYLE]  STYLE: bold, italic, underline, strikeout joined by +
      --process-text        the text goes through the adjustments
      --image FILE.bmp      image watermark           --image-pos X,Y its top-left corner
      --alpha N             image opacity 0..255      --blend 1|2     alpha or multiply blend
      --process-image       the image goes through the adjustments
Engine:
      --option NAME=VALUE   extra output option (repeatable). The profile's own settings are
                            applied after it and win (change those with --set); like the
                            engine, a name it does not know is ignored
      --input-option NAME=VALUE  extra input option (repeatable)
  -j, --jobs N              convert N files at once (default 1)
      --priority LEVEL      idle, normal, lower or lowest (default: the stored setting)
      --log-level LEVEL     print engine messages: quiet, panic, fatal, error, warning, info,
                            verbose, debug
Reporting:
  -q, --quiet               no progress and no result lines (errors still go to stderr)
      --json                one JSON object per finished file on stdout
  -h, --help                this text
      --version             the program's version

Exit status: 0 when every file converted, 1 when some failed, 2 for a bad command line,
130 when interrupted (Ctrl+C stops the batch; files written so far are closed properly).
)";
}

bool ParseCommandLine(const std::vector<std::string>& args, TCliOptions& o, std::string& error) {
    o = TCliOptions{};
    TlvFilesRecord& r = o.Record;

    using Handler = std::function<bool(const std::string&)>;
    struct OptionRule {
        bool takesValue;
        Handler handle;
        const char* problem; // what is wrong with a refused value
    };
    auto flag = [](bool& b) { return OptionRule{false, [&b](const std::string&) { return b = true; }, ""}; };
    auto ranged = [](int& field, int lo, int hi, const char* problem) {
        return OptionRule{true, [&field, lo, hi](const std::string& v) { return ParseIntIn(v, lo, hi, field); },
                    problem};
    };
    auto position = [](int32_t& x, int32_t& y) {
        return OptionRule{true,
                    [&x, &y](const std::string& v) {
                        std::vector<int> xy;
                        if (!ParseIntList(v, 2, xy))
                            return false;
                        x = xy[0];
                        y = xy[1];
                        return true;
                    },
                    "expected X,Y (whole numbers, 0 or more)"};
    };

    std::map<std::string, OptionRule> specs = {
        {"--help", flag(o.Help)},
        {"--version", flag(o.ShowVersion)},
        {"--list-profiles", flag(o.ListProfiles)},
        {"--quiet", flag(o.Quiet)},
        {"--json", flag(o.Json)},
        {"--no-default-size", flag(o.NoDefaultSize)},
        {"--process-text", flag(r.ProcessText)},
        {"--process-image", flag(r.ProcessImage)},
        {"--profile", {true, [&](const std::string& v) { return !(o.Profile = Trim(v)).empty(); }, "empty"}},
        {"--output-dir",
         {true,
          [&](const std::string& v) {
              o.OutputDir = v;
              return !v.empty();
          },
          "empty"}},
        {"--set",
         {true,
          [&](const std::string& v) {
              const size_t eq = v.find('=');
              if (eq == std::string::npos)
                  return false;
              const std::string key = Trim(v.substr(0, eq));
              for (const char* name : kBoxNames)
                  if (SameText(key, name)) {
                      o.Sets.emplace_back(name, v.substr(eq + 1));
                      return true;
                  }
              return false;
          },
          "expected KEY=VALUE with KEY one of VideoSize, VideoBitRate, FrameRate, VideoEncoder, "
          "AudioBitRate, SampleRate, AudioEncoder, Channel, Volume, Zoom"}},
        {"--trim",
         {true,
          [&](const std::string& v) {
              std::vector<std::string> parts = Split(v, ',');
              if (parts.empty() || parts.size() > 2)
                  return false;
              int64_t start = 0, length = 0;
              if (!ParseTimeText(parts[0], start))
                  return false;
              if (parts.size() == 2 && (!ParseTimeText(parts[1], length) || length <= 0))
                  return false;
              r.TrimStart = start;
              r.TrimLength = length;
              return true;
          },
          "expected START[,LENGTH] as seconds or HH:MM:SS.mmm (LENGTH above 0)"}},
        {"--crop",
         {true,
          [&](const std::string& v) {
              std::vector<int> c;
              if (!ParseIntList(v, 4, c))
                  return false;
              // Source pixels, even, as the crop dialog stores them.
              r.CropTop = c[0] / 2 * 2;
              r.CropBottom = c[1] / 2 * 2;
              r.CropLeft = c[2] / 2 * 2;
              r.CropRight = c[3] / 2 * 2;
              return true;
          },
          "expected TOP,BOTTOM,LEFT,RIGHT (whole numbers, 0 or more)"}},
        {"--zoom",
         {true,
          [&](const std::string& v) {
              const std::string m = ToLower(Trim(v));
              if (m != "full" && m != "lbox" && m != "pan" && m != "center")
                  return false;
              o.Zoom = m;
              return true;
          },
          "expected full, lbox, pan or center"}},
        {"--brightness", ranged(r.Brightness, 0, 512, "expected 0..512")},
        {"--contrast", ranged(r.Contrast, -100, 100, "expected -100..100")},
        {"--saturation", ranged(r.Saturation, 0, 512, "expected 0..512")},
        {"--exposure", ranged(r.Exposure, -255, 512, "expected -255..512")},
        {"--alpha", ranged(r.ImageAlpha, 0, 255, "expected 0..255")},
        {"--blend", ranged(r.ImageBlendStyle, 1, 2, "expected 1 or 2")},
        {"--text", {true, [&](const std::string& v) { return !(r.WatermarkText = v).empty(); }, "empty"}},
        {"--text-pos", position(r.TextX, r.TextY)},
        {"--image",
         {true, [&](const std::string& v) { return !(r.WatermarkImageFile = v).empty(); }, "empty"}},
        {"--image-pos", position(r.ImageX, r.ImageY)},
        {"--font",
         {true,
          [&](const std::string& v) {
              std::vector<std::string> parts = Split(v, ',');
              if (parts.empty() || parts.size() > 4 || Trim(parts[0]).empty())
                  return false;
              WatermarkFont f;
              f.Name = Trim(parts[0]);
              if (parts.size() > 1 && !ParseIntIn(parts[1], 1, 400, f.Size))
                  return false;
              if (parts.size() > 2 && !ParseColorText(parts[2], f.Color))
                  return false;
              if (parts.size() > 3)
                  for (const std::string& s : Split(parts[3], '+')) {
                      const std::string style = ToLower(Trim(s));
                      if (style == "bold")
                          f.Bold = true;
                      else if (style == "italic")
                          f.Italic = true;
                      else if (style == "underline")
                          f.Underline = true;
                      else if (style == "strikeout")
                          f.StrikeOut = true;
                      else
                          return false;
                  }
              r.WatermarkFont = f;
              return true;
          },
          "expected NAME[,SIZE[,#RRGGBB[,STYLE]]] with SIZE 1..400 and STYLE of bold, italic, "
          "underline, strikeout joined by +"}},
        {"--option",
         {true,
          [&](const std::string& v) {
              if (!ValidOptionLine(v))
                  return false;
              o.OutputOptions.push_back(v);
              return true;
          },
          "expected NAME=VALUE on one line"}},
        {"--input-option",
         {true,
          [&](const std::string& v) {
              if (!ValidOptionLine(v))
                  return false;
              o.InputOptions.push_back(v);
              return true;
          },
          "expected NAME=VALUE on one line"}},
        {"--jobs", ranged(o.Jobs, 1, 64, "expected 1..64")},
        {"--priority",
         {true,
          [&](const std::string& v) {
              const int p = PriorityByName(v);
              if (p < 0)
                  return false;
              o.Priority = p;
              return true;
          },
          "expected idle, normal, lower or lowest"}},
        {"--log-level",
         {true,
          [&](const std::string& v) {
              static const char* const levels[] = {"quiet",   "panic", "fatal",   "error",
                                                   "warning", "info",  "verbose", "debug"};
              for (const char* l : levels)
                  if (SameText(Trim(v), l)) {
                      o.LogLevel = l;
                      return true;
                  }
              return false;
          },
          "expected quiet, panic, fatal, error, warning, info, verbose or debug"}},
    };
    const std::map<std::string, std::string> shortNames = {
        {"-h", "--help"}, {"-p", "--profile"}, {"-o", "--output-dir"}, {"-j", "--jobs"}, {"-q", "--quiet"}};

    bool filesOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            o.Files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            filesOnly = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
        } else if (auto s = shortNames.find(arg); s != shortNames.end()) {
            arg = s->second;
        }
        auto it = specs.find(arg);
        if (it == specs.end()) {
            error = "unknown option " + args[i];
            return false;
        }
        const OptionRule& rule = it->second;
        if (!rule.takesValue) {
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            rule.handle("");
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!rule.handle(value)) {
            error = "bad value for " + arg + ": \"" + value + "\" (" + rule.problem + ")";
            return false;
        }
    }
    if (o.Help || o.ShowVersion || o.ListProfiles)
        return true;
    if (o.Files.empty()) {
        error = "no input file given";
        return false;
    }
    return true;
}

} // namespace kavlo::cli
