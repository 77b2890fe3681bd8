/* What a frame-hook module exports. Kept plain C so modules can be written in C. */
#ifndef KAVLO_FRAME_HOOK_MODULE_H
#define KAVLO_FRAME_HOOK_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The planes of one decoded picture; laid out like the first fields of an AVFrame. */
typedef struct TFrameHookPicture {
    uint8_t* data[8];
    int linesize[8];
} TFrameHookPicture;

/* "Configure": fills *ctxp with the module's own context; 0 on success. argv[0] is the module's
   file name, the rest are the module's arguments. Optional. */
typedef int (*FrameHookConfigureFn)(void** ctxp, int argc, char* argv[]);
/* "Process": works on the picture in place (pixFmt is an AVPixelFormat, pts in microseconds).
   Required. */
typedef void (*FrameHookProcessFn)(void* ctx, TFrameHookPicture* picture, int pixFmt, int width, int height,
                                   int64_t pts);
/* "Release": frees the context. Optional. */
typedef void (*FrameHookReleaseFn)(void* ctx);

#ifdef __cplusplus
}
#endif

#endif
