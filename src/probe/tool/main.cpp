// kavlo-probe FILE...: prints what the probe finds in each file, a blank line between files.
// A file that does not open gets one error line on stderr; the exit status is 1 when any did.
#include "engine/ffmpeg/TFFLogger.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "probe/TAVProbe.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kavlo-probe FILE...\n");
        return 2;
    }
    kavlo::TFFmpegLoader& loader = kavlo::FFmpegLoader();
    if (!loader.Load(kavlo::kConverterLibraries)) {
        std::fprintf(stderr, "kavlo-probe: %s\n", loader.LastErrMsg().c_str());
        return 1;
    }
    // The probe reports its failures itself below; the libraries' chatter about damaged
    // files would only repeat them.
    kavlo::FFLogger().SetLogLevel(kavlo::llQuiet);

    int failed = 0;
    bool first = true;
    kavlo::TAVProbe probe;
    for (int i = 1; i < argc; ++i) {
        try {
            if (!probe.LoadFile(argv[i])) {
                std::fprintf(stderr, "kavlo-probe: %s\n", probe.LastErrMsg().c_str());
                ++failed;
                continue;
            }
            if (!first)
                std::fputc('\n', stdout);
            first = false;
            std::string text = probe.InfoText();
            std::fprintf(stdout, "%s\n", text.c_str());
            probe.CloseFile();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kavlo-probe: %s: %s\n", argv[i], e.what());
            ++failed;
        }
    }
    std::fflush(stdout);
    return failed ? 1 : 0;
}
