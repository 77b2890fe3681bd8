// Playing real files: events, positions, seeking, pausing, the hook, the current frame, broken
// files and audio/video synchronisation. Every clip is short (2-3 s).

#include "PlayerTestSupport.h"

#include "core/TempDir.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "fixtures/Fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavutil/avutil.h>
}

using namespace kavlo;
using namespace kavlo::test;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kFrameUs = 40000; // the fixtures run at 25 fps

class PlayerPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        video_ = fixtures::MakeFixture(fixtures::FixtureKind::MovH264Aac, dir_->Root());
        audio_ = fixtures::MakeFixture(fixtures::FixtureKind::M4aAacAudioOnly, dir_->Root());
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(player_.LoadAVLib("")) << player_.LastErrMsg();
        events_.Attach(player_);
    }
    void TearDown() override { player_.Stop(true); }

    bool WaitForPictures(const RecordingSurface& s, size_t n, std::chrono::milliseconds t = 5s) {
        return PumpUntil([&] { return s.PictureCount() >= n; }, t);
    }
    bool WaitForState(TPlayState state, std::chrono::milliseconds t = 8s) {
        return PumpUntil([&] { return events_.Has(state); }, t);
    }

    static TempDir* dir_;
    static std::string video_, audio_;
    TFFPlayer player_;
    EventLog events_;
    // Outlives every Stop of the player, TearDown's included.
    RecordingSurface surface{&player_};
};

TempDir* PlayerPlayback::dir_ = nullptr;
std::string PlayerPlayback::video_;
std::string PlayerPlayback::audio_;

} // namespace

TEST(PlayerSetup, OpenNeedsTheLibrariesAndPublishesDefaults) {
    TFFPlayer player;
    EXPECT_EQ(player.Version(), "2.3");
    EXPECT_EQ(player.AudioVolume(), 128);
    EXPECT_EQ(player.AudioDriver(), adDefault);
    EXPECT_EQ(player.VideoDriver(), vdDefault);
    EXPECT_TRUE(player.TriggerEventInMainThread());
    EXPECT_FALSE(player.Mute());
    EXPECT_FALSE(player.Hook());
    EXPECT_FALSE(player.DisableAudio() || player.DisableVideo() || player.DisableDisplay());
    EXPECT_EQ(player.AspectRatio(), 0.0f);
    EXPECT_EQ(player.ScreenWidth(), 0);
    player.SetAudioVolume(500);
    EXPECT_EQ(player.AudioVolume(), 128);
    player.SetAudioVolume(-3);
    EXPECT_EQ(player.AudioVolume(), 0);
    EXPECT_STREQ(AudioDriverName(adDefault), nullptr);
    EXPECT_STRNE(AudioDriverName(adWaveOut), nullptr);

    // Each test runs in a process of its own, so nothing is loaded yet here.
    if (!FFmpegLoader().Loaded(kPlayerLibraries)) {
        EXPECT_FALSE(player.AVLibLoaded());
        EXPECT_FALSE(player.Open("whatever.mov", nullptr));
        EXPECT_EQ(player.LastErrMsg(), "libav or libsdl not loaded.");
    }
    ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
    EXPECT_TRUE(player.AVLibLoaded());
}

