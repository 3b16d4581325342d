// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/widgets.h"

#include <qdrawutil.h>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QBuffer>
#include <QEvent>
#include <QPainter>
#include <QWebEngineCertificateError>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

#include <array>
#include <map>

namespace {

constexpr char navigationScheme[] = "talvimer-navigate";

// QUrl decodes escapes of unreserved characters (%61 becomes a), so a URL that would not
// survive it is handed over inside a tiny page of our own scheme whose script navigates with
// the exact text; script navigations keep escapes as written. The page is a new document from
// a new origin, so it is served whatever state the view's current page is in.
class NavigationSchemeHandler final : public QWebEngineUrlSchemeHandler {
    Q_DISABLE_COPY_MOVE(NavigationSchemeHandler)

public:
    explicit NavigationSchemeHandler(QObject* parent) : QWebEngineUrlSchemeHandler(parent) {}

    static NavigationSchemeHandler* instance() {
        static QPointer<NavigationSchemeHandler> handler;
        if (!handler) {
            auto* profile = QWebEngineProfile::defaultProfile();
            handler = new NavigationSchemeHandler(profile);
            profile->installUrlSchemeHandler(navigationScheme, handler);
        }
        return handler;
    }

    // Returns the URL that makes the view go on to target. Each view has at most one staged
    // navigation; a newer one replaces it, so nothing accumulates.
    QUrl stage(const WebView* view, const std::string& target) {
        const quint64 id = ++m_lastId;
        std::erase_if(m_pending, [view](const auto& entry) { return entry.second.view == view; });
        m_pending[id] = {view, target};
        QUrl url;
        url.setScheme(QString::fromLatin1(navigationScheme));
        url.setPath(QString::number(id));
        return url;
    }

    void requestStarted(QWebEngineUrlRequestJob* job) override {
        const auto found = m_pending.find(job->requestUrl().path().toULongLong());
        if (found == m_pending.end()) {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        QByteArray page = "<!DOCTYPE html><meta charset=\"utf-8\"><script>location.replace(\"";
        page += ScriptString(found->second.target);
        page += "\");</script>";
        m_pending.erase(found);
        auto* body = new QBuffer(job);
        body->setData(page);
        job->reply("text/html", body);
    }

private:
    struct Pending {
        const WebView* view = nullptr;
        std::string target;
    };

    // The URL as the body of a script string literal; bytes that are not plain printable
    // ASCII are percent-escaped, which is how they would reach the wire anyway.
    static QByteArray ScriptString(const std::string& url) {
        static constexpr char hex[] = "0123456789ABCDEF";
        QByteArray out;
        out.reserve(static_cast<qsizetype>(url.size()));
        for (const unsigned char byte : url) {
            if (byte < 0x20 || byte >= 0x7F) {
                out += '%';
                out += hex[byte >> 4];
                out += hex[byte & 15];
            } else if (byte == '"' || byte == '\\' || byte == '<' || byte == '>') {
                out += "\\x";
                out += hex[byte >> 4];
                out += hex[byte & 15];
            } else {
                out += static_cast<char>(byte);
            }
        }
        return out;
    }

    quint64 m_lastId = 0;
    std::map<quint64, Pending> m_pending;
};

// The status bar paints its parts itself, so a screen reader learns their texts from here.
class StatusBarAccessible final : public QAccessibleWidget {
public:
    explicit StatusBarAccessible(StatusBar* bar) : QAccessibleWidget(bar, QAccessible::StatusBar) {}

    QString text(QAccessible::Text kind) const override {
        if (kind != QAccessible::Value) return QAccessibleWidget::text(kind);
        const auto* bar = static_cast<const StatusBar*>(widget());
        QStringList parts;
        for (int i = 0; i < bar->partCount(); ++i) parts << bar->partText(i);
        return parts.join(QStringLiteral(" | "));
    }
};

QAccessibleInterface* AccessibleFor(const QString& className, QObject* object) {
    if (className == QLatin1String("StatusBar")) {
        if (auto* bar = qobject_cast<StatusBar*>(object)) return new StatusBarAccessible(bar);
    }
    return nullptr;
}

}  // namespace

void RegisterAccessibleWidgets() {
    QAccessible::installFactory(AccessibleFor);
}

void RegisterNavigationScheme() {
    QWebEngineUrlScheme scheme(navigationScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    // Not a local scheme: local content may not navigate to remote pages.
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(scheme);
}

StatusBar::StatusBar(QWidget* parent, std::span<const StatusPartDescription> parts, int height)
    : QWidget(parent), m_height(height) {
    for (const auto& part : parts) m_parts.push_back({part.width, QString::fromUtf8(part.text)});
    setFocusPolicy(Qt::NoFocus);
    parent->installEventFilter(this);
}

void StatusBar::setPartText(int index, const QString& text) {
    if (index < 0 || index >= partCount()) return;
    m_parts[index].text = text;
    update(partRect(index));
    QAccessibleValueChangeEvent changed(this, text);
    QAccessible::updateAccessibility(&changed);
}

QString StatusBar::partText(int index) const {
    if (index < 0 || index >= partCount()) return {};
    return m_parts[index].text;
}

QRect StatusBar::partRect(int index) const {
    int left = 0;
    for (int i = 0; i < index; ++i) left += m_parts[i].width;
    return {left, 0, m_parts[index].width, height()};
}

bool StatusBar::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize) dock();
    return handled;
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize) dock();
    return QWidget::eventFilter(watched, event);
}

