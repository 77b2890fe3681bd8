#include "editing/WatermarkText.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "editing/GuiApplication.h"

namespace kavlo {

namespace {

// Whether a family is installed is asked of the font database once per name; the answer is the
// same for every frame of a conversion.
QString ResolveFamily(const std::string& name) {
    static std::mutex mutex;
    static std::unordered_map<std::string, QString> resolved;
    std::lock_guard lock(mutex);
    auto it = resolved.find(name);
    if (it != resolved.end())
        return it->second;
    QString family = QString::fromStdString(name);
    if (family.isEmpty() || !QFontDatabase::hasFamily(family))
        family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    resolved.emplace(name, family);
    return family;
}

QString SingleLine(const std::string& text) {
    QString s = QString::fromStdString(text);
    s.replace(QLatin1String("\r\n"), QLatin1String(" "));
    s.replace(QLatin1Char('\r'), QLatin1Char(' '));
    s.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return s;
}

} // namespace

int WatermarkFontPixelSize(int pointSize) {
    if (pointSize < 1)
        pointSize = WatermarkFont{}.Size;
    // Far beyond anything that fits on a frame; keeps the font engine's fixed-point maths sane.
    constexpr double kMaxPixels = 10000.0;
    const double pixels = std::round(pointSize * static_cast<double>(kWatermarkPixelsPerInch) / 72.0);
    return static_cast<int>(std::min(pixels, kMaxPixels));
}

QColor ToQColor(BgrColor color) {
    return QColor(BgrColorRed(color), BgrColorGreen(color), BgrColorBlue(color));
}

QFont ToQFont(const WatermarkFont& font) {
    QFont f(ResolveFamily(font.Name));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(WatermarkFontPixelSize(font.Size));
    f.setBold(font.Bold);
    f.setItalic(font.Italic);
    f.setUnderline(font.Underline);
    f.setStrikeOut(font.StrikeOut);
    return f;
}

void DrawWatermarkText(Bitmap24& frame, const std::string& text, const WatermarkFont& font, int x, int y) {
    if (text.empty() || frame.Empty())
        return;
    if (!HasGuiApplication())
        throw std::runtime_error("Drawing watermark text needs a QGuiApplication");
    if (x >= frame.Width() || y >= frame.Height())
        return; // starts past the right or bottom edge: nothing of it is visible

    const QFont qfont = ToQFont(font);
    const QFontMetrics metrics(qfont);
    const QString line = SingleLine(text);
    // Far above or left of the frame: nothing visible, and the coordinates handed to the font
    // engine stay small.
    const double em = qfont.pixelSize();
    if (y + 4.0 * em + 16.0 < 0.0)
        return;
    if (x < 0 && x + static_cast<double>(metrics.horizontalAdvance(line)) + 2.0 * em < 0.0)
        return;

    // Paint straight into the frame's rows: no copy in, no copy out.
    QImage image(frame.Bits(), frame.Width(), frame.Height(), frame.Stride(), QImage::Format_BGR888);
    QPainter painter(&image);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setFont(qfont);
    painter.setPen(ToQColor(font.Color));
    painter.drawText(QPointF(x, static_cast<double>(y) + metrics.ascent()), line);
}

} // namespace kavlo
