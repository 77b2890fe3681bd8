// Every profile of the catalogue, with the choices a fresh install gives it, must make a job the
// engine accepts for an ordinary QuickTime movie.
#include <gtest/gtest.h>

#include <filesystem>

#include "RecordingMessages.h"
#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/TGlobalObject.h"
#include "core/TempDir.h"
#include "engine/TFFmpegEngine.h"
#include "fixtures/Fixtures.h"
#include "probe/TAVProbe.h"
#include "profiles/JobOptionBuilder.h"
#include "profiles/ProfileNames.h"
#include "profiles/TParameterPanel.h"

namespace kavlo {
namespace {

TEST(EngineSetupTest, EveryProfileDefaultIsAcceptedForAMovie) {
    test::TempDir dir;
    TFFmpegEngine engine;
    ASSERT_TRUE(engine.LoadAVLib(ProgramFolder())) << engine.LastErrMsg();
    const std::string movie = fixtures::MakeFixture(fixtures::FixtureKind::MovH264Aac, dir.Root());
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(movie)) << probe.LastErrMsg();
    const TSourceVideo source = SourceVideoOf(probe);
    ASSERT_EQ(source.VideoStreamCount, 1);

    const IniFile format(DefaultDataFile(kFormatFileName));
    IniFile settings(dir.Path("settings.ini"));
    settings.WriteString("settings", "OutPutDir", dir.Path("out"));
    for (int code : AllProfileCodes()) {
        SCOPED_TRACE(std::to_string(code) + " " + CatalogueProfileName(code));
        test::RecordingMessages messages;
        // As the parameter panel leaves a profile it loads for the first time.
        TParameterPanel panel(format, settings, messages);
        panel.LoadProfile(std::to_string(code));
        const TProfileSettings values(settings, FormatSectionName(code));
        for (const char* mode : {"lbox", "full"}) {
            TlvFilesRecord record;
            record.SourceFile = movie;
            record.ZoomMode = mode;
            TOutputOptions out;
            TInputOptions in;
            BuildJobOptions(record, code, out, source, in, format, values, messages);
            const std::string dest =
                MakeOutputFileName(movie, "." + format.ReadString(FormatSectionName(code), "FileExt", "mp4"),
                                   settings, messages);
            EXPECT_TRUE(messages.Silent());
            EXPECT_EQ(out.DisableVideo, code / 100 == 27);
            const int task = engine.AddTask(movie, &in);
            ASSERT_GE(task, 0) << engine.LastErrMsg();
            EXPECT_TRUE(engine.SetOutputFile(task, dest, &out)) << engine.LastErrMsg();
            engine.ClearTasks();
        }
    }
}

} // namespace
} // namespace kavlo