void StatusBar::dock() {
    QWidget* parent = parentWidget();
    if (!parent || m_docking) return;
    const QRect docked(0, parent->height() - m_height, parent->width(), m_height);
    if (geometry() == docked) return;
    m_docking = true;
    setGeometry(docked);
    m_docking = false;
}

void StatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (int i = 0; i < partCount(); ++i) {
        // Each part keeps the classic sunken border whatever the style draws for status bars.
        const QRect part = partRect(i).adjusted(0, 2, -2, 0);
        qDrawShadePanel(&painter, part, palette(), true, 1);
        const QRect inside = part.adjusted(3, 1, -3, -1);
        const QString shown =
            painter.fontMetrics().elidedText(m_parts[i].text, Qt::ElideRight, inside.width());
        painter.drawText(inside, Qt::AlignLeft | Qt::AlignVCenter, shown);
    }
}

SilentPage::SilentPage(QObject* parent) : QWebEnginePage(parent) {
    connect(this, &QWebEnginePage::certificateError, this,
            [](QWebEngineCertificateError error) { error.rejectCertificate(); });
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, Feature feature) {
                setFeaturePermission(origin, feature, PermissionDeniedByUser);
            });
}

void SilentPage::javaScriptAlert(const QUrl&, const QString&) {}
bool SilentPage::javaScriptConfirm(const QUrl&, const QString&) {
    return false;
}
bool SilentPage::javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) {
    return false;
}
void SilentPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                          const QString&) {}
QStringList SilentPage::chooseFiles(FileSelectionMode, const QStringList&, const QStringList&) {
    return {};
}

WebView::WebView(QWidget* parent, int textSizeLevel)
    : QWidget(parent), m_textSizeLevel(textSizeLevel) {}

QWebEngineView* WebView::browser() {
    if (m_browser) return m_browser;
    m_browser = new QWebEngineView(this);
    auto* page = new SilentPage(m_browser);
    m_browser->setPage(page);
    page->setZoomFactor(zoomForLevel(m_textSizeLevel));
    m_browser->setGeometry(rect());
    m_browser->setFocusPolicy(focusPolicy());
    setFocusProxy(m_browser);
    m_browser->show();
    return m_browser;
}

void WebView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_browser) m_browser->setGeometry(rect());
}

double WebView::zoomForLevel(int level) {
    static constexpr std::array<double, 5> factors = {0.75, 0.9, 1.0, 1.2, 1.5};
    return factors[static_cast<std::size_t>(std::clamp(level, 0, 4))];
}

void WebView::navigate(const std::string& url) {
    QWebEngineView* view = browser();
    m_lastSentUrl = url;
    ++m_sendCount;
    const QByteArray bytes = QByteArray::fromStdString(url);
    const QUrl direct = QUrl::fromEncoded(bytes, QUrl::StrictMode);
    if (direct.isValid() && direct.toEncoded() == bytes) {
        view->load(direct);
    } else {
        view->load(NavigationSchemeHandler::instance()->stage(this, url));
    }
}

ToolkitWindow::ToolkitWindow(const WindowDescription& description)
    : m_bindings(description.bindings.begin(), description.bindings.end()) {}

void ToolkitWindow::raiseEvent(WindowEvent event) {
    const QByteArray name = objectName().toUtf8();
    for (const auto& binding : m_bindings) {
        if (binding.event == event && binding.handler && name == binding.source) binding.handler();
    }
}

void ToolkitWindow::startReportingSizeChanges() {
    m_reporting = true;
    m_reportedSize = clientSize();
    m_reportedPosition = pos();
}

void ToolkitWindow::reportSizeIfChanged() {
    if (!m_reporting || clientSize() == m_reportedSize) return;
    m_reportedSize = clientSize();
    raiseEvent(WindowEvent::SizeChanged);
}

void ToolkitWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    reportSizeIfChanged();
}

void ToolkitWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!m_reporting || pos() == m_reportedPosition) return;
    m_reportedPosition = pos();
    raiseEvent(WindowEvent::PositionChanged);
}

void ToolkitWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) reportSizeIfChanged();
}
