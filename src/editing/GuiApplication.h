#pragma once

namespace kavlo {

// Drawing watermark text uses Qt's fonts, which need a QGuiApplication. Programs with windows
// already have one (QApplication). A program without windows (the batch converter, a benchmark)
// calls EnsureGuiApplication() once on its main thread before any conversion starts: it creates
// a QGuiApplication on the "offscreen" platform, which needs no display, and keeps it until the
// process ends. Does nothing when a QGuiApplication already exists; throws std::runtime_error
// when the process has a plain QCoreApplication instead, because a second application object
// cannot be created.
void EnsureGuiApplication();

// True when a QGuiApplication (or QApplication) exists.
bool HasGuiApplication();

} // namespace kavlo
