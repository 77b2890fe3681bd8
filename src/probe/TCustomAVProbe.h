#pragma once
#include "probe/TAudioStreamInfo.h"
#include "probe/TFileStreamInfo.h"
#include "probe/TVideoStreamInfo.h"

#include "engine/ffmpeg/TFFLogger.h"

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVStream;

namespace kavlo {

// Opens a media file without decoding it and answers what the container and its streams say:
// file-level facts, per-stream audio and video facts, and a multi-line description.
// Operations that fail for data reasons return false and leave the reason in LastErrMsg; only
// unloaded codec libraries throw (std::runtime_error "LibAVCodec not loaded." and the like:
// load the converter set through FFmpegLoader() first).
class TCustomAVProbe {
public:
    TCustomAVProbe();
    virtual ~TCustomAVProbe();
    TCustomAVProbe(const TCustomAVProbe&) = delete;
    TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

    // Opens and probes fileName (a local path, or a URL with a protocol the libraries know),
    // with the input format forced when formatName is not empty.
    bool LoadFile(const std::string& fileName, const std::string& formatName = std::string());
    // Probes a context someone else opened (and will close); the probe never closes it.
    void AttachContext(AVFormatContext* context);
    virtual void CloseFile();

    bool GetFileStreamInfo(TFileStreamInfo& info);
    // index -1: the first stream of that kind.
    bool GetAudioStreamInfo(int index, TAudioStreamInfo& info);
    bool GetVideoStreamInfo(int index, TVideoStreamInfo& info);
    bool IsAudioStream(int index) const;
    bool IsVideoStream(int index) const;

    // The open file's name (the path, not the URL handed to the libraries); empty when closed.
    std::string FileName() const;
    // Short name of the input format ("mov,mp4,m4a,3gp,3g2,mj2"); empty when closed.
    std::string FormatName() const;
    // The input format forced for the open file; empty when the libraries guessed it.
    const std::string& ForcedFormatName() const { return forcedFormat_; }
    // The description of the open file, one fact per line; empty when closed.
    std::string InfoText() const;
    const std::string& LastErrMsg() const { return lastErrMsg_; }

    AVFormatContext* FormatContext() const { return context_; }
    bool Opened() const { return context_ != nullptr; }

    int64_t FileSize() const { return fileSize_; }
    int StreamCount() const { return streamCount_; }
    int ProgramCount() const { return programCount_; }
    int AudioStreamCount() const { return audioStreamCount_; }
    int VideoStreamCount() const { return videoStreamCount_; }
    int SubtitleStreamCount() const { return subtitleStreamCount_; }
    int FirstAudioStreamIndex() const { return firstAudioStreamIndex_; }
    int FirstVideoStreamIndex() const { return firstVideoStreamIndex_; }
    int FirstSubtitleStreamIndex() const { return firstSubtitleStreamIndex_; }

protected:
    // Runs after a file was opened and counted.
    virtual void FileOpened() {}
    // Logs msg at level and keeps it as the last error.
    void ReportError(TLogLevel level, const std::string& msg);

private:
    static void CheckLibraries();
    void CountStreams();
    void ResetCounters();
    // Resolves index for a stream of the given media type, reporting what is wrong; -1 then.
    int ResolveStream(int index, int mediaType);
    std::string StreamLine(int index) const;

    AVFormatContext* context_ = nullptr;
    bool owned_ = false;
    std::string lastErrMsg_;
    std::string forcedFormat_;
    std::string formatName_;

    int64_t fileSize_ = -1;
    int streamCount_ = -1;
    int programCount_ = -1;
    int audioStreamCount_ = -1;
    int videoStreamCount_ = -1;
    int subtitleStreamCount_ = -1;
    int firstAudioStreamIndex_ = -1;
    int firstVideoStreamIndex_ = -1;
    int firstSubtitleStreamIndex_ = -1;
};

} // namespace kavlo
