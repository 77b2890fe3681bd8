#pragma once
#include <string>

namespace kavlo {

enum class TMsgButtons { mbOK, mbYesNo };
enum class TMsgIcon { miNone, miInformation, miWarning, miQuestion, miError };
enum class TMsgResult { mrOk, mrYes, mrNo };

// How the profile rules talk to the user. The windows show real message boxes; tests record
// what was asked and answer from a script; a program without windows may print and answer a
// fixed choice.
class IUserMessages {
public:
    virtual ~IUserMessages() = default;
    // A plain message with an OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    virtual TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                                  TMsgIcon icon) = 0;
    virtual void Beep() = 0;
};

// Shows nothing; questions get their first answer (OK or Yes).
class TSilentMessages : public IUserMessages {
public:
    void ShowMessage(const std::string&) override {}
    TMsgResult MessageBox(const std::string&, const std::string&, TMsgButtons buttons, TMsgIcon) override {
        return buttons == TMsgButtons::mbYesNo ? TMsgResult::mrYes : TMsgResult::mrOk;
    }
    void Beep() override {}
};

} // namespace kavlo
