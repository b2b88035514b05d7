// Tests of the pages' templates: what people typed is shown as text, never as markup.
#include "pages/account_page.h"

#include <gtest/gtest.h>

namespace {

// Every text of every page that a person or a request chose carries quotes, an ampersand and a
// tag: each page shows it escaped wherever it shows it, and nowhere as it is.
TEST(AccountPages, WhatPeopleTypedIsEscapedOnEveryPage) {
  const std::string typed = "Eve<b onmouseover=\"x\">&amp;";
  const std::string escaped = "Eve&lt;b onmouseover=&quot;x&quot;&gt;&amp;amp;";
  CAccountPage account;
  account.name = typed;
  account.csrf = typed;
  account.publicUrl = "http://" + typed;
  account.notice = typed;
  account.key = typed;
  account.playerToken = typed;
  account.hasPlayerToken = true;
  const std::pair<const char*, std::string> pages[] = {
      {"account", AccountPageHtml(account)},
      {"sign-in", SignInPageHtml(typed, typed, typed)},
      {"register", RegisterPageHtml(typed, typed, 1252, typed)},
      {"deleted", DeletedPageHtml(typed)},
  };
  for (const auto& [page, html] : pages) {
    EXPECT_EQ(html.find(typed), std::string::npos) << page;
    EXPECT_EQ(html.find("<b "), std::string::npos) << page;
    EXPECT_NE(html.find(escaped), std::string::npos) << page;
  }
}

}  // namespace
