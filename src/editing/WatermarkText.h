#pragma once
#include <string>

#include <QColor>
#include <QFont>

#include "core/Bitmap24.h"
#include "core/WatermarkFont.h"

namespace kavlo {

// Pixels per inch used to turn a watermark font's point size into pixels, so the text has the
// same pixel size on every frame whatever the screen.
constexpr int kWatermarkPixelsPerInch = 96;

// Pixel height of a font size in points at 96 pixels per inch, rounded; sizes below 1 point
// count as the default 8 points.
int WatermarkFontPixelSize(int pointSize);

QColor ToQColor(BgrColor color);
// The Qt font for a watermark font: family (the application's default sans-serif family when the
// named one is not installed), pixel size at 96 pixels per inch, bold, italic, underline,
// strikeout. Needs a QGuiApplication.
QFont ToQFont(const WatermarkFont& font);

// Writes `text` (UTF-8) as one line with the top-left corner of its text cell at (x, y), in the
// font's colour, on a transparent background; whatever falls outside the frame is clipped.
// Line breaks in the text are drawn as spaces. Draws straight into the frame's memory.
// Throws std::runtime_error when there is no QGuiApplication (fonts need one); may run on any
// thread once it exists.
void DrawWatermarkText(Bitmap24& frame, const std::string& text, const WatermarkFont& font, int x, int y);

} // namespace kavlo