TEST_F(PlayerPlayback, VideoFileOpensPlaysAndEnds) {
    surface.clientWidth = 640;
    surface.clientHeight = 400;
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    EXPECT_NEAR(static_cast<double>(events_.opened.duration), 2000000.0, 100000.0);
    EXPECT_EQ(events_.opened.frameWidth, 320);
    EXPECT_EQ(events_.opened.frameHeight, 240);
    EXPECT_EQ(player_.FrameWidth(), 320);
    EXPECT_EQ(player_.Probe().VideoStreamCount(), 1); // the probe looks at the open file

    ASSERT_TRUE(WaitForState(psEnd)) << "no psEnd";
    ASSERT_FALSE(events_.states.empty());
    EXPECT_EQ(events_.states.front(), psPlay);
    EXPECT_FALSE(events_.Has(psStop));
    // Positions go forward, end near the duration and never pass it.
    ASSERT_GE(events_.positions.size(), 10u);
    for (size_t i = 1; i < events_.positions.size(); ++i)
        EXPECT_GT(events_.positions[i], events_.positions[i - 1]);
    EXPECT_LE(events_.positions.back(), events_.opened.duration);
    EXPECT_GE(events_.positions.back(), events_.opened.duration - 3 * kFrameUs);

    // The pictures: in order, at the frame size, laid out in the surface's own size (the
    // handler left the screen size at 0 x 0).
    const auto pics = surface.Pictures();
    ASSERT_GE(pics.size(), 40u); // 50 frames; a few may be dropped on a busy machine
    for (size_t i = 1; i < pics.size(); ++i)
        EXPECT_GT(pics[i].pts, pics[i - 1].pts);
    EXPECT_EQ(pics.front().width, 320);
    EXPECT_EQ(pics.front().height, 240);
    EXPECT_NEAR(pics.front().aspectRatio, 320.0 / 240.0, 1e-6);
    EXPECT_EQ(pics.front().displayWidth, 640);
    EXPECT_EQ(pics.front().displayHeight, 400);
    EXPECT_LT(pics.front().pts, 2 * kFrameUs);
    EXPECT_GE(pics.back().pts, events_.opened.duration - 2 * kFrameUs);

    player_.Stop(true);
    EXPECT_EQ(events_.states.back(), psStop);
    EXPECT_FALSE(player_.Playing());
    EXPECT_EQ(player_.Probe().StreamCount(), -1);
}

TEST_F(PlayerPlayback, ScreenSizeFromOnFileOpenIsTheDisplaySize) {
    surface.clientWidth = 999;
    events_.screenWidthToSet = 200;
    events_.screenHeightToSet = 150;
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForPictures(surface, 1));
    ShownPicture p;
    ASSERT_TRUE(surface.LastPicture(p));
    EXPECT_EQ(p.displayWidth, 200);
    EXPECT_EQ(p.displayHeight, 150);
    // A forced aspect ratio reaches the next picture shown.
    player_.SetAspectRatio(2.0f);
    ASSERT_TRUE(
        PumpUntil([&] { return surface.LastPicture(p) && std::fabs(p.aspectRatio - 2.0) < 1e-6; }, 2s));
}

TEST_F(PlayerPlayback, AudioOnlyFileFeedsTheVisualisation) {
    surface.clientWidth = 160;
    surface.clientHeight = 100;
    ASSERT_TRUE(player_.Open(audio_, &surface)) << player_.LastErrMsg();
    EXPECT_EQ(events_.opened.frameWidth, -1);
    EXPECT_EQ(events_.opened.frameHeight, -1);
    EXPECT_NEAR(static_cast<double>(events_.opened.duration), 2000000.0, 100000.0);
    ASSERT_TRUE(WaitForState(psEnd));
    EXPECT_EQ(surface.PictureCount(), 0u);
    EXPECT_GT(surface.Visualizations(), 20);
    int w, h;
    surface.VisualSize(w, h);
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 100);
    // The wave form of a sine fills whole columns, far more than a flat line would.
    EXPECT_GT(surface.MaxLitPixels(), 160 * 5);
    // The audio clock drives the position.
    ASSERT_GE(events_.positions.size(), 10u);
    for (size_t i = 1; i < events_.positions.size(); ++i)
        EXPECT_GT(events_.positions[i], events_.positions[i - 1]);
    EXPECT_GE(events_.positions.back(), 1800000);
    EXPECT_TRUE(player_.CurrentFrame().Empty());
}

TEST_F(PlayerPlayback, SeekShowsTheRequestedFrameAndClampsToTheDuration) {
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForPictures(surface, 2));
    player_.Pause();
    ASSERT_TRUE(player_.IsPaused());

    // 1.32 s lies eight frames after the key frame at 1 s: the frames between are passed over.
    // While paused the seek shows exactly that one picture.
    for (int64_t target : {1320000LL, 520000LL}) {
        player_.Seek(0, true, target);
        ShownPicture p;
        ASSERT_TRUE(surface.LastPicture(p));
        EXPECT_LE(std::llabs(p.pts - target), kFrameUs) << "target " << target << " shown " << p.pts;
        EXPECT_FALSE(player_.Seeking());
    }
    ASSERT_TRUE(PumpUntil(
        [&] {
            return !events_.positions.empty() && std::llabs(events_.positions.back() - 520000) <= kFrameUs;
        },
        2s));
    // Relative to where it stands: forward from 0.52 s by 0.8 s, then back by 1 s.
    player_.SeekRelative(0, true, 0.8);
    ShownPicture rel;
    ASSERT_TRUE(surface.LastPicture(rel));
    EXPECT_LE(std::llabs(rel.pts - 1320000), kFrameUs) << rel.pts;
    player_.SeekRelative(0, true, -1.0);
    ASSERT_TRUE(surface.LastPicture(rel));
    EXPECT_LE(std::llabs(rel.pts - 320000), kFrameUs) << rel.pts;

    // Beyond the end: the last picture, and playback then ends there.
    player_.Resume();
    player_.Seek(0, true, 60000000);
    ShownPicture last;
    ASSERT_TRUE(surface.LastPicture(last));
    EXPECT_GE(last.pts, 2000000 - 2 * kFrameUs);
    ASSERT_TRUE(WaitForState(psEnd));
    ASSERT_FALSE(events_.positions.empty());
    EXPECT_GE(events_.positions.back(), 2000000 - 2 * kFrameUs);
    EXPECT_LE(events_.positions.back(), events_.opened.duration);

    // After the end a seek plays again.
    const size_t before = surface.PictureCount();
    player_.Seek(0, true, 0);
    ASSERT_TRUE(WaitForPictures(surface, before + 10));
}

