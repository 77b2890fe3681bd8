#include "engine/TCustomFFmpeg.h"

#include "core/TextUtils.h"
#include "engine/CodecAliases.h"
#include "engine/LegacyOptions.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libswscale/swscale.h>
}

namespace kavlo {

namespace {

// Option flags that pick the codec options of each media type (video, audio, data, subtitle,
// attachment): data and attachment take every codec option, like the other generation did.
const int kTypeFlags[5] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM,
                           0};

// "b" is the video bit rate. The installed generation also marks it as an audio option, which
// would hand a video bit rate to the audio encoder; audio has "ab".
bool SkipForType(const std::string& name, int type) {
    return name == "b" && type == AVMEDIA_TYPE_AUDIO;
}

// Copies one option's value between two objects of the same class family. Typed copies keep
// flags, rationals and doubles exact.
void CopyOptionValue(void* src, void* dst, const AVOption* o, const char* name) {
    switch (o->type) {
    case AV_OPT_TYPE_FLAGS:
    case AV_OPT_TYPE_INT:
    case AV_OPT_TYPE_INT64:
    case AV_OPT_TYPE_UINT64:
    case AV_OPT_TYPE_BOOL:
    case AV_OPT_TYPE_PIXEL_FMT:
    case AV_OPT_TYPE_SAMPLE_FMT:
    case AV_OPT_TYPE_DURATION: {
        int64_t v = 0;
        if (av_opt_get_int(src, name, 0, &v) >= 0)
            av_opt_set_int(dst, name, v, 0);
        break;
    }
    case AV_OPT_TYPE_DOUBLE:
    case AV_OPT_TYPE_FLOAT: {
        double v = 0;
        if (av_opt_get_double(src, name, 0, &v) >= 0)
            av_opt_set_double(dst, name, v, 0);
        break;
    }
    case AV_OPT_TYPE_RATIONAL:
    case AV_OPT_TYPE_VIDEO_RATE: {
        AVRational v{0, 1};
        if (av_opt_get_q(src, name, 0, &v) >= 0)
            av_opt_set_q(dst, name, v, 0);
        break;
    }
    default: {
        uint8_t* v = nullptr;
        if (av_opt_get(src, name, 0, &v) >= 0 && v)
            av_opt_set(dst, name, reinterpret_cast<const char*>(v), 0);
        av_free(v);
        break;
    }
    }
}

} // namespace

std::mutex& PreviewLock() {
    static std::mutex lock;
    return lock;
}

TCustomFFmpeg::TCustomFFmpeg() = default;

TCustomFFmpeg::~TCustomFFmpeg() {
    // The worker must be gone before the files it works on are closed.
    RequestStop(true);
    // A threaded run that has ended still leaves its worker and termination threads to be joined;
    // a joinable std::thread destroyed here would end the process.
    for (std::thread* t : {&Run.Worker, &Run.TerminateThread}) {
        if (!t->joinable())
            continue;
        if (t->get_id() == std::this_thread::get_id())
            t->detach();
        else
            t->join();
    }
    Cleanup();
}

void TCustomFFmpeg::Init() {
    FreeOptionContexts();
    opt = TOptionState{};
    for (int type = 0; type < 5; ++type) {
        codecOpts_[type] = avcodec_alloc_context3(nullptr);
        if (!codecOpts_[type])
            throw FFmpegException("avcodec_alloc_context failed");
        codecOpts_[type]->codec_type = static_cast<AVMediaType>(type);
    }
    formatOpts_ = avformat_alloc_context();
    swsOpts_ = sws_alloc_context();
    if (!formatOpts_ || !swsOpts_)
        throw FFmpegException("avformat_alloc_context failed");
    av_opt_set_int(swsOpts_, "sws_flags", SWS_BICUBIC, 0);
}

void TCustomFFmpeg::FreeOptionContexts() {
    for (AVCodecContext*& c : codecOpts_)
        avcodec_free_context(&c);
    for (AVCodecContext*& c : privateScratch_)
        avcodec_free_context(&c);
    avformat_free_context(formatOpts_);
    formatOpts_ = nullptr;
    sws_freeContext(swsOpts_);
    swsOpts_ = nullptr;
    for (AVDictionary*& d : privateCodecOpts_)
        av_dict_free(&d);
    av_dict_free(&privateFormatOpts_);
    setNames_.clear();
    for (auto& names : recorded_)
        names.clear();
}

