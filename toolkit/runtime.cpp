// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/runtime.h"

#include "toolkit/fatal.h"
#include "toolkit/widgets.h"

#include <QApplication>
#include <QByteArray>
#include <QLoggingCategory>
#include <QPointer>

#include <unistd.h>

#include <memory>
#include <vector>

namespace {

std::vector<void (*)()>& exitRoutines() {
    static std::vector<void (*)()> routines;
    return routines;
}

std::unique_ptr<QApplication>& application() {
    static std::unique_ptr<QApplication> app;
    return app;
}

int quitCode = 0;

// A normal run prints nothing: Qt's and the browser's informational chatter is dropped,
// real errors still reach stderr.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
    const QByteArray line = message.toLocal8Bit() + '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
    (void)ignored;
}

void PrepareBrowserEnvironment() {
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Our flag goes first so that anything the environment already asks for wins.
    QByteArray flags = "--log-level=3";
    const QByteArray existing = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!existing.isEmpty()) flags += ' ' + existing;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
}

}  // namespace

void InitialiseToolkit() {
    if (application()) return;
    qInstallMessageHandler(QuietMessages);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    PrepareBrowserEnvironment();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    RegisterNavigationScheme();
    // The program takes no arguments; Qt sees only the program's name.
    static int argc = 1;
    static char name[] = "talvimer";
    static char* argv[] = {name, nullptr};
    application() = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("talvimer"));
    // Lets desktops match the window to its installed desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.talvimer"));
    QApplication::setQuitOnLastWindowClosed(true);
    RegisterAccessibleWidgets();
}

void RegisterExitRoutine(void (*routine)()) {
    exitRoutines().push_back(routine);
}

void RunExitRoutines() {
    auto routines = std::move(exitRoutines());
    exitRoutines().clear();
    for (auto routine : routines) routine();
}

int RunEventLoop() {
    quitCode = QApplication::exec();
    // A closed window is deleted later; make sure every window is gone before the exit
    // routines run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (qobject_cast<ToolkitWindow*>(top)) windows.emplace_back(top);
    }
    for (const auto& window : windows) delete window.data();
    return quitCode;
}

void ShutdownToolkit() {
    application().reset();
}

int RunProcess(int (*startProgram)()) {
    InstallFatalHandlers();
    startProgram();
    RunExitRoutines();
    ShutdownToolkit();
    return quitCode;
}
