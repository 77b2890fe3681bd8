// The engine's run cycle: synchronous and threaded runs, termination order and threads, stop,
// pause and resume, event delivery in the main thread, and the hook.
#include "TranscodeTestUtil.h"

#include "core/Bitmap24.h"
#include "core/Dispatcher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;
using namespace std::chrono_literals;

// Collects terminations from whatever thread delivers them.
struct TerminationLog {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<TTerminateInfo> infos;
    std::vector<std::thread::id> threads;

    void Install(TCustomFFmpegEngine& engine) {
        engine.OnTerminate = [this](TCustomFFmpegEngine*, const TTerminateInfo& info) {
            std::lock_guard<std::mutex> lock(mutex);
            infos.push_back(info);
            threads.push_back(std::this_thread::get_id());
            arrived.notify_all();
        };
    }
    // Waits (servicing main-thread calls) for the end-of-run notification.
    bool WaitForEnd(std::chrono::seconds limit = 120s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!infos.empty() && infos.back().TaskIndex == -1)
                    return true;
            }
            CurrentDispatcher().WaitAndProcess(10ms);
        }
        return false;
    }
    std::vector<int> Indexes() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> v;
        for (const auto& i : infos)
            v.push_back(i.TaskIndex);
        return v;
    }
};

TOutputOptions Mp4Options() {
    TOutputOptions o;
    o.VideoCodec = "libx264";
    o.VideoPreset = "libx264-ultrafast";
    o.AudioCodec = "aac";
    return o;
}

class RunCycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadLibraries(); }
    void SetUp() override { input_ = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root()); }
    int AddTask(TFFmpegEngine& engine, const std::string& outName, TOutputOptions o = Mp4Options()) {
        const int index = engine.AddTask(input_, nullptr);
        EXPECT_GE(index, 0) << engine.LastErrMsg();
        EXPECT_TRUE(engine.SetOutputFile(index, dir_.Path(outName), &o)) << engine.LastErrMsg();
        return index;
    }
    TempDir dir_;
    std::string input_;
};

TEST_F(RunCycle, SynchronousRunReturnsAfterTheEndOfRun) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    AddTask(engine, "a.mp4");
    AddTask(engine, "b.mp4");
    const auto caller = std::this_thread::get_id();
    engine.StartTask(0);
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, -1}));
    for (auto id : log.threads)
        EXPECT_EQ(id, caller);
    EXPECT_TRUE(log.infos[0].Finished);
    EXPECT_TRUE(log.infos[2].Finished);
    EXPECT_THROW(engine.AddTask(input_, nullptr), FFmpegException);
    try {
        engine.AddTask(input_, nullptr);
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
}

TEST_F(RunCycle, OneAtATimeDeliversTerminationsInOrderOnOtherThreads) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    std::atomic<int> active{0}, maxActive{0};
    std::set<int> seen;
    std::mutex seenLock;
    TOutputOptions o = Mp4Options();
    o.HookEnabled = true;
    engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo* info) {
        std::lock_guard<std::mutex> lock(seenLock);
        if (seen.insert(info->TaskIndex).second) {
            const int now = ++active;
            maxActive = std::max(maxActive.load(), now);
        }
    };
    auto previous = engine.OnTerminate;
    engine.OnTerminate = [&](TCustomFFmpegEngine* s, const TTerminateInfo& info) {
        if (info.TaskIndex >= 0)
            --active;
        previous(s, info);
    };
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        AddTask(engine, name, o);
    engine.StartTask(1);
    ASSERT_TRUE(log.WaitForEnd());
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, 2, -1}));
    EXPECT_EQ(maxActive.load(), 1);
    std::set<std::thread::id> threads(log.threads.begin(), log.threads.end());
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(threads.size(), 4u) << "each termination on a thread of its own";
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        EXPECT_TRUE(Inspect(dir_.Path(name)).ok) << name;
}

TEST_F(RunCycle, TwoAtATimeRunTwoTasksTogether) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    std::mutex lock;
    std::set<int> started;
    std::set<int> done;
    size_t maxTogether = 0;
    TOutputOptions o = Mp4Options();
    o.HookEnabled = true;
    engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo* info) {
        {
            std::lock_guard<std::mutex> l(lock);
            started.insert(info->TaskIndex);
            size_t together = 0;
            for (int t : started)
                together += done.count(t) ? 0 : 1;
            maxTogether = std::max(maxTogether, together);
        }
        std::this_thread::sleep_for(5ms); // long enough for the tasks to overlap
    };
    auto previous = engine.OnTerminate;
    engine.OnTerminate = [&](TCustomFFmpegEngine* s, const TTerminateInfo& info) {
        {
            std::lock_guard<std::mutex> l(lock);
            done.insert(info.TaskIndex);
        }
        previous(s, info);
    };
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        AddTask(engine, name, o);
    engine.StartTask(2);
    ASSERT_TRUE(log.WaitForEnd());
    EXPECT_EQ(maxTogether, 2u);
    EXPECT_EQ(log.Indexes().size(), 4u);
    EXPECT_EQ(log.Indexes().back(), -1);
}