AVCodecContext* TCustomFFmpeg::CodecOptions(AVMediaType type) const {
    return type >= 0 && type < 5 ? codecOpts_[type] : nullptr;
}

void TCustomFFmpeg::SetPreviewFlags(int flags) {
    std::lock_guard<std::mutex> lock(PreviewLock());
    previewFlags_ = flags;
}

int64_t TCustomFFmpeg::ParseDuration(const std::string& option, const std::string& text, bool asDuration) {
    int64_t us = 0;
    if (av_parse_time(&us, text.c_str(), asDuration ? 1 : 0) < 0)
        throw FFmpegException(Format("Invalid %s specification for %s: %s", asDuration ? "duration" : "date",
                                     option.c_str(), text.c_str()));
    return us;
}

const AVOutputFormat* TCustomFFmpeg::PendingOutputFormat() const {
    if (!opt.forcedFormat.empty())
        return av_guess_format(opt.forcedFormat.c_str(), nullptr, nullptr);
    if (!pendingOutputName_.empty())
        return av_guess_format(nullptr, pendingOutputName_.c_str(), nullptr);
    return nullptr;
}

const AVCodec* TCustomFFmpeg::NamedEncoder(TOptionKind kind) const {
    const std::string& name = kind == okVideo   ? opt.videoCodecName
                              : kind == okAudio ? opt.audioCodecName
                                                : opt.subtitleCodecName;
    const AVOutputFormat* fmt = PendingOutputFormat();
    if (!name.empty()) {
        std::string resolved = ResolveEncoderName(name, fmt);
        if (!resolved.empty())
            return avcodec_find_encoder_by_name(resolved.c_str());
    }
    // No name (or an alias for the container default): the container's own choice.
    if (!fmt)
        return nullptr;
    AVCodecID id = kind == okVideo   ? fmt->video_codec
                   : kind == okAudio ? fmt->audio_codec
                                     : fmt->subtitle_codec;
    return id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
}

void TCustomFFmpeg::Record(TOptionKind kind, const std::string& name) {
    std::vector<std::string>& names = recorded_[kind];
    for (const std::string& n : names)
        if (n == name)
            return;
    names.push_back(name);
}

bool TCustomFFmpeg::SetGenericOptionOn(TOptionKind kind, const std::string& name, const std::string& value,
                                       bool& found) {
    void* obj = kind < 5           ? static_cast<void*>(codecOpts_[kind])
                : kind == okFormat ? static_cast<void*>(formatOpts_)
                                   : static_cast<void*>(swsOpts_);
    if (!obj || !av_opt_find(obj, name.c_str(), nullptr, kind < 5 ? kTypeFlags[kind] : 0, 0))
        return true;
    found = true;
    if (av_opt_set(obj, name.c_str(), value.c_str(), 0) < 0)
        return false;
    Record(kind, name);
    return true;
}

