// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The yardstick for start-up: the least a Qt WebEngine program can do to show a window that
// loads a page. Takes the page's URL and the window's caption as arguments.
#include <QApplication>
#include <QUrl>
#include <QWebEngineView>

#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QWebEngineView view;
    view.setWindowTitle(QString::fromUtf8(argv[2]));
    view.resize(934, 588);
    view.load(QUrl::fromUserInput(QString::fromUtf8(argv[1])));
    view.show();
    return QApplication::exec();
}
