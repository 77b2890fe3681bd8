#pragma once
// Helpers of the engine set-up tests: fixtures made once per test program, fresh tasks, and the
// message of a refusal.
#include "core/TempDir.h"
#include "engine/TFFmpeg.h"
#include "fixtures/Fixtures.h"

#include <functional>
#include <memory>
#include <string>

namespace kavlo::test {

// The fixture file of a kind, generated on first use into a folder that lives as long as the
// test program.
const std::string& FixturePath(fixtures::FixtureKind kind);

// A task with a fresh option state (the libraries are loaded first).
std::unique_ptr<TFFmpeg> NewTask();

// The message of the FFmpegException fn raises; empty when it raises nothing. Other errors fail
// the test.
std::string Refusal(const std::function<void()>& fn);

} // namespace kavlo::test
