#pragma once
#include "core/Bitmap24.h"
#include "core/TlvFilesRecord.h"

namespace kavlo {

// Picture adjustments and overlays on a 24-bit frame, in place. The conversion hook and every
// preview run the same routines, so a preview shows exactly what the conversion writes.
//
// The colour and exposure routines are table driven; their tables are kept per thread while the
// values stay the same, so calling them on every frame of a video costs only the pixel pass.
// Every routine may run on several threads at once, each on its own frame.

// Saturation, then brightness and contrast, in one pass. Neutral is 256, 0, 256 (identity).
// The stored neutral values 255, 0, 255 are NOT the identity (they darken by one level);
// ApplyFileEffects skips the call for them. Dialog ranges: brightness 0..512, contrast
// -100..100, saturation 0..512; other values follow the same formulas (a contrast beyond the
// range inverts around level 170; saturations beyond +-65536 behave as +-65536, where every
// channel is already pushed fully to 0 or 255).
void AdjustColors(Bitmap24& frame, int brightness, int contrast, int saturation);

// Exposure curve applied to every byte (blue, green and red alike). 0 is the identity; positive
// values brighten toward white, negative ones darken. Black and white never move.
void AdjustExposure(Bitmap24& frame, float exposure);

// Blends `overlay` into the frame with its top-left corner at (x, y); only the part that lies
// inside the frame is drawn. Style 1: alpha blend, (dst * (256 - alpha) + src * alpha) >> 8 with
// alpha limited to 0..255. Any other style: multiply blend src * dst / 255 (alpha unused).
void BlendImage(Bitmap24& frame, const Bitmap24& overlay, int x, int y, int alpha, int style);

// The whole effect chain of one file for one frame: adjustments, text watermark and image
// watermark, in the order the record's ProcessText / ProcessImage flags give:
//   neither: adjust, text, image      text only: text, adjust, image
//   image only: image, adjust, text   both: text, image, adjust
// The adjustments are skipped for the neutral values (255, 0, 255 and exposure 0).
// The watermark image is loaded (through the watermark image cache) before the frame is touched:
// when it cannot be loaded a std::runtime_error naming the file is thrown and the frame is left
// exactly as it was. Drawing text needs a QGuiApplication (see GuiApplication.h).
void ApplyFileEffects(Bitmap24& frame, const TlvFilesRecord& record);

} // namespace kavlo
