#pragma once

namespace kavlo::cli {

// Qt's own diagnostics (a missing runtime folder, font fallbacks) are noise in a script's
// output: below critical they are dropped unless `keepWarnings` (the user asked for log lines).
void QuietQtMessages(bool keepWarnings);

} // namespace kavlo::cli
