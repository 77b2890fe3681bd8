#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "core/Dispatcher.h"
#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/TGlobalObject.h"
#include "core/TempDir.h"
#include "engine/TFFmpeg.h"
#include "engine/TFFmpegEngine.h"
#include "engine/ffmpeg/FFUtils.h"
#include "fixtures/Fixtures.h"
#include "profiles/TParameterPanel.h"
#include "queue/TBatchRun.h"

namespace kavlo {
namespace {

namespace fs = std::filesystem;

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        formatPath_ = DefaultDataFile(kFormatFileName);
        ASSERT_TRUE(fs::is_regular_file(formatPath_)) << formatPath_;
        ASSERT_TRUE(engine_.LoadAVLib(ProgramFolder() + "LibAV")) << engine_.LastErrMsg();
        mov_ = fixtures::MakeFixture(fixtures::FixtureKind::MovH264Aac, dir_.Root());
        outDir_ = dir_.Path("out");
        settings_.WriteString(settings::kSection, settings::kOutPutDir, outDir_);
        choiceValues_ = ProfileDefaultValues(formatFile_, kCode);
    }

    // Rows of the list; the hook and the set-up reach them through this accessor.
    TlvFilesRecord* Record(int row) {
        if (row < 0 || row >= static_cast<int>(records_.size()))
            return nullptr;
        ++accesses_[static_cast<size_t>(row)];
        return &records_[static_cast<size_t>(row)];
    }

    void AddRow(const std::string& source) {
        TlvFilesRecord r;
        r.SourceFile = source;
        records_.push_back(r);
    }

    std::vector<TBatchFileResult> Build(const std::vector<int>& rows, const std::string& extraIn = "",
                                        const std::string& extraOut = "") {
        choices_ = std::make_unique<TProfileSettings>(choiceValues_);
        TBatchProfile p;
        p.Code = kCode;
        p.FormatFile = &formatFile_;
        p.Choices = choices_.get();
        p.Messages = &silent_;
        p.OutputName = [this](const std::string& src, const std::string& suffix) {
            return MakeOutputFileName(src, suffix, settings_, silent_);
        };
        p.ExtraInputOptions = extraIn;
        p.ExtraOutputOptions = extraOut;
        return batch_.Build(engine_, rows, p);
    }

    // Runs the built tasks one after another and waits for the end of the run.
    std::vector<TTerminateInfo> RunAll() {
        std::mutex lock;
        std::vector<TTerminateInfo> done;
        std::atomic<bool> ended{false};
        engine_.OnTerminate = [&](TCustomFFmpegEngine*, const TTerminateInfo& t) {
            if (t.TaskIndex < 0) {
                ended = true;
                return;
            }
            std::lock_guard<std::mutex> g(lock);
            done.push_back(t);
        };
        engine_.OnCustomHook = [this](TCustomFFmpegEngine*, THookInfo* h) { batch_.CustomHook(h); };
        engine_.StartTask(1);
        // A guard against a hung run, not a speed limit.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!ended && std::chrono::steady_clock::now() < deadline)
            CurrentDispatcher().WaitAndProcess(std::chrono::milliseconds(20));
        EXPECT_TRUE(ended) << "the run did not end";
        engine_.OnTerminate = nullptr;
        std::lock_guard<std::mutex> g(lock);
        return done;
    }

    int OutputCount() const {
        std::error_code ec;
        if (!fs::is_directory(outDir_, ec))
            return 0;
        int n = 0;
        for (const auto& e : fs::directory_iterator(outDir_, ec)) {
            (void)e;
            ++n;
        }
        return n;
    }

    static constexpr int kCode = 1; // iPod Video H.264
    test::TempDir dir_;
    std::string formatPath_;
    IniFile formatFile_{DefaultDataFile(kFormatFileName)};
    IniFile settings_{dir_.Path("settings.ini")};
    TSilentMessages silent_;
    TProfileValues choiceValues_;
    std::unique_ptr<TProfileSettings> choices_;
    std::string mov_;
    std::string outDir_;
    TFFmpegEngine engine_;
    std::vector<TlvFilesRecord> records_;
    std::array<std::atomic<int>, 8> accesses_{};
    TBatchRun batch_{[this](int row) { return Record(row); }};
};

