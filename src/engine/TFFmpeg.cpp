#include "engine/TFFmpeg.h"

#include "probe/TAVProbe.h"

namespace kavlo {

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() {
    // Stop the worker before the probes (and then the files) go away.
    RequestStop(true);
    for (auto& p : probes_)
        p.reset();
}

TAVProbe* TFFmpeg::Probe(int inputIndex) {
    if (inputIndex < 0 || inputIndex >= kMaxFiles)
        return nullptr;
    std::unique_ptr<TAVProbe>& probe = probes_[inputIndex];
    if (!probe) {
        probe = std::make_unique<TAVProbe>();
        if (inputIndex < InputCount())
            probe->AttachContext(inputFiles[inputIndex].Context);
    }
    return probe.get();
}

void TFFmpeg::Cleanup() {
    for (auto& p : probes_)
        if (p)
            p->CloseFile();
    TCustomFFmpeg::Cleanup();
}

} // namespace kavlo
