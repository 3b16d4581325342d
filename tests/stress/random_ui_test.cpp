// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// A long random walk over the real window, as a user with odd habits might take it: typing,
// pasting strange text, pressing buttons, resizing to extremes, minimising and re-activating.
// After every press both views must have been sent exactly the URLs of the keyword box's text
// of that moment, worked out here without the toolkit's own text conversion.
//
// The walk is the same for the same seed; TALVIMER_STRESS_SEED=<number> picks another one and
// every failure names the seed and the step.
#include "common/window_fixture.h"
#include "query/encoder.h"
#include "query/query.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <gtest/gtest.h>

#include <iconv.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// The views go through a proxy on a loopback port nobody listens on, so every page they are
// sent fails at once and nothing leaves the machine. Set before main() brings the toolkit up.
const bool proxyChosen = [] {
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS",
             "--proxy-server=http://127.0.0.1:9 --proxy-bypass-list=<-loopback>", 0);
    return true;
}();

constexpr std::uint64_t kDefaultSeed = 20260611;
constexpr int kSteps = 1000;
// A 100,000-character keyword makes every later key press and press costly, so only a few.
constexpr int kLongPastes = 4;
constexpr qsizetype kLongLength = 100'000;
// A hang detector for the whole walk, far above what it needs; the walk stops there.
constexpr qint64 kWalkBudgetMs = 240'000;

// Code points the toolkit is to read from a widget's text: a lone surrogate stands for U+FFFD
// and the first NUL ends the text, as it would end a terminated string.
std::u32string CodePointsOf(const QString& text) {
    std::u32string points;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = text[i].unicode();
        char32_t point = unit;
        if (QChar::isHighSurrogate(unit) && i + 1 < size && text[i + 1].isLowSurrogate()) {
            point = QChar::surrogateToUcs4(unit, text[++i].unicode());
        } else if (QChar::isSurrogate(unit)) {
            point = 0xFFFD;
        }
        if (point == 0) break;
        points.push_back(point);
    }
    return points;
}

void AppendUtf8(char32_t point, std::string& out) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

