#include "engine/TCustomFFmpegEngine.h"

#include "core/TextUtils.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "probe/TAVProbe.h"

#include <cinttypes>
#include <cmath>
#include <ctime>
#include <map>
#include <utility>

namespace kavlo {

namespace {

// name=value lines of an ExtOptions text: trimmed, line breaks and "<CRLF>" tokens alike.
std::vector<std::pair<std::string, std::string>> ExtOptionLines(const std::string& text) {
    std::string t = Trim(text);
    std::string normalised;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\r') {
            normalised += '\n';
            if (i + 1 < t.size() && t[i + 1] == '\n')
                ++i;
        } else if (t.compare(i, 6, "<CRLF>") == 0) {
            normalised += '\n';
            i += 5;
        } else {
            normalised += t[i];
        }
    }
    std::vector<std::pair<std::string, std::string>> lines;
    for (const std::string& raw : Split(normalised, '\n')) {
        std::string line = Trim(raw);
        if (line.empty())
            continue;
        size_t eq = line.find('=');
        std::string name = ToLower(Trim(line.substr(0, eq)));
        std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        lines.emplace_back(name, value);
    }
    return lines;
}

// A time in µs as the duration text the option parser reads ("-1.500000").
std::string DurationText(int64_t us) {
    uint64_t magnitude = us < 0 ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
    return Format("%s%" PRIu64 ".%06" PRIu64, us < 0 ? "-" : "", magnitude / 1000000, magnitude % 1000000);
}

// The classic desktop date-time (days since 1899-12-30, local time) as a UTC date text.
std::string DateTimeText(double dateTime) {
    double days = std::floor(dateTime);
    double secondsOfDay = std::round((dateTime - days) * 86400.0);
    std::time_t base = static_cast<std::time_t>((days - 25569.0) * 86400.0);
    std::tm tm{};
    gmtime_r(&base, &tm); // the calendar day
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = static_cast<int>(secondsOfDay);
    tm.tm_isdst = -1;
    std::time_t utc = std::mktime(&tm); // read as local time
    std::tm out{};
    gmtime_r(&utc, &out);
    char buf[40];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &out);
    return buf;
}

std::string IntText(int64_t v) {
    return Format("%" PRId64, v);
}

std::string FloatText(double v) {
    return Format("%.6g", v);
}

} // namespace

TCustomFFmpegEngine::TCustomFFmpegEngine() = default;

TCustomFFmpegEngine::~TCustomFFmpegEngine() {
    // Nobody listens any more: stop every conversion quietly, then free the tasks.
    OnCustomHook = nullptr;
    OnPreviewBitmap = nullptr;
    OnProgress = nullptr;
    OnTerminate = nullptr;
    Stop(true);
    tasks_.Clear();
}

void TCustomFFmpegEngine::SetPreview(bool value) {
    preview_ = value;
    for (int i = 0; i < tasks_.Count(); ++i)
        tasks_.Items(i)->SetPreviewFlags((preview_ ? 1 : 0) | (previewBitmap_ ? 2 : 0));
}

void TCustomFFmpegEngine::SetPreviewBitmap(bool value) {
    previewBitmap_ = value;
    for (int i = 0; i < tasks_.Count(); ++i)
        tasks_.Items(i)->SetPreviewFlags((preview_ ? 1 : 0) | (previewBitmap_ ? 2 : 0));
}

void TCustomFFmpegEngine::SetProgressInterval(int value) {
    progressInterval_ = value <= 100 ? 100 : value;
}

bool TCustomFFmpegEngine::LoadAVLib(const std::string& libraryFolder) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(libraryFolder);
    if (!loader.Load(kConverterLibraries)) {
        lastErrMsg_ = loader.LastErrMsg();
        return false;
    }
    return true;
}

void TCustomFFmpegEngine::CheckNotWorking(const char* operation) const {
    if (working_)
        throw FFmpegException(Format("Cannot %s while working.", operation));
}

void TCustomFFmpegEngine::ApplyExtOptions(TCustomFFmpeg& task, const std::string& text,
                                          bool codecNamesAllowed) {
    for (const auto& [name, value] : ExtOptionLines(text)) {
        if (name == "newvideo" || name == "newaudio" || name == "newsubtitle" || name == "apre" ||
            name == "vpre" || name == "spre" || name == "vfilters" || name == "vf")
            continue;
        if ((name == "acodec" || name == "vcodec" || name == "scodec" || name == "s") && !codecNamesAllowed)
            continue;
        task.SetOption(name, value);
    }
}

