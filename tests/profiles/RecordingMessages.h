#pragma once
#include <deque>
#include <string>
#include <vector>

#include "profiles/IUserMessages.h"

namespace kavlo::test {

// Records every message the profile rules show and answers questions from a script (Yes when
// the script is empty).
class RecordingMessages : public IUserMessages {
public:
    struct Box {
        std::string Text;
        std::string Caption;
        TMsgButtons Buttons;
        TMsgIcon Icon;
    };

    void ShowMessage(const std::string& text) override { shown.push_back(text); }
    TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                          TMsgIcon icon) override {
        boxes.push_back({text, caption, buttons, icon});
        if (buttons == TMsgButtons::mbOK)
            return TMsgResult::mrOk;
        if (answers.empty())
            return TMsgResult::mrYes;
        TMsgResult r = answers.front();
        answers.pop_front();
        return r;
    }
    void Beep() override { ++beeps; }

    void Clear() {
        shown.clear();
        boxes.clear();
        beeps = 0;
    }
    bool Silent() const { return shown.empty() && boxes.empty() && beeps == 0; }

    std::vector<std::string> shown;
    std::vector<Box> boxes;
    int beeps = 0;
    std::deque<TMsgResult> answers;
};

} // namespace kavlo::test
