#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// Colours are 32-bit values laid out as 0x00BBGGRR: red in the lowest byte, blue in the third.
// This is the layout of the colour values stored in the settings and of the skin tints, so a
// stored number means the same colour everywhere in the program.
using BgrColor = uint32_t;

constexpr BgrColor MakeBgrColor(uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<BgrColor>(red) | (static_cast<BgrColor>(green) << 8) |
           (static_cast<BgrColor>(blue) << 16);
}
constexpr uint8_t BgrColorRed(BgrColor c) {
    return static_cast<uint8_t>(c & 0xFF);
}
constexpr uint8_t BgrColorGreen(BgrColor c) {
    return static_cast<uint8_t>((c >> 8) & 0xFF);
}
constexpr uint8_t BgrColorBlue(BgrColor c) {
    return static_cast<uint8_t>((c >> 16) & 0xFF);
}

// Font of the text watermark: what the user picked in the watermark dialog. Size is in points;
// whoever draws with it turns points into pixels at 96 pixels per inch, so the text has the same
// pixel height on every frame. Name is UTF-8; a family that is not installed falls back to the
// default sans-serif font when drawn.
struct WatermarkFont {
    std::string Name = "MS Sans Serif";
    int32_t Size = 8;
    BgrColor Color = 0x000000; // black
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;

    bool operator==(const WatermarkFont&) const = default;
};

} // namespace kavlo