int TCustomFFmpegEngine::AddTask(const std::string& fileName, const TInputOptions* inputOptions) {
    CheckNotWorking("AddTask");
    try {
        auto task = std::make_unique<TFFmpeg>();
        task->Init();
        task->opt.verbosity = verbosity_;
        task->SetPreviewFlags((preview_ ? 1 : 0) | (previewBitmap_ ? 2 : 0));
        task->previewBitmapTarget = [this](TCustomFFmpeg* t, const Bitmap24& bitmap, int frame, int64_t pts) {
            DoPreviewBitmap(t, bitmap, frame, pts);
        };
        int position = task->InputCount();
        if (inputOptions) {
            TInputOptions copy = *inputOptions;
            if (copy.FileName.empty())
                copy.FileName = fileName;
            task->inputOptions[position] = copy;
            ApplyExtOptions(*task, copy.ExtOptions, true);
            if (!copy.FileFormat.empty())
                task->SetOption("f", copy.FileFormat);
            if (copy.StartTime != INT64_MIN)
                task->SetOption("ss", DurationText(copy.StartTime));
            if (copy.ProgramID >= 0)
                task->SetOption("programid", IntText(copy.ProgramID));
        }
        if (!task->OpenInput(fileName)) {
            lastErrMsg_ = task->setupError;
            return -1;
        }
        task->Probe(position);
        task->progressTarget = [this](TCustomFFmpeg* t, int fileIndex, int frameNumber, int fps,
                                      float quality, float bitRate, int64_t size, int64_t time,
                                      int64_t total) {
            DoProgress(t, fileIndex, frameNumber, fps, quality, bitRate, size, time, total);
        };
        task->terminateTarget = [this](TCustomFFmpeg* t) { DoTerminate(t); };
        task->owner = this;
        return tasks_.Add(std::move(task));
    } catch (const std::exception& e) {
        lastErrMsg_ = e.what();
        return -1;
    }
}

