#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "core/Bitmap24.h"

namespace kavlo {

// Decoded watermark images, so a conversion does not read and decode the BMP file again for
// every frame. An entry is reused only while the file's modification time and size are those it
// was decoded from; any change of the file is picked up on the next frame, and a file that has
// gone away is an error even when an older copy is cached. Thread-safe: conversion workers and
// preview players may load at the same time.
class WatermarkImageCache {
public:
    explicit WatermarkImageCache(size_t capacity = 4) : capacity_(capacity == 0 ? 1 : capacity) {}

    // The image of `path` as a 24-bit bitmap. Only BMP files are accepted; an alpha channel is
    // dropped (colour bytes kept as they are). Throws std::runtime_error naming the file when it
    // is missing, unreadable or not a BMP image.
    std::shared_ptr<const Bitmap24> Load(const std::string& path);

    // How many times a file was actually read and decoded (for diagnostics and tests).
    uint64_t DecodeCount() const;
    void Clear();

    // The process-wide cache used by ApplyFileEffects.
    static WatermarkImageCache& Instance();

private:
    struct Entry {
        std::string path;
        int64_t mtimeNs = 0;
        int64_t size = 0;
        std::shared_ptr<const Bitmap24> image;
    };

    mutable std::mutex mutex_;
    std::list<Entry> entries_; // most recently used first
    size_t capacity_;
    uint64_t decodeCount_ = 0;
};

// Loads through the process-wide cache.
std::shared_ptr<const Bitmap24> LoadWatermarkImage(const std::string& path);

// Decodes a BMP file into a 24-bit bitmap without any caching. Throws std::runtime_error naming
// the file on failure.
Bitmap24 DecodeWatermarkImage(const std::string& path);

} // namespace kavlo