// The list: row 0 plain, row 1 unchecked, row 2's file is gone, row 3 has an effect. The missing
// file must not take a task index, or the hook of the last task would paint with another row's
// record (or none).
TEST_F(BatchRunTest, FailedFileKeepsTaskRowsAlignedAndHookFindsItsRow) {
    AddRow(mov_);
    AddRow(mov_);
    AddRow(dir_.Path("gone.mov"));
    AddRow(mov_);
    records_[3].Contrast = 10;

    const auto results = Build({0, 2, 3});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].Row, 0);
    EXPECT_EQ(results[0].TaskIndex, 0);
    EXPECT_EQ(results[1].Row, 2);
    EXPECT_EQ(results[1].TaskIndex, -1);
    EXPECT_NE(results[1].Error.find("gone.mov"), std::string::npos) << results[1].Error;
    EXPECT_NE(results[1].Error.find("No such file"), std::string::npos) << results[1].Error;
    EXPECT_EQ(results[2].TaskIndex, 1);
    EXPECT_EQ(batch_.TaskRows(), (std::vector<int>{0, 3}));
    EXPECT_EQ(batch_.RowOfTask(1), 3);
    EXPECT_EQ(batch_.RowOfTask(2), -1);
    ASSERT_EQ(engine_.TasksCount(), 2);
    EXPECT_FALSE(engine_.Task(0)->outputOptions[0]->HookEnabled);
    EXPECT_TRUE(engine_.Task(1)->outputOptions[0]->HookEnabled);
    // The same source twice: the second output gets the next free name, never the first's.
    EXPECT_NE(results[0].OutputFile, results[2].OutputFile);
    EXPECT_NE(results[2].OutputFile.find("_(new_1)"), std::string::npos) << results[2].OutputFile;

    for (auto& a : accesses_)
        a = 0;
    const auto done = RunAll();
    ASSERT_EQ(done.size(), 2u);
    for (const TTerminateInfo& t : done) {
        EXPECT_TRUE(t.Finished) << t.TaskIndex << ": " << t.ErrorMessage;
        EXPECT_FALSE(t.Failed) << t.TaskIndex << ": " << t.ErrorMessage;
    }
    EXPECT_GT(accesses_[3].load(), 0) << "the hook of task 1 never reached row 3";
    EXPECT_EQ(accesses_[0].load() + accesses_[1].load() + accesses_[2].load(), 0);
    EXPECT_GT(FileSizeOf(results[0].OutputFile), 0);
    EXPECT_GT(FileSizeOf(results[2].OutputFile), 0);

    // A new batch on the same engine starts from a clean table.
    const auto again = Build({3});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].TaskIndex, 0) << again[0].Error;
    EXPECT_EQ(batch_.TaskRows(), (std::vector<int>{3}));
}

// Options the engine refuses fail every file with the engine's own text, leave no task behind
// and no output file in the folder.
TEST_F(BatchRunTest, RefusedOptionsFailTheFileWithTheEngineMessage) {
    AddRow(mov_);
    AddRow(mov_);
    struct Case {
        std::string in, out, message;
    };
    for (const Case& c : {Case{"", "padtop=4", "Please use vfilters=pad"},
                          Case{"itsscale=25:1", "", "stream index over MAX_STREAMS(20)"}}) {
        SCOPED_TRACE(c.in + c.out);
        const auto results = Build({0, 1}, c.in, c.out);
        ASSERT_EQ(results.size(), 2u);
        for (const auto& r : results) {
            EXPECT_EQ(r.TaskIndex, -1);
            EXPECT_EQ(r.Error, c.message);
        }
        EXPECT_EQ(engine_.TasksCount(), 0);
        EXPECT_TRUE(batch_.TaskRows().empty());
        EXPECT_EQ(OutputCount(), 0);
    }
}