TEST_F(PlayerPlayback, PauseHoldsThePositionAndResumeGoesOnFromThere) {
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(
        PumpUntil([&] { return !events_.positions.empty() && events_.positions.back() > 500000; }, 5s));
    player_.Pause();
    ASSERT_TRUE(WaitForState(psPause));
    PumpFor(100ms); // a position queued just before the pause may still arrive
    const size_t count = events_.positions.size();
    const int64_t held = events_.positions.back();
    const size_t shown = surface.PictureCount();
    TCustomPlayer::TPlayerClocks c1{}, c2{};
    ASSERT_TRUE(player_.GetClocks(c1));
    PumpFor(500ms);
    ASSERT_TRUE(player_.GetClocks(c2));
    EXPECT_EQ(events_.positions.size(), count);
    EXPECT_EQ(surface.PictureCount(), shown);
    EXPECT_EQ(c1.video, c2.video);
    EXPECT_EQ(c1.audio, c2.audio);

    player_.Resume();
    ASSERT_TRUE(WaitForState(psResume));
    ASSERT_TRUE(PumpUntil([&] { return events_.positions.size() > count; }, 2s));
    const int64_t next = events_.positions[count];
    EXPECT_GE(next, held);
    EXPECT_LE(next, held + 150000) << "resumed at " << next << " after pausing at " << held;
    ASSERT_TRUE(WaitForState(psEnd));
}

TEST_F(PlayerPlayback, VolumeAndMuteShapeTheSoundThatIsPlayed) {
    // SDL's disk driver writes what the device would play into a file.
    const std::string raw = dir_->Path("played.raw");
    const char* oldDriver = std::getenv("SDL_AUDIODRIVER");
    const std::string restore = oldDriver ? oldDriver : "";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    ASSERT_TRUE(player_.Open(audio_, &surface)) << player_.LastErrMsg();
    auto at = [&](int64_t pos) {
        // The clock, not the position events: those may lag behind a busy main thread.
        return PumpUntil(
            [&] {
                TCustomPlayer::TPlayerClocks c{};
                return player_.GetClocks(c) && c.audio != AV_NOPTS_VALUE && c.audio > pos;
            },
            5s);
    };
    EXPECT_TRUE(at(600000));
    player_.SetAudioVolume(32);
    EXPECT_TRUE(at(1200000));
    player_.SetMute(true);
    EXPECT_TRUE(WaitForState(psEnd));
    player_.Stop(true);
    if (restore.empty())
        unsetenv("SDL_AUDIODRIVER");
    else
        setenv("SDL_AUDIODRIVER", restore.c_str(), 1);

    // 48 kHz stereo 16-bit: the peak of every 50 ms.
    FILE* f = std::fopen(raw.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<int16_t> samples;
    int16_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, sizeof(int16_t), 4096, f)) > 0)
        samples.insert(samples.end(), buf, buf + n);
    std::fclose(f);
    std::vector<int> peaks;
    for (size_t i = 0; i + 4800 <= samples.size(); i += 4800) {
        int peak = 0;
        for (size_t j = i; j < i + 4800; ++j)
            peak = std::max(peak, std::abs(static_cast<int>(samples[j])));
        peaks.push_back(peak);
    }
    ASSERT_GE(peaks.size(), 30u);
    // The level at full volume, past the decoder's start-up.
    std::vector<int> early(peaks.begin() + 2, peaks.begin() + 9);
    std::nth_element(early.begin(), early.begin() + 3, early.end());
    const int full = early[3];
    EXPECT_GT(full, 32767 * 0.2); // the fixture's sine has an amplitude of 0.3
    // A quarter of the volume gives a quarter of the level.
    const int quarter = static_cast<int>(
        std::count_if(peaks.begin(), peaks.end(), [&](int p) { return p > full * 0.2 && p < full * 0.3; }));
    EXPECT_GE(quarter, 5);
    // Muted: silence from some point on, until the end.
    size_t lastSound = 0;
    for (size_t i = 0; i < peaks.size(); ++i)
        if (peaks[i] > 0)
            lastSound = i;
    EXPECT_GE(peaks.size() - lastSound, 6u) << "no silence after muting";
    EXPECT_GT(lastSound, 10u);
}

