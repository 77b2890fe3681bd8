#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct AVDictionary;

namespace kavlo {

// Pieces of the probe's description text.

// ", 25 fps", ", 29.97 fps", ", 90k tbn": two decimals when the rate has hundredths, whole
// numbers otherwise, thousands with a "k" when the rate is a whole multiple of 1000.
std::string FormatRate(double value, const std::string& unit);

// The name a metadata key is shown under: ID3 frame names become words ("TIT2" -> "title"),
// any other key is shown as it is.
std::string MetadataDisplayKey(const std::string& key);

// The metadata block of a dictionary: prefix + "Metadata:" and one line per entry except
// "language"; nothing when the dictionary is empty or holds only "language".
std::vector<std::string> MetadataBlock(const AVDictionary* metadata, const std::string& prefix);

// "%d.%.6d" of a time in microseconds (whole seconds, microseconds).
std::string FormatSecondsMicro(int64_t us);

} // namespace kavlo