// A stored value the builder cannot read fails the file with the builder's text.
TEST_F(BatchRunTest, BuilderErrorFailsTheFile) {
    AddRow(mov_);
    choiceValues_.emplace_back("paraVolume", "loud");
    const auto results = Build({0});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].TaskIndex, -1);
    EXPECT_NE(results[0].Error.find("loud"), std::string::npos) << results[0].Error;
    EXPECT_EQ(engine_.TasksCount(), 0);
}

// The record's trim goes to the input's start time and the output's recording time; the probed
// format is forced on the input; the zoom mode comes from the profile's choice.
TEST_F(BatchRunTest, TrimFormatAndZoomReachTheTask) {
    AddRow(mov_);
    AddRow(mov_);
    records_[0].TrimStart = 500000;
    records_[0].TrimLength = 1000000;
    records_[0].ZoomMode = "full";
    choiceValues_.emplace_back("paraZoom", "pan");

    const auto results = Build({0, 1});
    ASSERT_EQ(engine_.TasksCount(), 2) << results[0].Error << results[1].Error;
    const TFFmpeg* trimmed = engine_.Task(0);
    ASSERT_TRUE(trimmed->inputOptions[0] && trimmed->outputOptions[0]);
    EXPECT_EQ(trimmed->inputOptions[0]->StartTime, 500000);
    EXPECT_EQ(trimmed->inputOptions[0]->FileFormat, "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(trimmed->outputOptions[0]->RecordingTime, 1000000);
    EXPECT_EQ(trimmed->outputOptions[0]->FileName, results[0].OutputFile);
    EXPECT_EQ(records_[0].ZoomMode, "pan");
    EXPECT_EQ(results[0].ExpectedDuration, 1000000);

    const TFFmpeg* whole = engine_.Task(1);
    EXPECT_EQ(whole->inputOptions[0]->StartTime, 0);
    EXPECT_EQ(whole->outputOptions[0]->RecordingTime, INT64_MIN);
    EXPECT_NEAR(static_cast<double>(results[1].ExpectedDuration), 2e6, 1e5);
    EXPECT_EQ(fs::path(results[1].OutputFile).parent_path(), fs::path(outDir_));
    EXPECT_EQ(fs::path(results[1].OutputFile).extension(), ".mp4");
}

TEST(BatchRules, PrioritySetting) {
    EXPECT_EQ(ThreadPriorityOfSetting(0), TThreadPriority::tpIdle);
    EXPECT_EQ(ThreadPriorityOfSetting(1), TThreadPriority::tpNormal);
    EXPECT_EQ(ThreadPriorityOfSetting(2), TThreadPriority::tpLower);
    EXPECT_EQ(ThreadPriorityOfSetting(3), TThreadPriority::tpLowest);
    for (int other : {-1, 4, 7})
        EXPECT_FALSE(ThreadPriorityOfSetting(other).has_value()) << other;

    TFFmpegEngine engine;
    ApplyPrioritySetting(engine, 2);
    EXPECT_EQ(engine.ThreadPriority(), TThreadPriority::tpLower);
    ApplyPrioritySetting(engine, 7);
    EXPECT_EQ(engine.ThreadPriority(), TThreadPriority::tpLower);
}

TEST(BatchRules, ProgressPercent) {
    struct Case {
        int64_t current, total;
        int percent;
    };
    for (const Case& c : {Case{0, 10, 0}, Case{999, 1000, 99}, Case{5000000, 20000000, 25}, Case{30, 20, 100},
                          Case{5, -1, 0}, Case{5, 0, 0}, Case{-3, 10, 0}}) {
        TProgressInfo info;
        info.CurrentDuration = c.current;
        info.TotalDuration = c.total;
        EXPECT_EQ(TaskProgressPercent(info), c.percent) << c.current << "/" << c.total;
    }
}

} // namespace
} // namespace kavlo
