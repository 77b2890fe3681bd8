#pragma once
#include <cstdint>
#include <string>

#include "core/WatermarkFont.h"

namespace kavlo {

// Everything the user set for one file of the conversion list: trim, crop, zoom mode, picture
// adjustments and watermarks. One record per list row. The initial values are the ones a row gets
// when its file is added, except the few that depend on the file (BatchIndex, SourceFile,
// DestFile, DurationSec) and the profile (ZoomMode), which the list fills in.
// Texts are UTF-8; times are microseconds; positions are source-frame pixels.
struct TlvFilesRecord {
    int32_t BatchIndex = 0;        // position among the files picked in one Open dialog; not used later
    std::string SourceFile;        // full path of the source, also the row caption
    std::string DestFile;          // proposed output path
    int32_t DurationSec = 0;       // source duration in whole seconds
    int64_t TrimStart = 0;         // microseconds
    int64_t TrimLength = 0;        // microseconds, 0 = to the end
    std::string ZoomMode = "lbox"; // "full", "lbox", "pan" or "center"
    // Crop in source pixels (even values).
    int32_t CropTop = 0;
    int32_t CropLeft = 0;
    int32_t CropBottom = 0;
    int32_t CropRight = 0;
    // The crop dialog's own spin values.
    int32_t CropUpView = 0;
    int32_t CropLeftView = 0;
    int32_t CropDownView = 0;
    int32_t CropRightView = 0;
    std::string WatermarkText; // one line of text drawn on every frame; empty = none
    // Qualified so the member may carry the type's own name.
    ::kavlo::WatermarkFont WatermarkFont;
    int32_t TextX = 0; // top-left corner of the text in frame pixels
    int32_t TextY = 0;
    int32_t TextHorizPercent = 0; // the watermark dialog's slider positions
    int32_t TextVertPercent = 0;
    std::string WatermarkImageFile; // BMP overlay; empty = none
    int32_t ImageX = 0;             // top-left corner of the overlay in frame pixels
    int32_t ImageY = 0;
    int32_t ImageHorizPercent = 0;
    int32_t ImageVertPercent = 0;
    int32_t ImageAlpha = 168;    // overlay opacity 0..255
    int32_t ImageBlendStyle = 1; // 1 = alpha blend, anything else = multiply blend
    int32_t Brightness = 255;    // neutral 255
    int32_t Contrast = 0;        // neutral 0
    int32_t Saturation = 255;    // neutral 255
    int32_t Exposure = 0;        // neutral 0
    bool ProcessText = false;    // the text goes through the adjustments
    bool ProcessImage = false;   // the overlay goes through the adjustments

    bool operator==(const TlvFilesRecord&) const = default;
};

} // namespace kavlo