TEST_F(PlayerPlayback, DisabledStreamsAreLeftOut) {
    struct Case {
        const char* name;
        bool audio, video, display;
        bool expectPictures, expectVisualization, expectAudioClock;
    };
    const std::vector<Case> cases = {
        {"no audio", true, false, false, true, false, false},
        {"no video", false, true, false, false, true, true},
        {"no display", false, false, true, false, false, true},
    };
    for (const Case& c : cases) {
        RecordingSurface s;
        EventLog events;
        TFFPlayer player;
        events.Attach(player);
        player.SetDisableAudio(c.audio);
        player.SetDisableVideo(c.video);
        player.SetDisableDisplay(c.display);
        ASSERT_TRUE(player.Open(video_, &s)) << c.name << ": " << player.LastErrMsg();
        const bool video = !c.video && !c.display;
        EXPECT_EQ(events.opened.frameWidth, video ? 320 : -1) << c.name;
        ASSERT_TRUE(
            PumpUntil([&] { return !events.positions.empty() && events.positions.back() > 300000; }, 5s))
            << c.name;
        TCustomPlayer::TPlayerClocks clocks{};
        ASSERT_TRUE(player.GetClocks(clocks));
        EXPECT_EQ(clocks.audio != AV_NOPTS_VALUE, c.expectAudioClock) << c.name;
        EXPECT_EQ(s.PictureCount() > 0, c.expectPictures) << c.name;
        EXPECT_EQ(s.Visualizations() > 0, c.expectVisualization) << c.name;
        EXPECT_EQ(player.CurrentFrame().Empty(), !video) << c.name;
        player.Stop(true);
    }
}

TEST_F(PlayerPlayback, SlowPositionHandlerSeesOnlyTheNewestPosition) {
    std::vector<int64_t> seen;
    StopOnExit stop{player_};
    player_.SetOnPosition([&](TCustomPlayer*, int64_t p) {
        seen.push_back(p);
        std::this_thread::sleep_for(150ms);
    });
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForState(psEnd));
    // Playback queued a position every frame; the handler, busy for 150 ms each time, received
    // the newest one each time and nothing stale in between.
    ASSERT_GE(seen.size(), 5u);
    EXPECT_LE(seen.size(), 20u);
    // (The last step may be short: positions stop at the duration.)
    for (size_t i = 2; i + 1 < seen.size(); ++i)
        EXPECT_GE(seen[i] - seen[i - 1], 100000) << "step " << i;
}

TEST_F(PlayerPlayback, StopWhilePausedReturnsAfterPsStopAndLeavesNoThread) {
    const int threadsBefore = ThreadCount();
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForPictures(surface, 3));
    player_.Pause();
    ASSERT_TRUE(player_.IsPaused());
    player_.Stop(true);
    ASSERT_FALSE(events_.states.empty());
    EXPECT_EQ(events_.states.back(), psStop);
    EXPECT_FALSE(player_.Playing());
    EXPECT_EQ(ThreadCount(), threadsBefore);

    // Stop without waiting returns at once; the threads still end and psStop still arrives.
    events_.states.clear();
    const size_t shown = surface.PictureCount();
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForPictures(surface, shown + 3));
    player_.Stop(false);
    EXPECT_FALSE(player_.Playing());
    ASSERT_TRUE(WaitForState(psStop));
    ASSERT_TRUE(PumpUntil([&] { return ThreadCount() == threadsBefore; }, 3s));
    player_.Stop(true); // frees what the first stop left
}

