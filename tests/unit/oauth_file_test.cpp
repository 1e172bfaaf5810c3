// The OAuth file as the user keeps it: which lines are refused (by number,
// never quoting them) and what a rewrite leaves of the rest, byte for byte.
#include "oauth/oauth_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Refusal {
  const char* text;
  int line;
  const char* why;
};

TEST(OauthFile, RefusesByLineNumber) {
  const Refusal rows[] = {
      {"provider = microsoft\nclient_secert = hunter2\n", 2, "not a known key"},
      {"# comment\n\n  client_secret hunter2\n", 3, "not a known key"},
      {"client_id = a\r\nrefresh_token\r\n", 2, "no \"=\" after the key"},
      {"expires_at = soon\n", 1, "expires_at is not a number of seconds"},
  };
  for (const Refusal& row : rows) {
    OauthSettings settings;
    std::string why;
    EXPECT_EQ(parse_oauth_file(row.text, &settings, &why), row.line) << row.text;
    EXPECT_EQ(why, row.why) << row.text;
  }
}

struct Rewrite {
  const char* before;
  const char* after;
};

TEST(OauthFile, RewriteChangesOnlyTheCacheAndTheRefreshToken) {
  const Rewrite rows[] = {
      // Comments, blank lines, spacing and order stay; missing keys go last.
      {"# mine\nprovider=google\n\n  refresh_token =  old  \n",
       "# mine\nprovider=google\n\n  refresh_token =  rt\naccess_token = at\nexpires_at = 99\n"},
      // CR LF lines keep their CR; a last line without LF keeps none.
      {"access_token = x\r\nexpires_at = 1\r\nrefresh_token =",
       "access_token = at\r\nexpires_at = 99\r\nrefresh_token = rt"},
      // A key given twice is set on both lines, so that either reading holds.
      {"refresh_token = a\nrefresh_token = b\n",
       "refresh_token = rt\nrefresh_token = rt\naccess_token = at\nexpires_at = 99\n"},
  };
  for (const Rewrite& row : rows) {
    EXPECT_EQ(
        rewrite_oauth_file(row.before,
                           {{"access_token", "at"}, {"expires_at", "99"}, {"refresh_token", "rt"}})
            .view(),
        row.after)
        << row.before;
  }
}

}  // namespace
