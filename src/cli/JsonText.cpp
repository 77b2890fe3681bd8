#include "cli/JsonText.h"

#include <cmath>
#include <cstdio>

namespace kavlo::cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not valid.
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return n;
}

std::string Number(double v) {
    if (!std::isfinite(v))
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.3f", v);
    return buf;
}

} // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

std::string FileReportJson(const TFileReport& r) {
    std::string out = "{";
    out += "\"source\":" + JsonString(r.Source);
    out += ",\"output\":" + (r.Output.empty() ? std::string("null") : JsonString(r.Output));
    out += ",\"status\":" + JsonString(r.Status);
    out += ",\"error\":" + (r.Error.empty() ? std::string("null") : JsonString(r.Error));
    out += ",\"duration\":" + Number(r.Duration);
    out += ",\"size\":" + (r.Size < 0 ? std::string("null") : std::to_string(r.Size));
    out += ",\"seconds\":" + Number(r.Seconds);
    return out + "}";
}

} // namespace kavlo::cli
