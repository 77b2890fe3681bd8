#include "editing/GuiApplication.h"

#include <mutex>
#include <stdexcept>

#include <QCoreApplication>
#include <QGuiApplication>

namespace kavlo {

bool HasGuiApplication() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

void EnsureGuiApplication() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (HasGuiApplication())
        return;
    if (QCoreApplication::instance())
        throw std::runtime_error("Watermark text needs a QGuiApplication, but this program created a "
                                 "QCoreApplication");
    // The arguments must outlive the application object. "-platform offscreen" wins over any
    // QT_QPA_PLATFORM of the environment: a program without windows never needs a display.
    static int argc = 3;
    static char arg0[] = "kavlo";
    static char arg1[] = "-platform";
    static char arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    // Kept (and reachable) until the process ends; tearing it down during static destruction
    // would race Qt's own global clean-up.
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

} // namespace kavlo
