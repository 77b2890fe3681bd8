/* A frame-hook module with all three entry points: paints the first plane with the value given
   as its argument and counts what happens to it, so tests can watch the chain work. */
#include "engine/ffmpeg/FrameHookModule.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

typedef struct HookContext {
    uint8_t value;
} HookContext;

static int gReleased;
static int64_t gLastPts = -1;

int Configure(void** ctxp, int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "fail") == 0)
        return -1;
    HookContext* ctx = (HookContext*)calloc(1, sizeof(HookContext));
    if (!ctx)
        return -1;
    ctx->value = argc > 1 ? (uint8_t)atoi(argv[1]) : 0xFF;
    *ctxp = ctx;
    return 0;
}

void Process(void* ctx, TFrameHookPicture* picture, int pixFmt, int width, int height, int64_t pts) {
    const HookContext* c = (const HookContext*)ctx;
    (void)pixFmt;
    for (int y = 0; y < height; ++y)
        memset(picture->data[0] + (ptrdiff_t)y * picture->linesize[0], c->value, (size_t)width);
    gLastPts = pts;
}

void Release(void* ctx) {
    free(ctx);
    ++gReleased;
}

int HookTestReleased(void) {
    return gReleased;
}
int64_t HookTestLastPts(void) {
    return gLastPts;
}
