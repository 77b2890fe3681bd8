// kavlo-convert: the converter's batch run for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/BatchConverter.h"
#include "cli/CliOptions.h"
#include "cli/RunChoices.h"
#include "core/Dispatcher.h"
#include "core/TGlobalObject.h"

int main(int argc, char** argv) {
    using namespace kavlo::cli;
    // The thread that runs main is the one the workers hand their events to.
    kavlo::CurrentDispatcher();

    std::vector<std::string> args(argv + 1, argv + argc);
    TCliOptions options;
    std::string error;
    if (!ParseCommandLine(args, options, error)) {
        std::fprintf(stderr, "kavlo-convert: %s\nTry 'kavlo-convert --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (options.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitConverted;
    }
    if (options.ShowVersion) {
        std::printf("kavlo-convert (%s)%s\n", kavlo::kAppTitle, kavlo::GetFileVersionText().c_str());
        return kExitConverted;
    }
    if (options.ListProfiles) {
        std::fputs(ProfileListText().c_str(), stdout);
        return kExitConverted;
    }
    return RunConverter(options);
}