TEST_F(PlayerPlayback, StopFromAnEventHandlerDoesNotDeadlock) {
    bool stoppedInHandler = false;
    StopOnExit stop{player_};
    player_.SetOnState([&](TCustomPlayer* sender, TPlayState s) {
        events_.states.push_back(s);
        if (s == psEnd) {
            sender->Stop(true);
            stoppedInHandler = true;
        }
    });
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    player_.Seek(0, true, 1800000);
    ASSERT_TRUE(PumpUntil([&] { return stoppedInHandler; }, 8s));
    EXPECT_FALSE(player_.Playing());
    ASSERT_TRUE(WaitForState(psStop));
}

TEST_F(PlayerPlayback, EventsCanArriveOnTheEventThread) {
    std::atomic<int> states{0};
    std::atomic<bool> onMainThread{false};
    const auto mainThread = std::this_thread::get_id();
    StopOnExit stop{player_};
    player_.SetTriggerEventInMainThread(false);
    player_.SetOnState([&](TCustomPlayer*, TPlayState) {
        if (std::this_thread::get_id() == mainThread)
            onMainThread = true;
        states.fetch_add(1);
    });
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    // The main thread serves nothing meanwhile, and psPlay still arrives.
    for (int i = 0; i < 300 && states.load() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(states.load(), 1);
    player_.Stop(true);
    EXPECT_GE(states.load(), 2); // psStop too
    EXPECT_FALSE(onMainThread.load());
}

TEST_F(PlayerPlayback, HookDrawsOnShownPicturesAndItsErrorsDoNotStopPlayback) {
    surface.keepPixels = true;
    std::atomic<int> calls{0};
    std::vector<int64_t> hookPts;
    std::mutex hookMutex;
    player_.SetHook(true);
    player_.SetOnHook([&](TCustomPlayer*, Bitmap24& bmp, int64_t pts) {
        const int n = calls.fetch_add(1);
        {
            std::lock_guard<std::mutex> lock(hookMutex);
            hookPts.push_back(pts);
        }
        // Half-drawn and then failed: what was drawn must not show.
        for (int y = 0; y < 10; ++y)
            std::memset(bmp.ScanLine(y), 255, bmp.Width() * 3);
        if (n % 2)
            throw std::runtime_error("boom");
    });
    std::vector<std::string> logged;
    std::mutex logMutex;
    struct ResetLog {
        ~ResetLog() { FFLogger().SetOnLog(nullptr); }
    } resetLog;
    StopOnExit stop{player_};
    FFLogger().SetOnLog([&](void*, uint32_t, TLogLevel, const std::string& msg) {
        std::lock_guard<std::mutex> lock(logMutex);
        logged.push_back(msg);
    });
    ASSERT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForState(psEnd));
    player_.Stop(true);

    const auto pics = surface.Pictures();
    ASSERT_GE(pics.size(), 40u);
    EXPECT_GE(calls.load(), static_cast<int>(pics.size()));
    int drawn = 0, plain = 0;
    for (const ShownPicture& p : pics) {
        // Top rows white: the hook's drawing (shown as 24-bit). Otherwise the untouched picture.
        if (p.format == TVideoPicture::pfBGR24) {
            ASSERT_EQ(p.y.size(), static_cast<size_t>(320 * 240 * 3));
            EXPECT_EQ(p.y[0], 255);
            EXPECT_EQ(p.y[320 * 3 * 9], 255);
            ++drawn;
        } else {
            EXPECT_LT(p.y[0], 250);
            ++plain;
        }
    }
    EXPECT_GT(drawn, 15);
    EXPECT_GT(plain, 15);
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        ASSERT_GE(hookPts.size(), 2u);
        EXPECT_EQ(hookPts[0], 0);
        EXPECT_EQ(hookPts[1], kFrameUs);
    }
    std::lock_guard<std::mutex> lock(logMutex);
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Error occurs OnHook: boom"), logged.end());
}

