#include "cli/QtMessages.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <cstdio>

namespace kavlo::cli {

namespace {

std::atomic<bool> gKeepWarnings{false};

void Handler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg || type == QtInfoMsg || (type == QtWarningMsg && !gKeepWarnings))
        return;
    std::fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
}

} // namespace

void QuietQtMessages(bool keepWarnings) {
    gKeepWarnings = keepWarnings;
    qInstallMessageHandler(Handler);
}

} // namespace kavlo::cli
