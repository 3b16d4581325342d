// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "query/query.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string head = std::string("http://") + serviceHost + "/quorlis/tmweb/webkh/denavix/modelnew03/";
const std::string m = std::string("?m=http://") + demoSiteHost +
                      "/ruanjianyanshi/chaxunweb/&z=e3a90b52d41c8f06b7e25d9a0c364f81";

TEST(RequestUrlTest, EveryKindAndPageFromTheTemplates) {
    const std::string keyword = "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B";
    struct Case {
        QueryKind kind;
        const char* kindSegment;
        const char* tail;
    };
    const Case cases[] = {
        {QueryKind::Identical, "&c=0&t=0", "&p=1&l=2&b="},
        {QueryKind::Similar, "&t=3&c=0", "&l=2&b="},
        {QueryKind::RegistrationNumber, "&t=1&c=0", "&l=2&b="},
        {QueryKind::Applicant, "&t=2&c=0", "&l=2&b="},
        {QueryKind::Agency, "&t=4&c=0", "&l=2&b="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kindSegment);
        const std::string list = BuildRequestUrl(c.kind, QueryPage::List, keyword);
        const std::string statistics = BuildRequestUrl(c.kind, QueryPage::Statistics, keyword);
        EXPECT_EQ(list, head + "sbcxListLB.jsp" + m + c.kindSegment + "&k=" + keyword + c.tail);
        EXPECT_EQ(statistics,
                  head + "sbcxListTJ.jsp" + m + c.kindSegment + "&k=" + keyword + c.tail + "#");
        EXPECT_EQ(list.find('#'), std::string::npos);
        EXPECT_TRUE(statistics.ends_with("&b=#"));
    }
}

TEST(RequestUrlTest, WorkedExampleForSimilar) {
    const std::string expected =
        std::string("http://") + serviceHost +
        "/quorlis/tmweb/webkh/denavix/modelnew03/sbcxListLB.jsp?m=http://" + demoSiteHost +
        "/ruanjianyanshi/chaxunweb/&z=e3a90b52d41c8f06b7e25d9a0c364f81&t=3&c=0&k=%E6%B4%AA%E8%8D%"
        "92%E4%B9%8B%E5%8A%9B&l=2&b=";
    EXPECT_EQ(BuildRequestUrl(QueryKind::Similar, QueryPage::List,
                              "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B"),
              expected);
}

TEST(RequestUrlTest, KeywordGoesInAsGivenEvenWhenEmpty) {
    struct Case {
        QueryKind kind;
        const char* keyword;
        const char* ending;
    };
    const Case cases[] = {
        {QueryKind::Similar, "", "&t=3&c=0&k=&l=2&b="},
        {QueryKind::Identical, "", "&c=0&t=0&k=&p=1&l=2&b="},
        {QueryKind::Agency, "%61%62%63", "&t=4&c=0&k=%61%62%63&l=2&b="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ending);
        EXPECT_TRUE(BuildRequestUrl(c.kind, QueryPage::List, c.keyword).ends_with(c.ending));
    }
}

}  // namespace