TEST_F(PlayerPlayback, CurrentFrameIsTheShownPicture) {
    surface.keepPixels = true;
    EXPECT_TRUE(player_.CurrentFrame().Empty()); // nothing open
    ASSERT_TRUE(player_.Open(video_, &surface, true)) << player_.LastErrMsg();
    // Opened paused: one picture is shown and playback waits.
    ASSERT_TRUE(WaitForPictures(surface, 1));
    PumpFor(200ms);
    EXPECT_EQ(surface.PictureCount(), 1u);
    player_.Resume();
    ASSERT_TRUE(WaitForPictures(surface, 15));
    player_.Pause();
    PumpFor(100ms);
    ShownPicture p;
    ASSERT_TRUE(surface.LastPicture(p));
    const Bitmap24& frame = player_.CurrentFrame();
    ASSERT_EQ(frame.Width(), 320);
    ASSERT_EQ(frame.Height(), 240);
    // Same picture: converting the shown planes to BGR here gives the same bitmap, pixel by
    // pixel (small differences come from the scaler's chroma filtering).
    ASSERT_EQ(p.format, TVideoPicture::pfYUV420P);
    double diff = 0;
    for (int y = 0; y < 240; ++y) {
        const uint8_t* row = frame.ScanLine(y);
        for (int x = 0; x < 320; ++x) {
            const double Y = 1.164 * (p.y[y * 320 + x] - 16);
            const double U = p.u[(y / 2) * 160 + x / 2] - 128;
            const double V = p.v[(y / 2) * 160 + x / 2] - 128;
            const double r = std::clamp(Y + 1.596 * V, 0.0, 255.0);
            const double g = std::clamp(Y - 0.392 * U - 0.813 * V, 0.0, 255.0);
            const double b = std::clamp(Y + 2.017 * U, 0.0, 255.0);
            diff += std::fabs(row[x * 3] - b) + std::fabs(row[x * 3 + 1] - g) + std::fabs(row[x * 3 + 2] - r);
        }
    }
    EXPECT_LT(diff / (320 * 240 * 3), 3.0);
}

TEST_F(PlayerPlayback, BrokenFilesFailCleanly) {
    struct Case {
        std::string path;
        std::string expectInMessage;
    };
    const std::vector<Case> cases = {
        {fixtures::MakeFixture(fixtures::FixtureKind::RandomBytes, dir_->Root()), ""},
        {fixtures::MakeFixture(fixtures::FixtureKind::ZeroBytes, dir_->Root()), ""},
        {fixtures::MakeFixture(fixtures::FixtureKind::TruncatedHeaderOnly, dir_->Root()), ""},
        {dir_->Path("missing.mov"), "No such file or directory"},
    };
    const int threadsBefore = ThreadCount();
    for (const Case& c : cases) {
        EXPECT_FALSE(player_.Open(c.path, &surface)) << c.path;
        EXPECT_FALSE(player_.LastErrMsg().empty()) << c.path;
        EXPECT_NE(player_.LastErrMsg().find(c.expectInMessage), std::string::npos) << player_.LastErrMsg();
        EXPECT_NE(player_.LastErrMsg().find(c.path), std::string::npos) << player_.LastErrMsg();
        EXPECT_FALSE(player_.Playing());
        EXPECT_EQ(ThreadCount(), threadsBefore) << c.path;
        EXPECT_TRUE(events_.states.empty());
    }
    // A good file still opens afterwards.
    EXPECT_TRUE(player_.Open(video_, &surface)) << player_.LastErrMsg();
}

TEST_F(PlayerPlayback, TruncatedFilePlaysWhatItHas) {
    const std::string path = fixtures::MakeFixture(fixtures::FixtureKind::TruncatedFaststart, dir_->Root());
    ASSERT_TRUE(player_.Open(path, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return events_.Has(psEnd) || events_.Has(psStop); }, 8s));
    EXPECT_GT(surface.PictureCount(), 0u);
}

