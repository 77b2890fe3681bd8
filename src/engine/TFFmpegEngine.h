#pragma once
#include "engine/TCustomFFmpegEngine.h"

namespace kavlo {

// The engine component the application places on its main window.
class TFFmpegEngine : public TCustomFFmpegEngine {
public:
    TFFmpegEngine() = default;
};

} // namespace kavlo
