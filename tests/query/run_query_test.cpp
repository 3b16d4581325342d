// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "common/window_fixture.h"
#include "query/encoder.h"
#include "query/query.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <string>

namespace {

class RunQueryTest : public MainWindowTest {
protected:
    void press(const char* button, const QString& keyword) {
        control<QLineEdit>("编辑框查询")->setText(keyword);
        QTest::mouseClick(control(button), Qt::LeftButton);
    }
    const std::string& listSent() { return control<WebView>("超文本浏览框1")->lastSentUrl(); }
    const std::string& statisticsSent() { return control<WebView>("统计")->lastSentUrl(); }
};

TEST_F(RunQueryTest, EachButtonSendsBothViewsToItsKindsUrls) {
    struct Case {
        const char* button;
        QueryKind kind;
    };
    const Case cases[] = {
        {"相同查询", QueryKind::Identical},
        {"近似查询", QueryKind::Similar},
        {"注册号码", QueryKind::RegistrationNumber},
        {"申请人查询", QueryKind::Applicant},
        {"代理机构查询", QueryKind::Agency},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        const int listSends = control<WebView>("超文本浏览框1")->sendCount();
        const int statisticsSends = control<WebView>("统计")->sendCount();
        press(c.button, QStringLiteral("洪荒之力"));
        const std::string keyword = "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B";
        EXPECT_EQ(listSent(), BuildRequestUrl(c.kind, QueryPage::List, keyword));
        EXPECT_EQ(statisticsSent(), BuildRequestUrl(c.kind, QueryPage::Statistics, keyword));
        EXPECT_EQ(control<WebView>("超文本浏览框1")->sendCount(), listSends + 1);
        EXPECT_EQ(control<WebView>("统计")->sendCount(), statisticsSends + 1);
        ASSERT_NE(encodedKeyword, nullptr);
        EXPECT_EQ(*encodedKeyword, keyword);
    }
}

TEST_F(RunQueryTest, KeywordOfTheMomentAndOnlyTheLastEncodingKept) {
    press("近似查询", QStringLiteral("abc"));
    EXPECT_TRUE(listSent().ends_with("&t=3&c=0&k=%61%62%63&l=2&b="));
    press("相同查询", QStringLiteral("苹果"));
    EXPECT_EQ(listSent(), BuildRequestUrl(QueryKind::Identical, QueryPage::List,
                                          "%E8%8B%B9%E6%9E%9C"));
    EXPECT_EQ(statisticsSent(), BuildRequestUrl(QueryKind::Identical, QueryPage::Statistics,
                                                "%E8%8B%B9%E6%9E%9C"));
    EXPECT_EQ(*encodedKeyword, "%E8%8B%B9%E6%9E%9C");

    const std::string first = listSent();
    const int sends = control<WebView>("统计")->sendCount();
    QTest::mouseClick(control("相同查询"), Qt::LeftButton);
    EXPECT_EQ(listSent(), first);
    EXPECT_EQ(control<WebView>("统计")->sendCount(), sends + 1);

    press("近似查询", QString());
    EXPECT_TRUE(listSent().ends_with("&t=3&c=0&k=&l=2&b="));
    EXPECT_TRUE(statisticsSent().ends_with("&t=3&c=0&k=&l=2&b=#"));
    EXPECT_TRUE(encodedKeyword->empty());
}

TEST_F(RunQueryTest, EveryCharacterTypedReachesTheUrl) {
    // An emoji and a CJK extension B character, which code page 936 proper cannot hold.
    press("近似查询", QString::fromUtf8("a😀𠀀"));
    EXPECT_TRUE(listSent().find("&k=%61%F0%9F%98%80%F0%A0%80%80&l=2") != std::string::npos)
        << listSent();
}

}  // namespace
