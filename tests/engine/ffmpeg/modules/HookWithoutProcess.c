/* A frame-hook module that lacks the required Process entry point. */
#include "engine/ffmpeg/FrameHookModule.h"

static int gConfigured;

int Configure(void** ctxp, int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    *ctxp = 0;
    ++gConfigured;
    return 0;
}

void Release(void* ctx) {
    (void)ctx;
}

int HookTestConfigured(void) {
    return gConfigured;
}
