// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "query/query.h"

#include "app/state.h"
#include "query/encoder.h"
#include "toolkit/window.h"

#include <string_view>

const char serviceHost[] = TALVIMER_SERVICE_HOST;
const char demoSiteHost[] = TALVIMER_DEMO_SITE_HOST;
const char accountKey[] = "e3a90b52d41c8f06b7e25d9a0c364f81";

namespace {

struct KindParts {
    std::string_view kindSegment;
    std::string_view listTail;
    std::string_view statisticsTail;
};

// Indexed by QueryKind.
constexpr KindParts kindParts[] = {
    {"&c=0&t=0", "&p=1&l=2&b=", "&p=1&l=2&b=#"},  // Identical
    {"&t=3&c=0", "&l=2&b=", "&l=2&b=#"},          // Similar
    {"&t=1&c=0", "&l=2&b=", "&l=2&b=#"},          // RegistrationNumber
    {"&t=2&c=0", "&l=2&b=", "&l=2&b=#"},          // Applicant
    {"&t=4&c=0", "&l=2&b=", "&l=2&b=#"},          // Agency
};

constexpr std::string_view listPath = "/quorlis/tmweb/webkh/denavix/modelnew03/sbcxListLB.jsp";
constexpr std::string_view statisticsPath =
    "/quorlis/tmweb/webkh/denavix/modelnew03/sbcxListTJ.jsp";

}  // namespace

Text BuildRequestUrl(QueryKind kind, QueryPage page, const Text& keyword) {
    const KindParts& parts = kindParts[static_cast<int>(kind)];
    const bool list = page == QueryPage::List;
    const std::string_view pieces[] = {
        "http://",    serviceHost,  list ? listPath : statisticsPath,
        "?m=http://", demoSiteHost, "/ruanjianyanshi/chaxunweb/",
        "&z=",        accountKey,   parts.kindSegment,
        "&k=",        keyword,      list ? parts.listTail : parts.statisticsTail,
    };
    std::size_t size = 0;
    for (const auto piece : pieces) size += piece.size();
    Text url;
    url.reserve(size);
    for (const auto piece : pieces) url += piece;
    return url;
}

void RunQuery(QueryKind kind) {
    Text encoded;
    {
        const Text keyword = GetWindowText(FindWindowNamed("编辑框查询"));
        encoded = EncodeKeyword(keyword);
    }
    encodedKeyword.reset();
    encodedKeyword = std::make_unique<Text>(std::move(encoded));
    {
        const Text url = BuildRequestUrl(kind, QueryPage::List, *encodedKeyword);
        NavigateView(FindWindowNamed("超文本浏览框1"), url);
    }
    {
        const Text url = BuildRequestUrl(kind, QueryPage::Statistics, *encodedKeyword);
        NavigateView(FindWindowNamed("统计"), url);
    }
}
