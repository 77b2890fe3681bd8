#pragma once
#include "engine/TCustomFFmpeg.h"
#include "engine/TInputOptions.h"
#include "engine/TOutputOptions.h"

#include <memory>
#include <optional>

namespace kavlo {

class TAVProbe;

// The task the component creates: adds one probe per input and the copies of the options
// records per input and output position.
class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg();
    ~TFFmpeg() override;

    // The probe of an input position, created on first request and given the opened input.
    TAVProbe* Probe(int inputIndex);
    // Lets go of the inputs in the probes before the inputs close.
    void Cleanup() override;

    std::optional<TInputOptions> inputOptions[kMaxFiles];
    std::optional<TOutputOptions> outputOptions[kMaxFiles];

private:
    std::unique_ptr<TAVProbe> probes_[kMaxFiles];
};

} // namespace kavlo
