#pragma once
#include <functional>
#include <string>
#include <vector>

#include "profiles/IUserMessages.h"

namespace kavlo::cli {

// How the profile rules talk to a script: the builder's frame-size question is answered Yes
// (use 320x240) with a warning, or No (keep the source size) when asked to; every other message
// is kept for the caller to report.
class TCliMessages : public IUserMessages {
public:
    using WarningSink = std::function<void(const std::string&)>;

    TCliMessages(bool answerNoToDefaultSize, WarningSink warn);

    void ShowMessage(const std::string& text) override;
    TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                          TMsgIcon icon) override;
    void Beep() override { ++beeps_; }

    // Messages shown since the last Take (the questions answered are not among them).
    std::vector<std::string> Take();
    int TakeBeeps();

private:
    bool answerNo_;
    WarningSink warn_;
    std::vector<std::string> shown_;
    int beeps_ = 0;
};

} // namespace kavlo::cli
