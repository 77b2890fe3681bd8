#include "SetupTestUtil.h"

#include "engine/ffmpeg/TFFmpegLoader.h"

#include <gtest/gtest.h>

#include <map>

namespace kavlo::test {

namespace {

TempDir& FixtureDir() {
    static TempDir dir;
    return dir;
}

} // namespace

const std::string& FixturePath(fixtures::FixtureKind kind) {
    static std::map<fixtures::FixtureKind, std::string> made;
    auto it = made.find(kind);
    if (it == made.end())
        it = made.emplace(kind, fixtures::MakeFixture(kind, FixtureDir().Root())).first;
    return it->second;
}

std::unique_ptr<TFFmpeg> NewTask() {
    FFmpegLoader().Load(kConverterLibraries);
    auto task = std::make_unique<TFFmpeg>();
    task->Init();
    return task;
}

std::string Refusal(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const FFmpegException& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not an engine error: " << e.what();
        return e.what();
    }
    return std::string();
}

} // namespace kavlo::test
