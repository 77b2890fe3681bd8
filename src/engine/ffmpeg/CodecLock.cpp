#include "engine/ffmpeg/CodecLock.h"

namespace kavlo {

std::mutex& CodecLock() {
    static std::mutex lock;
    return lock;
}

} // namespace kavlo