bool TCustomFFmpegEngine::SetOutputFile(int taskIndex, const std::string& fileName,
                                        const TOutputOptions* outputOptions) {
    CheckNotWorking("SetOutputFile");
    TFFmpeg* task = tasks_.Items(taskIndex);
    if (task->OutputCount() >= kMaxFiles) {
        lastErrMsg_ = Format("max output files %d reached", kMaxFiles);
        return false;
    }
    int position = task->OutputCount();
    try {
        task->SetPendingOutputName(fileName);
        // Defaults of the main streams, and the stream options ExtOptions gives for the
        // additional streams (newvideo, newaudio, newsubtitle), in order.
        std::map<std::string, std::string> defaults;
        std::vector<std::pair<std::string, std::string>> streamOptions;
        if (outputOptions) {
            TOutputOptions o = *outputOptions;
            if (o.FileName.empty())
                o.FileName = fileName;
            task->outputOptions[position] = o;

            defaults = {{"acodec", o.AudioCodec}, {"vcodec", o.VideoCodec}, {"scodec", o.SubtitleCodec},
                        {"apre", o.AudioPreset},  {"vpre", o.VideoPreset},  {"spre", o.SubtitlePreset},
                        {"s", o.FrameSize},       {"vf", o.VideoFilters}};
            for (auto [name, value] : ExtOptionLines(o.ExtOptions)) {
                if (name == "vfilters")
                    name = "vf";
                if (!defaults.count(name) || value.empty())
                    continue;
                if (defaults[name].empty())
                    defaults[name] = value;
                streamOptions.emplace_back(name, value);
            }

            if (o.TargetType >= 1 && o.TargetType <= 3) {
                static const char* const kTargets[] = {"", "vcd", "svcd", "dvd"};
                const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
                task->SetTarget(kTargets[o.TargetType], norm, o.DefaultNorm == 1 ? "pal" : "ntsc");
            }
            for (const char* name : {"acodec", "vcodec", "scodec", "apre", "vpre", "spre"})
                if (!defaults[name].empty())
                    task->SetOption(name, defaults[name]);
            ApplyExtOptions(*task, o.ExtOptions, false);

            auto apply = [task](const char* name, const std::string& value) { task->SetOption(name, value); };
            if (!o.FileFormat.empty())
                apply("f", o.FileFormat);
            if (o.PacketSize > 0)
                apply("packetsize", IntText(o.PacketSize));
            if (o.MuxRate > 0)
                apply("muxrate", IntText(o.MuxRate));
            if (o.MuxDelay > 0)
                apply("muxdelay", FloatText(o.MuxDelay));
            if (o.MuxPreload > 0)
                apply("muxpreload", FloatText(o.MuxPreload));
            if (o.DisableAudio)
                apply("an", "1");
            if (o.Volume >= 0)
                apply("vol", IntText(o.Volume));
            if (o.AudioChannels > 0)
                apply("ac", IntText(o.AudioChannels));
            if (o.AudioSampleRate > 0)
                apply("ar", IntText(o.AudioSampleRate));
            if (o.AudioBitrate > 0)
                apply("ab", IntText(o.AudioBitrate));
            if (o.AudioBitrateTolerance > 0)
                apply("abt", IntText(o.AudioBitrateTolerance));
            apply("alang", o.AudioLanguage);
            apply("async", IntText(o.AudioSync));
            if (!o.AudioTag.empty())
                apply("atag", o.AudioTag);
            if (o.DisableVideo)
                apply("vn", "1");
            if (!o.FrameRate.empty())
                apply("r", o.FrameRate);
            if (!o.AspectRatio.empty())
                apply("aspect", o.AspectRatio);
            if (o.CropTop > 0)
                apply("croptop", IntText(o.CropTop));
            if (o.CropBottom > 0)
                apply("cropbottom", IntText(o.CropBottom));
            if (o.CropLeft > 0)
                apply("cropleft", IntText(o.CropLeft));
            if (o.CropRight > 0)
                apply("cropright", IntText(o.CropRight));
            if (o.GOPSize > 0)
                apply("g", IntText(o.GOPSize));
            if (o.VideoBitrate > 0)
                apply("vb", IntText(o.VideoBitrate));
            if (o.MaxRate > 0)
                apply("maxrate", IntText(o.MaxRate));
            if (o.MinRate > 0)
                apply("minrate", IntText(o.MinRate));
            if (o.VideoBitrateTolerance > 0)
                apply("bt", IntText(o.VideoBitrateTolerance));
            if (o.BufSize > 0)
                apply("bufsize", IntText(o.BufSize));
            apply("vsync", IntText(o.VideoSync));
            if (!o.VideoTag.empty())
                apply("vtag", o.VideoTag);
            apply("vlang", o.VideoLanguage);
            if (o.DisableSubtitle)
                apply("sn", "1");
            apply("slang", o.SubtitleLanguage);
            apply("isync", o.InputSync ? "1" : "0");
            if (o.CopyTimestamps)
                apply("copyts", "1");
            if (o.StartTime != INT64_MIN)
                apply("ss", DurationText(o.StartTime));
            if (o.RecordingTime != INT64_MIN)
                apply("t", DurationText(o.RecordingTime));
            const TStreamInfo& m = o.Metadata;
            if (m.Timestamp == 0)
                apply("timestamp", "now");
            else if (m.Timestamp > 0)
                apply("timestamp", DateTimeText(m.Timestamp));
            if (m.Year > 0)
                apply("metadata", "year=" + IntText(m.Year));
            if (m.Track > 0)
                apply("metadata", "track=" + IntText(m.Track));
            for (const auto& [key, value] : {std::pair<const char*, const std::string&>{"title", m.Title},
                                             {"author", m.Author},
                                             {"copyright", m.Copyright},
                                             {"comment", m.Comment},
                                             {"album", m.Album},
                                             {"genre", m.Genre}})
                if (!value.empty())
                    apply("metadata", std::string(key) + "=" + value);
            if (!defaults["s"].empty())
                apply("s", defaults["s"]);
            if (!defaults["vf"].empty())
                apply("vf", defaults["vf"]);
            if (o.HookEnabled)
                task->hookTarget = [this](TCustomFFmpeg* t, Bitmap24& bitmap, int frame, int64_t pts,
                                          bool& update, bool& stopHook) {
                    DoCustomHook(t, bitmap, frame, pts, update, stopHook);
                };
        } else {
            task->outputOptions[position].reset();
        }

        if (task->OpenOutput(fileName, outputOptions && outputOptions->Join) < 0) {
            lastErrMsg_ = task->setupError;
            task->outputOptions[position].reset();
            return false;
        }

        if (outputOptions) {
            static const std::map<std::string, std::vector<std::string>> kStreamOptions = {
                {"newaudio", {"acodec", "apre"}},
                {"newvideo", {"vcodec", "vpre", "s", "vf"}},
                {"newsubtitle", {"scodec", "spre"}}};
            for (const auto& [name, value] : ExtOptionLines(outputOptions->ExtOptions)) {
                auto kind = kStreamOptions.find(name);
                if (kind == kStreamOptions.end())
                    continue;
                for (const std::string& option : kind->second) {
                    std::string optionValue = defaults[option];
                    for (auto it = streamOptions.begin(); it != streamOptions.end(); ++it)
                        if (it->first == option) {
                            optionValue = it->second;
                            streamOptions.erase(it);
                            break;
                        }
                    if (!optionValue.empty())
                        task->SetOption(option, optionValue);
                }
                task->SetOption(name, value);
            }
        }
        return true;
    } catch (const std::exception& e) {
        lastErrMsg_ = e.what();
        // Refused before the output existed: the position holds nothing.
        if (task->OutputCount() == position)
            task->outputOptions[position].reset();
        return false;
    }
}

void TCustomFFmpegEngine::ClearTasks() {
    if (working_ && !allTerminated_)
        throw FFmpegException("Cannot ClearTasks while working.");
    tasks_.Clear();
    working_ = false;
    allTerminated_ = false;
}

void TCustomFFmpegEngine::RemoveTask(int taskIndex) {
    CheckNotWorking("RemoveTask");
    tasks_.Delete(taskIndex);
}

TAVProbe* TCustomFFmpegEngine::AVProbe(int taskIndex, int inputIndex) {
    return tasks_.Items(taskIndex)->Probe(inputIndex);
}

} // namespace kavlo