TEST_F(PlayerPlayback, SubtitlesComeWithTheirPictures) {
    const std::string path = fixtures::MakeFixture(fixtures::FixtureKind::MovSubtitles, dir_->Root());
    ASSERT_TRUE(player_.Open(path, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForState(psEnd));
    // Cues: 0.2-0.8 "First line", 0.9-1.4 "Second line", 1.5-1.9 "Third line".
    int withText = 0;
    for (const ShownPicture& p : surface.Pictures()) {
        std::string expected = "?";
        if (p.pts >= 300000 && p.pts <= 700000)
            expected = "First line";
        else if (p.pts >= 1000000 && p.pts <= 1300000)
            expected = "Second line";
        else if (p.pts >= 1600000 && p.pts <= 1800000)
            expected = "Third line";
        else if (p.pts < 150000)
            expected = "";
        if (expected != "?") {
            EXPECT_EQ(p.subtitle, expected) << p.pts;
        }
        withText += !p.subtitle.empty();
    }
    EXPECT_GT(withText, 20);
}

TEST_F(PlayerPlayback, AudioAndVideoStayInSync) {
    fixtures::FixtureSpec recipe = fixtures::SpecFor(fixtures::FixtureKind::SyncMarkers);
    recipe.video->frameCount = 75; // 3 s
    recipe.audio[0].durationSeconds = 3.0;
    recipe.sync.firstSeconds = 0.6;
    recipe.sync.intervalSeconds = 1.0;
    const std::string path = dir_->Path("sync.mov");
    std::string error;
    ASSERT_TRUE(fixtures::Generate(recipe, path, &error)) << error;
    const std::vector<int64_t> markers = fixtures::SyncMarkerTimesUs(recipe);
    ASSERT_EQ(markers.size(), 3u);

    ASSERT_TRUE(player_.Open(path, &surface)) << player_.LastErrMsg();
    ASSERT_TRUE(WaitForState(psEnd));
    // Each picture was shown when the audio clock stood at its time, the flashes included. The
    // pictures follow the audio clock within a frame (a sound device that runs a little fast
    // pulls ahead until the video catches up); a busy machine may hold a single picture back.
    std::vector<int64_t> offsets, flashOffsets;
    for (const ShownPicture& p : surface.Pictures()) {
        if (p.audioClock == INT64_MIN)
            continue;
        const int64_t offset = std::llabs(p.audioClock - p.pts);
        offsets.push_back(offset);
        if (p.meanLuma > 200)
            flashOffsets.push_back(offset);
    }
    ASSERT_GE(offsets.size(), 60u);
    ASSERT_GE(flashOffsets.size(), 9u); // three markers of 0.2 s, 5 frames each
    auto percentile = [](std::vector<int64_t> v, double q) {
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(q * (v.size() - 1))];
    };
    EXPECT_LE(percentile(offsets, 0.9), 40000);
    EXPECT_LE(percentile(flashOffsets, 0.5), 40000);
    printf("sync: median %lld us, 95%% %lld us, worst %lld us, flashes median %lld us\n",
           static_cast<long long>(percentile(offsets, 0.5)),
           static_cast<long long>(percentile(offsets, 0.95)),
           static_cast<long long>(percentile(offsets, 1.0)),
           static_cast<long long>(percentile(flashOffsets, 0.5)));
}

TEST_F(PlayerPlayback, RotatedVideoPlaysUpright) {
    const char* media = std::getenv("KAVLO_SHARED_MEDIA");
    if (!media || !std::filesystem::exists(std::string(media) + "/iphone_h264_aac_rotated90.mov"))
        GTEST_SKIP() << "shared media not present";
    struct Case {
        const char* file;
        int width, height; // upright
    };
    const std::vector<Case> cases = {
        {"iphone_h264_aac_rotated90.mov", 480, 640},    // stored 640 x 480, a quarter turn
        {"h264_aac_rotate_and_reflect.mp4", 720, 1080}, // stored 1080 x 720, turned and mirrored
    };
    std::mutex m;
    int hookW = 0, hookH = 0;
    StopOnExit stop{player_};
    player_.SetHook(true);
    player_.SetOnHook([&](TCustomPlayer*, Bitmap24& b, int64_t) {
        std::lock_guard<std::mutex> lock(m);
        hookW = b.Width();
        hookH = b.Height();
    });
    for (const Case& c : cases) {
        ASSERT_TRUE(player_.Open(std::string(media) + "/" + c.file, &surface)) << player_.LastErrMsg();
        EXPECT_EQ(events_.opened.frameWidth, c.width) << c.file;
        EXPECT_EQ(events_.opened.frameHeight, c.height) << c.file;
        EXPECT_EQ(player_.FrameWidth(), c.width) << c.file;
        ASSERT_TRUE(WaitForPictures(surface, surface.PictureCount() + 3)) << c.file;
        ShownPicture p;
        ASSERT_TRUE(surface.LastPicture(p));
        EXPECT_EQ(p.width, c.width) << c.file;
        EXPECT_EQ(p.height, c.height) << c.file;
        EXPECT_NEAR(p.aspectRatio, static_cast<double>(c.width) / c.height, 0.01) << c.file;
        player_.Stop(true);
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(hookW, c.width) << c.file;
        EXPECT_EQ(hookH, c.height) << c.file;
    }
}