TEST_F(RunCycle, StopBeforeAnyTaskRanTerminatesEveryTaskUnfinished) {
    TerminationLog log;
    {
        TFFmpegEngine engine;
        log.Install(engine);
        AddTask(engine, "a.mp4");
        AddTask(engine, "b.mp4");
        AddTask(engine, "c.mp4");
        engine.Stop(true);
        EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, 2, -1}));
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_FALSE(log.infos[i].Finished);
            EXPECT_FALSE(log.infos[i].Failed);
        }
    }
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        EXPECT_FALSE(std::filesystem::exists(dir_.Path(name))) << "no empty output left behind";
}

TEST_F(RunCycle, TaskWithoutOutputFails) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    ASSERT_GE(engine.AddTask(input_, nullptr), 0);
    engine.StartTask(0);
    ASSERT_EQ(log.Indexes(), (std::vector<int>{0, -1}));
    EXPECT_TRUE(log.infos[0].Failed);
    EXPECT_FALSE(log.infos[0].Finished);
    EXPECT_EQ(log.infos[0].ErrorMessage, "At least one output file must be specified");
}

TEST_F(RunCycle, StopMidFileLeavesAPlayableFile) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    const std::string input = fixtures::MakeFixture(FixtureKind::Minute, dir_.Root());
    const int index = engine.AddTask(input, nullptr);
    ASSERT_GE(index, 0);
    TOutputOptions o = Mp4Options();
    ASSERT_TRUE(engine.SetOutputFile(index, dir_.Path("stopped.mp4"), &o));
    std::atomic<int> progress{0};
    std::thread::id progressThread;
    engine.OnProgress = [&](TCustomFFmpegEngine*, TProgressInfo* p) {
        progressThread = std::this_thread::get_id();
        if (p->CurrentDuration > 2000000)
            ++progress;
    };
    engine.SetProgressInterval(100);
    engine.StartTask(1);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (progress == 0 && std::chrono::steady_clock::now() < deadline)
        CurrentDispatcher().WaitAndProcess(10ms);
    ASSERT_GT(progress.load(), 0);
    EXPECT_EQ(progressThread, std::this_thread::get_id()) << "progress arrives in the main thread";
    engine.Stop(true);
    ASSERT_TRUE(log.WaitForEnd());
    ASSERT_EQ(log.Indexes(), (std::vector<int>{0, -1}));
    EXPECT_FALSE(log.infos[0].Finished);
    EXPECT_FALSE(log.infos[0].Failed) << log.infos[0].ErrorMessage;
    const MediaFacts facts = Inspect(dir_.Path("stopped.mp4"));
    ASSERT_TRUE(facts.ok) << facts.error;
    const StreamFacts* v = facts.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_GT(v->duration, 1.0);
    EXPECT_LT(v->duration, 59.0);
}

TEST_F(RunCycle, PauseHaltsTheLoopAndResumeContinuesIt) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    const std::string input = fixtures::MakeFixture(FixtureKind::Minute, dir_.Root());
    const int index = engine.AddTask(input, nullptr);
    TOutputOptions o = Mp4Options();
    o.HookEnabled = true;
    ASSERT_TRUE(engine.SetOutputFile(index, dir_.Path("paused.mp4"), &o));
    std::atomic<int> frames{0};
    engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo*) { ++frames; };
    engine.StartTask(1);
    while (frames < 50)
        std::this_thread::sleep_for(1ms);
    engine.Pause();
    std::this_thread::sleep_for(100ms); // a frame already past the gate may still arrive
    const int atPause = frames;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(frames.load(), atPause);
    engine.Resume();
    ASSERT_TRUE(log.WaitForEnd());
    EXPECT_TRUE(log.infos[0].Finished);
    EXPECT_EQ(frames.load(), 1500);
}

TEST_F(RunCycle, StopWhilePausedEndsTheTask) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    const std::string input = fixtures::MakeFixture(FixtureKind::Minute, dir_.Root());
    const int index = engine.AddTask(input, nullptr);
    TOutputOptions o = Mp4Options();
    o.HookEnabled = true;
    ASSERT_TRUE(engine.SetOutputFile(index, dir_.Path("paused.mp4"), &o));
    std::atomic<int> frames{0};
    engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo*) { ++frames; };
    engine.StartTask(1);
    while (frames < 10)
        std::this_thread::sleep_for(1ms);
    engine.Pause();
    engine.Stop(true);
    ASSERT_TRUE(log.WaitForEnd());
    EXPECT_FALSE(log.infos[0].Finished);
    EXPECT_FALSE(log.infos[0].Failed);
    EXPECT_TRUE(Inspect(dir_.Path("paused.mp4")).ok);
}