bool TCustomFFmpeg::SetPrivateCodecOption(TOptionKind kind, const std::string& name, const std::string& value,
                                          bool& found) {
    const AVCodec* codec = NamedEncoder(kind);
    if (!codec || !codec->priv_class)
        return true;
    const AVClass* cls = codec->priv_class;
    if (!av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        return true;
    found = true;
    // The value is checked on a scratch context of that encoder and kept by name; every stream
    // created with an encoder that knows the option gets it.
    AVCodecContext*& scratch = privateScratch_[kind];
    if (!scratch || scratch->codec != codec) {
        avcodec_free_context(&scratch);
        scratch = avcodec_alloc_context3(codec);
        if (!scratch)
            return false;
    }
    if (av_opt_set(scratch->priv_data, name.c_str(), value.c_str(), 0) < 0)
        return false;
    av_dict_set(&privateCodecOpts_[kind], name.c_str(), value.c_str(), 0);
    return true;
}

bool TCustomFFmpeg::SetPrivateFormatOption(const std::string& name, const std::string& value, bool& found) {
    const AVOutputFormat* fmt = PendingOutputFormat();
    if (!fmt || !fmt->priv_class)
        return true;
    const AVClass* cls = fmt->priv_class;
    if (!av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        return true;
    found = true;
    AVFormatContext* scratch = nullptr;
    if (avformat_alloc_output_context2(&scratch, fmt, nullptr, nullptr) < 0 || !scratch)
        return false;
    bool ok = av_opt_set(scratch->priv_data, name.c_str(), value.c_str(), 0) >= 0;
    avformat_free_context(scratch);
    if (ok)
        av_dict_set(&privateFormatOpts_, name.c_str(), value.c_str(), 0);
    return ok;
}

bool TCustomFFmpeg::SetGenericOption(const std::string& name0, const std::string& value0) {
    std::string name = Trim(name0);
    std::string value = Trim(value0);
    if (name.empty() || value.empty() || !codecOpts_[0])
        return false;

    bool allOk = true;
    for (const TOptionSetting& s : TranslateLegacyOption(name, value)) {
        bool found = false;
        bool ok = true;
        for (int type = 0; type < 5 && ok; ++type)
            if (!SkipForType(s.Name, type))
                ok = SetGenericOptionOn(static_cast<TOptionKind>(type), s.Name, s.Value, found);
        if (!found)
            ok = SetGenericOptionOn(okFormat, s.Name, s.Value, found);
        if (!found)
            ok = SetGenericOptionOn(okScaler, s.Name, s.Value, found);
        // Encoder and muxer options of this generation's private classes, once the codec or
        // the container is known.
        if (!found)
            for (TOptionKind kind : {okVideo, okAudio, okSubtitle}) {
                bool here = false;
                bool kindOk = SetPrivateCodecOption(kind, s.Name, s.Value, here);
                if (here) {
                    found = true;
                    ok = ok && kindOk;
                }
            }
        if (!found)
            ok = SetPrivateFormatOption(s.Name, s.Value, found);
        // "vb", "ab", "sflags": the option of that media type without its first letter.
        if (!found && s.Name.size() > 1) {
            char c = s.Name[0];
            TOptionKind kind = c == 'a' ? okAudio : c == 'v' ? okVideo : c == 's' ? okSubtitle : okCount;
            if (kind != okCount)
                ok = SetGenericOptionOn(kind, s.Name.substr(1), s.Value, found);
        }
        if (found && !ok)
            av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", s.Value.c_str(),
                   s.Name.c_str());
        if (!found || !ok)
            allOk = false;
    }
    if (!allOk)
        return false;

    setNames_.push_back(name);
    int64_t debug = 0, fdebug = 0;
    av_opt_get_int(codecOpts_[okVideo], "debug", 0, &debug);
    av_opt_get_int(formatOpts_, "fdebug", 0, &fdebug);
    if (debug || fdebug)
        FFLogger().SetLogLevel(llDebug);
    return true;
}

void TCustomFFmpeg::ApplyPrivateOptions(void* privData, AVDictionary* recorded) const {
    if (!privData)
        return;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(recorded, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (av_opt_find(privData, e->key, nullptr, 0, 0))
            av_opt_set(privData, e->key, e->value, 0);
}

void TCustomFFmpeg::CopyGenericCodecOptions(AVCodecContext* dst, AVMediaType mediaType, int flags) const {
    if (!dst || mediaType < 0 || mediaType >= 5 || !codecOpts_[mediaType])
        return;
    AVCodecContext* src = codecOpts_[mediaType];
    for (const std::string& name : recorded_[mediaType]) {
        const AVOption* o = av_opt_find(dst, name.c_str(), nullptr, flags, 0);
        if (o)
            CopyOptionValue(src, dst, o, name.c_str());
    }
    if ((flags & AV_OPT_FLAG_ENCODING_PARAM) && dst->codec && dst->codec->priv_class)
        ApplyPrivateOptions(dst->priv_data, privateCodecOpts_[mediaType]);
}

void TCustomFFmpeg::CopyGenericFormatOptions(AVFormatContext* dst, int flags) const {
    if (!dst || !formatOpts_)
        return;
    for (const std::string& name : recorded_[okFormat]) {
        const AVOption* o = av_opt_find(dst, name.c_str(), nullptr, flags, 0);
        if (o)
            CopyOptionValue(formatOpts_, dst, o, name.c_str());
    }
    if ((flags & AV_OPT_FLAG_ENCODING_PARAM) && dst->oformat && dst->oformat->priv_class)
        ApplyPrivateOptions(dst->priv_data, privateFormatOpts_);
}

int TCustomFFmpeg::ScalerFlags() const {
    int64_t flags = SWS_BICUBIC;
    if (swsOpts_)
        av_opt_get_int(swsOpts_, "sws_flags", 0, &flags);
    return static_cast<int>(flags);
}

} // namespace kavlo
