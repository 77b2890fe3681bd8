#include "cli/CliMessages.h"

#include "profiles/JobOptionBuilder.h"

namespace kavlo::cli {

TCliMessages::TCliMessages(bool answerNoToDefaultSize, WarningSink warn)
    : answerNo_(answerNoToDefaultSize), warn_(std::move(warn)) {}

void TCliMessages::ShowMessage(const std::string& text) {
    shown_.push_back(text);
}

TMsgResult TCliMessages::MessageBox(const std::string& text, const std::string&, TMsgButtons buttons,
                                    TMsgIcon) {
    if (text == kMsgVideoSizeQuestion) {
        if (warn_)
            warn_(text + (answerNo_ ? " No: the source size is kept" : " Yes: 320x240"));
        return answerNo_ ? TMsgResult::mrNo : TMsgResult::mrYes;
    }
    shown_.push_back(text);
    return buttons == TMsgButtons::mbYesNo ? TMsgResult::mrYes : TMsgResult::mrOk;
}

std::vector<std::string> TCliMessages::Take() {
    std::vector<std::string> out;
    out.swap(shown_);
    return out;
}

int TCliMessages::TakeBeeps() {
    const int n = beeps_;
    beeps_ = 0;
    return n;
}

} // namespace kavlo::cli