std::string PercentEscaped(const std::string& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(3 * bytes.size());
    for (const unsigned char byte : bytes) {
        out += '%';
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

// GB18030 one code point at a time, straight from glibc's table.
class Gb18030 final {
public:
    Gb18030() : m_descriptor(iconv_open("GB18030", "UTF-32LE")) {}
    ~Gb18030() {
        if (valid()) iconv_close(m_descriptor);
    }
    Gb18030(const Gb18030&) = delete;
    Gb18030& operator=(const Gb18030&) = delete;

    bool valid() const { return m_descriptor != reinterpret_cast<iconv_t>(-1); }

    // The bytes of one code point, or nothing where GB18030 has none for it.
    std::optional<std::string> bytesOf(char32_t point) {
        char in[4] = {static_cast<char>(point & 0xFF), static_cast<char>((point >> 8) & 0xFF),
                      static_cast<char>((point >> 16) & 0xFF), static_cast<char>(point >> 24)};
        char out[8];
        char* inPos = in;
        char* outPos = out;
        std::size_t inLeft = sizeof in;
        std::size_t outLeft = sizeof out;
        if (iconv(m_descriptor, &inPos, &inLeft, &outPos, &outLeft) == static_cast<size_t>(-1)) {
            iconv(m_descriptor, nullptr, nullptr, nullptr, nullptr);
            return std::nullopt;
        }
        return std::string(out, outPos);
    }

private:
    iconv_t m_descriptor;
};

// What one press must send for the keyword box's text, worked out two ways: the keyword's
// GB18030 bytes, which go through the program's own encoder, and its UTF-8 form escaped here.
// A character GB18030 cannot hold stands as "?" in both, the toolkit's default character.
struct ExpectedKeyword {
    std::string gb18030;
    std::string escapedUtf8;
};

ExpectedKeyword ExpectedFor(const QString& text, Gb18030& gb18030) {
    ExpectedKeyword expected;
    std::string utf8;
    for (const char32_t point : CodePointsOf(text)) {
        if (auto bytes = gb18030.bytesOf(point)) {
            expected.gb18030 += *bytes;
            AppendUtf8(point, utf8);
        } else {
            expected.gb18030 += '?';
            utf8 += '?';
        }
    }
    expected.escapedUtf8 = PercentEscaped(utf8);
    return expected;
}

// Equality of two long texts, reported as where they part rather than as the whole texts.
::testing::AssertionResult SameText(const char* what, const std::string& actual,
                                    const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const std::size_t from = at < 40 ? 0 : at - 40;
    return ::testing::AssertionFailure()
           << what << " differs at byte " << at << " (lengths " << actual.size() << " and "
           << expected.size() << ")\n  actual:   ..." << actual.substr(from, 120)
           << "\n  expected: ..." << expected.substr(from, 120);
}

QString FromCodePoints(std::initializer_list<char32_t> points) {
    QString text;
    for (const char32_t point : points) {
        if (point >= 0xD800 && point <= 0xDFFF) {
            text += QChar(static_cast<char16_t>(point));  // a lone surrogate on purpose
        } else {
            text += QString::fromUcs4(&point, 1);
        }
    }
    return text;
}

// Pieces of odd text, each named for what it tries.
struct Piece {
    const char* what;
    QString text;
};

std::vector<Piece> OddPieces() {
    return {
        {"control characters",
         FromCodePoints({0x01, 0x07, 0x08, 0x09, 0x0A, 0x0D, 0x1B, 0x1F, 0x7F, 0x85, 0x9F})},
        {"invisible format characters",
         FromCodePoints({0x200B, 0x200D, 0x2060, 0xFEFF, 0x00AD, 0xFFFE, 0xFFFF})},
        {"right-to-left text", QString::fromUtf8("שָׁלוֹם עולם مرحبا بالعالم ١٢٣")},
        {"bidirectional overrides", FromCodePoints({0x202E, 'a', 'b', 0x202C, 0x2067, 0x05D0,
                                                    0x2069, 0x200F, 0x061C, '1', 0x200E})},
        {"lone high surrogate", FromCodePoints({'a', 0xD800, 'b'})},
        {"lone low surrogate", FromCodePoints({0xDC00, 'z'})},
        {"surrogates in reverse order", FromCodePoints({0xDE00, 0xD83D})},
        {"high surrogate at the end", FromCodePoints({'x', 0xD83D})},
        {"emoji", QString::fromUtf8("😀👍🏽🇨🇳❤️")},
        {"emoji joined by ZWJ", QString::fromUtf8("👨‍👩‍👧‍👦🏳️‍🌈")},
        {"CJK extension B and beyond",
         FromCodePoints({0x20000, 0x20001, 0x2A6A5, 0x29E3D, 0x2A700, 0x2B740, 0x2B820, 0x30000})},
        {"NUL inside", FromCodePoints({'a', 'b', 0, 'c', 'd'})},
        {"NUL first", FromCodePoints({0, 0x6D2A})},
        {"the initial keyword", QString::fromUtf8("洪荒之力")},
        {"GBK two-byte characters", QString::fromUtf8("苹果é€〇ＡＢＣ・～")},
        {"other scripts", QString::fromUtf8("かなカナ한국어Ελληνικάкириллица")},
        {"combining marks", QString::fromUtf8("e\u0301a\u0308\u0336\u20DD")},
        {"private use and the 2022 remappings",
         FromCodePoints({0xE000, 0xE5E5, 0xE78D, 0xE7C7, 0xE81E, 0xE864, 0x9FB4, 0xFE10, 0xF8FF})},
        {"highest code points", FromCodePoints({0xFFFD, 0x10000, 0x10FFFD, 0x10FFFF})},
        {"percent escapes and URL syntax", QStringLiteral("%41%zz&k=#?/ +\"<>\\")},
    };
}

struct Button {
    const char* name;
    QueryKind kind;
};
constexpr std::array<Button, 5> kButtons = {{
    {"相同查询", QueryKind::Identical},
    {"近似查询", QueryKind::Similar},
    {"注册号码", QueryKind::RegistrationNumber},
    {"申请人查询", QueryKind::Applicant},
    {"代理机构查询", QueryKind::Agency},
}};

// Whether a click in the middle of the button lands on it, as QPushButton itself decides: at
// the window's smallest sizes the layout leaves a button too small to be hit.
bool TakesClicks(QPushButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect bevel =
        button->style()->subElementRect(QStyle::SE_PushButtonBevel, &option, button);
    return bevel.contains(button->rect().center());
}

std::optional<std::uint64_t> SeedFromEnvironment() {
    const char* text = std::getenv("TALVIMER_STRESS_SEED");
    if (!text || !*text) return kDefaultSeed;
    char* end = nullptr;
    const std::uint64_t seed = std::strtoull(text, &end, 0);
    if (*end != '\0') return std::nullopt;
    return seed;
}

class RandomWalkTest : public MainWindowTest {
protected:
    void TearDown() override {
        MainWindowTest::TearDown();
        EXPECT_EQ(encodedKeyword, nullptr);
        EXPECT_EQ(DesignClientSize, nullptr);
        EXPECT_EQ(childWindowList, nullptr);
        EXPECT_EQ(childLayoutList, nullptr);
    }

    std::size_t below(std::size_t count) { return static_cast<std::size_t>(m_random() % count); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

    QString oddText() {
        QString text;
        const std::size_t pieces = 1 + below(3);
        for (std::size_t i = 0; i < pieces; ++i) text += m_pieces[below(m_pieces.size())].text;
        return text;
    }

    QString longText() {
        QString text;
        text.reserve(kLongLength + 64);
        while (text.size() < kLongLength) {
            text += chance(30) ? m_pieces[below(m_pieces.size())].text
                               : QString::fromUtf8("洪荒之力abc 123 苹果");
        }
        text.truncate(kLongLength);  // may leave a lone high surrogate at the end
        return text;
    }

    QString typedText() {
        std::string text(1 + below(12), ' ');
        for (char& c : text) c = static_cast<char>(0x20 + below(0x7F - 0x20));
        return QString::fromLatin1(text);
    }

    // Clicks one of the five buttons and checks what both views were sent; says what it did.
    std::string pressButton() {
        const Button& button = kButtons[below(kButtons.size())];
        auto* pushButton = control<QPushButton>(button.name);
        const QString text = m_keywordBox->text();
        const int listSends = m_list->sendCount();
        const int statisticsSends = m_statistics->sendCount();
        const std::string listBefore = m_list->lastSentUrl();
        const std::string statisticsBefore = m_statistics->lastSentUrl();
        const bool lands = TakesClicks(pushButton);
        QTest::mouseClick(pushButton, Qt::LeftButton);
        if (!lands) {
            ++m_missedPresses;
            EXPECT_EQ(m_list->sendCount(), listSends) << "a click beside the button sent a query";
            EXPECT_EQ(m_statistics->sendCount(), statisticsSends);
            EXPECT_EQ(m_list->lastSentUrl(), listBefore);
            EXPECT_EQ(m_statistics->lastSentUrl(), statisticsBefore);
            return std::string("click beside the too small ") + button.name;
        }
        ++m_presses;
        const ExpectedKeyword expected = ExpectedFor(text, m_gb18030);
        const Text keyword = EncodeKeyword(expected.gb18030);
        EXPECT_TRUE(SameText("encoded keyword", keyword, expected.escapedUtf8));
        EXPECT_TRUE(SameText("list URL", m_list->lastSentUrl(),
                             BuildRequestUrl(button.kind, QueryPage::List, keyword)));
        EXPECT_TRUE(SameText("statistics URL", m_statistics->lastSentUrl(),
                             BuildRequestUrl(button.kind, QueryPage::Statistics, keyword)));
        EXPECT_EQ(m_list->sendCount(), listSends + 1);
        EXPECT_EQ(m_statistics->sendCount(), statisticsSends + 1);
        EXPECT_TRUE(encodedKeyword && SameText("encodedKeyword", *encodedKeyword, keyword));
        m_lastKeyword = keyword;
        return std::string("press ") + button.name + " with " + std::to_string(text.size()) +
               " UTF-16 units";
    }

    std::string paste() {
        QString text;
        std::string what;
        if (m_longPastes < kLongPastes && chance(5)) {
            ++m_longPastes;
            text = longText();
            what = "100,000 characters";
        } else {
            const Piece& piece = m_pieces[below(m_pieces.size())];
            text = piece.text;
            what = piece.what;
            if (chance(40)) {
                text += oddText();
                what += " and more";
            }
        }
        switch (below(3)) {
            case 0:
                m_keywordBox->setText(text);
                return "setText: " + what;
            case 1:
                m_keywordBox->insert(text);
                return "insert: " + what;
            default:
                QGuiApplication::clipboard()->setText(text);
                QTest::keyClick(m_keywordBox, Qt::Key_V, Qt::ControlModifier);
                return "paste from the clipboard: " + what;
        }
    }

    std::string editKey() {
        struct Key {
            const char* what;
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
        };
        static constexpr Key keys[] = {
            {"Backspace", Qt::Key_Backspace, Qt::NoModifier},
            {"Delete", Qt::Key_Delete, Qt::NoModifier},
            {"Left", Qt::Key_Left, Qt::NoModifier},
            {"Home", Qt::Key_Home, Qt::NoModifier},
            {"End", Qt::Key_End, Qt::NoModifier},
            {"Shift+Home", Qt::Key_Home, Qt::ShiftModifier},
            {"Shift+Left", Qt::Key_Left, Qt::ShiftModifier},
            {"Ctrl+A", Qt::Key_A, Qt::ControlModifier},
            {"Ctrl+Z", Qt::Key_Z, Qt::ControlModifier},
            {"Ctrl+Shift+Z", Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier},
            {"Enter", Qt::Key_Return, Qt::NoModifier},
        };
        const Key& key = keys[below(std::size(keys))];
        QTest::keyClick(m_keywordBox, key.key, key.modifiers);
        return std::string("key ") + key.what;
    }

    std::string resize() {
        // Mostly sizes a user would pick, so that most presses land; now and then an extreme.
        static constexpr QSize tiny[] = {{0, 0}, {1, 1}, {1, 3000}, {4000, 1}, {20, 20}};
        static constexpr QSize large[] = {{4000, 3000}, {934, 588}, {933, 587}, {3000, 4000}};
        QSize size;
        const std::size_t roll = below(10);
        if (roll < 2) {
            size = tiny[below(std::size(tiny))];
        } else if (roll < 4) {
            size = large[below(std::size(large))];
        } else {
            size = QSize(100 + static_cast<int>(below(1901)), 60 + static_cast<int>(below(1441)));
        }
        window->resize(size);
        return "resize to " + std::to_string(size.width()) + "x" + std::to_string(size.height());
    }

    std::string changeState() {
        switch (below(4)) {
            case 0:
                window->showMinimized();
                return "minimise";
            case 1:
                window->showMaximized();
                return "maximise";
            default:
                window->showNormal();
                return "restore";
        }
    }

    std::string reactivate() {
        if (chance(50)) {
            static constexpr const char* focusable[] = {"编辑框查询", "相同查询", "代理机构查询",
                                                        "超文本浏览框1"};
            control(focusable[below(std::size(focusable))])->setFocus(Qt::OtherFocusReason);
        }
        window->raise();
        window->activateWindow();
        return "re-activate";
    }

    std::string step() {
        // A user restores a minimised window before long; otherwise every press would miss.
        if (window->isMinimized() && chance(20)) {
            window->showNormal();
            return "restore from minimised";
        }
        const std::size_t roll = below(100);
        if (roll < 22) {
            const QString text = typedText();
            QTest::keyClicks(m_keywordBox, text);
            return "type \"" + text.toStdString() + "\"";
        }
        if (roll < 40) return paste();
        if (roll < 47) return editKey();
        if (roll < 80) return pressButton();
        if (roll < 90) return resize();
        if (roll < 95) return changeState();
        return reactivate();
    }

    // What must hold after any step.
    void expectWindowIntact() {
        ASSERT_FALSE(window.isNull()) << "the window went away";
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top != window && top->isVisible()) {
                ADD_FAILURE() << "a window of its own appeared: " << top->metaObject()->className();
            }
        }
        // The status bar docks itself to the bottom edge at full width after any change.
        QWidget* bar = control("状态条1");
        const QRect docked(0, window->height() - bar->height(), window->width(), bar->height());
        EXPECT_EQ(bar->geometry(), docked);
    }

    std::mt19937_64 m_random;
    std::vector<Piece> m_pieces = OddPieces();
    Gb18030 m_gb18030;
    QLineEdit* m_keywordBox = nullptr;
    WebView* m_list = nullptr;
    WebView* m_statistics = nullptr;
    std::optional<Text> m_lastKeyword;
    int m_presses = 0;
    int m_missedPresses = 0;
    int m_longPastes = 0;
};

TEST_F(RandomWalkTest, EveryPressSendsTheUrlsOfTheTextOfThatMoment) {
    const auto seed = SeedFromEnvironment();
    ASSERT_TRUE(seed) << "TALVIMER_STRESS_SEED is not a number";
    SCOPED_TRACE(::testing::Message() << "seed " << *seed << " (TALVIMER_STRESS_SEED=" << *seed
                                      << " repeats this walk)");
    ASSERT_TRUE(m_gb18030.valid()) << "iconv has no GB18030";
    m_random.seed(*seed);
    m_keywordBox = control<QLineEdit>("编辑框查询");
    m_list = control<WebView>("超文本浏览框1");
    m_statistics = control<WebView>("统计");
    ASSERT_TRUE(m_keywordBox && m_list && m_statistics);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    QElapsedTimer clock;
    clock.start();
    int steps = 0;
    for (; steps < kSteps && clock.elapsed() < kWalkBudgetMs; ++steps) {
        std::string what;
        {
            // The description is known only once the step has run, so a failure inside it is
            // traced with the step's number and the line of the check.
            SCOPED_TRACE(::testing::Message() << "step " << steps);
            what = step();
            QCoreApplication::processEvents();
        }
        SCOPED_TRACE(::testing::Message() << "step " << steps << ": " << what);
        expectWindowIntact();
        if (HasFailure()) {
            ADD_FAILURE() << "stopped at step " << steps << ": " << what;
            break;
        }
    }
    std::printf(
        "random walk, seed %llu: %d steps in %lld ms, %d presses, %d clicks beside a "
        "button too small to hit, %d pastes of 100,000 characters\n",
        static_cast<unsigned long long>(*seed), steps, clock.elapsed(), m_presses, m_missedPresses,
        m_longPastes);
    if (steps < kSteps && !HasFailure()) {
        std::printf("random walk: stopped by its %lld ms budget\n", kWalkBudgetMs);
    }

    // Closing destroys the window and its controls but releases nothing: that is left to the
    // exit routine, here the fixture's TearDown.
    window->close();
    EXPECT_TRUE(waitUntil([&] { return window.isNull(); }));
    EXPECT_EQ(FindWindowNamed("MainWindow"), 0u);
    EXPECT_EQ(FindWindowNamed("超文本浏览框1"), 0u);
    ASSERT_NE(DesignClientSize, nullptr);
    ASSERT_NE(childWindowList, nullptr);
    ASSERT_NE(childLayoutList, nullptr);
    if (m_lastKeyword) {
        ASSERT_NE(encodedKeyword, nullptr);
        EXPECT_TRUE(SameText("encodedKeyword at close", *encodedKeyword, *m_lastKeyword));
    }
}

}  // namespace
