// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The toolkit's own widget classes. Internal to the toolkit and its tests.
#pragma once

#include "toolkit/window.h"

#include <QPointer>
#include <QResizeEvent>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWidget>

#include <string>
#include <vector>

// A status bar with fixed-width parts that it paints itself. It keeps its own height and
// docks to the bottom edge of its parent at full width whenever either is moved or sized.
class StatusBar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusBar)

public:
    explicit StatusBar(QWidget* parent, std::span<const StatusPartDescription> parts, int height);

    void setPartText(int index, const QString& text);
    QString partText(int index) const;
    int partCount() const { return static_cast<int>(m_parts.size()); }
    QRect partRect(int index) const;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Part {
        int width = 0;
        QString text;
    };
    void dock();

    std::vector<Part> m_parts;
    int m_height = 0;
    bool m_docking = false;
};

// A page that never opens a dialog of its own: script dialogs are suppressed, certificate
// errors refused, permission requests denied, console messages dropped.
class SilentPage final : public QWebEnginePage {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SilentPage)

public:
    explicit SilentPage(QObject* parent);

protected:
    void javaScriptAlert(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptConfirm(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& message,
                          const QString& defaultValue, QString* result) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                  int lineNumber, const QString& sourceId) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& oldFiles,
                            const QStringList& acceptedMimeTypes) override;
};

// A web-browser view: a child window that embeds a browser filling its client area. The
// browser is made when the view is first sent somewhere, so a view that has shown nothing yet
// costs no browser page or renderer at start-up.
class WebView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebView)

public:
    explicit WebView(QWidget* parent, int textSizeLevel);

    // Sends the main frame to url with every byte kept as given.
    void navigate(const std::string& url);

    // The embedded browser, made on first use with the view's text size.
    QWebEngineView* browser();
    bool hasBrowser() const { return m_browser != nullptr; }

    const std::string& lastSentUrl() const { return m_lastSentUrl; }
    int sendCount() const { return m_sendCount; }

    // Zoom factors for text-size levels 0 to 4; level 2 is 100 %.
    static double zoomForLevel(int level);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_textSizeLevel = 2;
    QWebEngineView* m_browser = nullptr;
    std::string m_lastSentUrl;
    int m_sendCount = 0;
};

// The top-level window. It raises the description's window events.
class ToolkitWindow final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolkitWindow)

public:
    explicit ToolkitWindow(const WindowDescription& description);

    void raiseEvent(WindowEvent event);
    // From here on size changes are raised whenever the client size really changes.
    void startReportingSizeChanges();
    QSize clientSize() const { return isMinimized() ? QSize(0, 0) : size(); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void reportSizeIfChanged();

    std::vector<EventBinding> m_bindings;
    bool m_reporting = false;
    QSize m_reportedSize;
    QPoint m_reportedPosition;
};

// Lets screen readers read what the toolkit's own widgets paint.
void RegisterAccessibleWidgets();

// Registers the scheme that staged navigations use; must run before the application object.
void RegisterNavigationScheme();
