#include "editing/WatermarkImageCache.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <sys/stat.h>

#include <QByteArray>
#include <QImage>

namespace kavlo {

namespace {

std::runtime_error LoadError(const std::string& path, const std::string& reason) {
    return std::runtime_error("Cannot load the watermark image \"" + path + "\": " + reason);
}

std::string ErrnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

} // namespace

Bitmap24 DecodeWatermarkImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LoadError(path, ErrnoText(errno));
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw LoadError(path, "read error");

    QImage image;
    if (!image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()),
                            "BMP") ||
        image.isNull())
        throw LoadError(path, "not a BMP image, or a damaged one");
    // Going to 24 bits drops an alpha channel and keeps the colour bytes as they are; Qt would
    // otherwise premultiply them.
    if (image.format() == QImage::Format_ARGB32)
        image.reinterpretAsFormat(QImage::Format_RGB32);
    image = image.convertToFormat(QImage::Format_BGR888);
    if (image.isNull())
        throw LoadError(path, "out of memory");

    Bitmap24 bitmap(image.width(), image.height());
    const size_t rowBytes = static_cast<size_t>(image.width()) * 3;
    for (int y = 0; y < image.height(); ++y)
        std::copy_n(image.constScanLine(y), rowBytes, bitmap.ScanLine(y));
    return bitmap;
}

std::shared_ptr<const Bitmap24> WatermarkImageCache::Load(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw LoadError(path, ErrnoText(errno));
    if (S_ISDIR(st.st_mode))
        throw LoadError(path, "it is a folder");
    const int64_t mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const int64_t size = static_cast<int64_t>(st.st_size);

    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->path == path && it->mtimeNs == mtimeNs && it->size == size) {
                entries_.splice(entries_.begin(), entries_, it);
                return entries_.front().image;
            }
        }
    }

    // Decoded outside the lock so other workers are not held up by one slow file.
    auto image = std::make_shared<const Bitmap24>(DecodeWatermarkImage(path));

    std::lock_guard lock(mutex_);
    ++decodeCount_;
    entries_.remove_if([&](const Entry& e) { return e.path == path; });
    entries_.push_front(Entry{path, mtimeNs, size, image});
    while (entries_.size() > capacity_)
        entries_.pop_back();
    return image;
}

uint64_t WatermarkImageCache::DecodeCount() const {
    std::lock_guard lock(mutex_);
    return decodeCount_;
}

void WatermarkImageCache::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

WatermarkImageCache& WatermarkImageCache::Instance() {
    static WatermarkImageCache cache;
    return cache;
}

std::shared_ptr<const Bitmap24> LoadWatermarkImage(const std::string& path) {
    return WatermarkImageCache::Instance().Load(path);
}

} // namespace kavlo
