#include "LogCapture.h"

#include "engine/ffmpeg/FrameHook.h"

#include <dlfcn.h>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace kavlo {
namespace {

using FrameHookTest = test::LogCapture;

// The complete module's own counters (the same loaded copy the hook chain uses).
struct CompleteModule {
    CompleteModule() : handle(dlopen(KAVLO_HOOK_COMPLETE, RTLD_NOW)) {}
    ~CompleteModule() {
        if (handle)
            dlclose(handle);
    }
    int Released() const { return reinterpret_cast<int (*)()>(dlsym(handle, "HookTestReleased"))(); }
    int64_t LastPts() const { return reinterpret_cast<int64_t (*)()>(dlsym(handle, "HookTestLastPts"))(); }
    void* handle;
};

TEST_F(FrameHookTest, ModuleWithoutProcessIsRefused) {
    TFrameHookList list;
    EXPECT_EQ(FrameHookAdd(list, {KAVLO_HOOK_WITHOUT_PROCESS}), -2);
    EXPECT_TRUE(list.Empty());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].msg,
              std::string("Failed to find Process entrypoint in ") + KAVLO_HOOK_WITHOUT_PROCESS);
    EXPECT_EQ(lines[0].level, llError);
    // The refusal happens before Configure runs.
    void* module = dlopen(KAVLO_HOOK_WITHOUT_PROCESS, RTLD_NOW);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(dlsym(module, "HookTestConfigured"))(), 0);
    dlclose(module);
}

TEST_F(FrameHookTest, NoArgumentsOrUnloadableModule) {
    TFrameHookList list;
    EXPECT_EQ(FrameHookAdd(list, 0, nullptr), -2);
    EXPECT_EQ(FrameHookAdd(list, {"/nonexistent/kavlo-hook.so"}), -1);
    EXPECT_TRUE(list.Empty());
    const auto msgs = Messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_NE(msgs[0].find("/nonexistent/kavlo-hook.so"), std::string::npos) << msgs[0];
}

TEST_F(FrameHookTest, ChainRunsInOrderAndReleasesEveryModule) {
    CompleteModule module;
    ASSERT_NE(module.handle, nullptr) << dlerror();
    const int releasedBefore = module.Released();

    TFrameHookList list;
    ASSERT_EQ(FrameHookAdd(list, {KAVLO_HOOK_COMPLETE, "7"}), 0);
    ASSERT_EQ(FrameHookAdd(list, {KAVLO_HOOK_COMPLETE, "9"}), 0);
    EXPECT_EQ(FrameHookAdd(list, {KAVLO_HOOK_COMPLETE, "fail"}), -22);
    EXPECT_EQ(Messages(),
              std::vector<std::string>{std::string("Failed to Configure ") + KAVLO_HOOK_COMPLETE});
    ASSERT_EQ(list.Count(), 2u);

    AVFrame* frame = av_frame_alloc();
    ASSERT_NE(frame, nullptr);
    frame->format = AV_PIX_FMT_GRAY8;
    frame->width = 5;
    frame->height = 3;
    ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
    TFrameHookPicture picture = FrameHookPictureOf(frame);
    FrameHookProcess(list, &picture, frame->format, frame->width, frame->height, 40000);
    for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x)
            ASSERT_EQ(frame->data[0][y * frame->linesize[0] + x], 9) << "the later module runs last";
    EXPECT_EQ(module.LastPts(), 40000);
    av_frame_free(&frame);

    FrameHookRelease(list);
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(module.Released(), releasedBefore + 2);

    // A list that goes away releases what it still holds.
    {
        TFrameHookList scoped;
        ASSERT_EQ(FrameHookAdd(scoped, {KAVLO_HOOK_COMPLETE}), 0);
    }
    EXPECT_EQ(module.Released(), releasedBefore + 3);
}

} // namespace
} // namespace kavlo