// Mean luma of the first frame of a file's first video stream.
double FirstFrameLuma(const std::string& path) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, ("file:" + path).c_str(), nullptr, nullptr) < 0)
        return -1;
    avformat_find_stream_info(ic, nullptr);
    const int vs = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec* codec = avcodec_find_decoder(ic->streams[vs]->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, ic->streams[vs]->codecpar);
    avcodec_open2(dec, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    double luma = -1;
    bool got = false;
    while (!got && av_read_frame(ic, pkt) >= 0) {
        if (pkt->stream_index == vs && avcodec_send_packet(dec, pkt) >= 0 &&
            avcodec_receive_frame(dec, frame) >= 0)
            got = true;
        av_packet_unref(pkt);
    }
    if (!got) {
        avcodec_send_packet(dec, nullptr);
        got = avcodec_receive_frame(dec, frame) >= 0;
    }
    if (got) {
        double sum = 0;
        for (int y = 0; y < frame->height; ++y)
            for (int x = 0; x < frame->width; ++x)
                sum += frame->data[0][y * frame->linesize[0] + x];
        luma = sum / (frame->width * frame->height);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&ic);
    return luma;
}

TEST_F(RunCycle, HookDrawsOnTheFrameRaisingLeavesItAndStopEndsHooking) {
    struct Case {
        const char* name;
        bool raise;
        int stopAt;
        bool expectBlack;
        int expectCalls;
    };
    for (const Case c : {Case{"draws", false, 0, true, 50}, Case{"raises", true, 0, false, 50},
                         Case{"stops", false, 5, true, 5}}) {
        SCOPED_TRACE(c.name);
        TFFmpegEngine engine;
        TerminationLog log;
        log.Install(engine);
        TOutputOptions o = Mp4Options();
        o.HookEnabled = true;
        const int index = engine.AddTask(input_, nullptr);
        const std::string out = dir_.Path(std::string(c.name) + ".mp4");
        ASSERT_TRUE(engine.SetOutputFile(index, out, &o));
        int calls = 0;
        int lastFrame = 0;
        engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo* info) {
            ++calls;
            EXPECT_EQ(info->FrameNumber, lastFrame + 1);
            lastFrame = info->FrameNumber;
            EXPECT_EQ(info->Bitmap->Width(), 320);
            EXPECT_EQ(info->Bitmap->Height(), 240);
            EXPECT_TRUE(info->Update);
            EXPECT_FALSE(info->StopHook);
            info->Bitmap->Fill(0, 0, 0);
            if (c.raise)
                throw std::runtime_error("drawing failed");
            if (c.stopAt && info->FrameNumber == c.stopAt)
                info->StopHook = true;
        };
        engine.StartTask(0);
        ASSERT_FALSE(log.infos.empty());
        EXPECT_FALSE(log.infos[0].Failed) << log.infos[0].ErrorMessage;
        EXPECT_EQ(calls, c.expectCalls);
        const double luma = FirstFrameLuma(out);
        if (c.expectBlack) {
            EXPECT_LT(luma, 20);
        } else {
            EXPECT_GT(luma, 30);
        }
    }
}

TEST_F(RunCycle, PreviewBitmapsAreRateLimited) {
    TFFmpegEngine engine;
    TerminationLog log;
    log.Install(engine);
    engine.SetPreviewBitmap(true);
    const std::string input = fixtures::MakeFixture(FixtureKind::Minute, dir_.Root());
    const int index = engine.AddTask(input, nullptr);
    TOutputOptions o = Mp4Options();
    ASSERT_TRUE(engine.SetOutputFile(index, dir_.Path("preview.mp4"), &o));
    int calls = 0;
    engine.OnPreviewBitmap = [&](TCustomFFmpegEngine*, const TPreviewInfo& p) {
        ++calls;
        EXPECT_EQ(p.Bitmap->Width(), 160);
        EXPECT_EQ(p.Bitmap->Height(), 120);
        EXPECT_GT(p.FrameNumber, 0);
    };
    const auto start = std::chrono::steady_clock::now();
    engine.StartTask(0);
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(calls, 1);
    // At most one picture per preview interval (100 ms), however fast the conversion ran.
    EXPECT_LE(calls, elapsedMs / 100 + 1);
    EXPECT_LT(calls, 1500);
}

} // namespace
} // namespace kavlo::test
