// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The five kinds of query and the two request URLs of each.
#pragma once

#include <string>

using Text = std::string;

enum class QueryKind { Identical, Similar, RegistrationNumber, Applicant, Agency };

enum class QueryPage { List, Statistics };

extern const char serviceHost[];
extern const char demoSiteHost[];
extern const char accountKey[];

// The request URL of one page for a kind and an already encoded keyword, joined byte for byte
// with nothing escaped or normalised. (Similar, List, "%61") ->
// "http://<serviceHost>/quorlis/.../sbcxListLB.jsp?m=http://<demoSiteHost>/ruanjianyanshi/
// chaxunweb/&z=<accountKey>&t=3&c=0&k=%61&l=2&b="; the statistics URL names sbcxListTJ.jsp and
// ends in "&b=#".
Text BuildRequestUrl(QueryKind kind, QueryPage page, const Text& keyword);

// What a query button does: encodes the keyword box's text into encodedKeyword and sends the
// result view to the list page and the statistics view to the statistics page of kind.
void RunQuery(QueryKind kind);
