// Logging in, byte for byte: base64, the mechanisms' messages, the EHLO
// capability list, the server name's route and the netrc lookup. The
// exchanges themselves are covered end to end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/login_secret.h"
#include "message/base64.h"
#include "smtp/sasl.h"

namespace {

using std::string_literals::operator""s;

TEST(Login, Base64BothWays) {
  const struct {
    std::string bytes, text;
  } kCases[] = {{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"\xff\x00\xfe"s, "/wD+"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text);
    std::string decoded;
    EXPECT_TRUE(base64_decode(c.text, &decoded)) << c.text;
    EXPECT_EQ(decoded, c.bytes);
  }
  for (const char* bad : {"YQ=", "Y===", "YQ=a", "Y Q=", "=QQQ", "YQ==YQ==", "VXNl\r\n"}) {
    std::string decoded;
    EXPECT_FALSE(base64_decode(bad, &decoded)) << bad;
  }
}

TEST(Login, InitialResponses) {
  EXPECT_EQ(plain_response("ann", "s3cret").view(), "AGFubgBzM2NyZXQ=");
  EXPECT_EQ(xoauth2_response("ann@x.org", "ya29.tok").view(),
            "dXNlcj1hbm5AeC5vcmcBYXV0aD1CZWFyZXIgeWEyOS50b2sBAQ==");
  // "n,a=a=3Db=2Cc,^Ahost=mail.example^Aport=587^Aauth=Bearer tok^A^A"
  EXPECT_EQ(oauthbearer_response("a=b,c", "mail.example", 587, "tok").view(),
            "bixhPWE9M0RiPTJDYywBaG9zdD1tYWlsLmV4YW1wbGUBcG9ydD01ODcBYXV0aD1CZWFyZXIgdG9rAQE=");
}

TEST(Login, MechanismsOfferedAndChosen) {
  using M = SaslMechanism;
  const struct {
    std::vector<std::string> ehlo;
    std::vector<std::string> offered;
    M asked, chosen;
  } kCases[] = {
      {{"250-mx", "250-AUTH LOGIN PLAIN", "250 HELP"}, {"LOGIN", "PLAIN"}, M::kNone, M::kPlain},
      {{"250-mx", "250-auth=login", "250 AUTH XOAUTH2 LOGIN"},
       {"LOGIN", "XOAUTH2"},
       M::kNone,
       M::kLogin},
      {{"250-mx", "250 Auth  xoauth2 OAUTHBEARER"},
       {"XOAUTH2", "OAUTHBEARER"},
       M::kOauthbearer,
       M::kOauthbearer},
      {{"250-mx", "250 AUTH XOAUTH2"}, {"XOAUTH2"}, M::kNone, M::kNone},
      {{"250-mx", "250 AUTH PLAIN"}, {"PLAIN"}, M::kLogin, M::kNone},
      // The first line is the server's name; AUTHX is another keyword; a
      // name holding what no SASL name may is left out.
      {{"250 AUTH PLAIN"}, {}, M::kNone, M::kNone},
      {{"250-mx", "250-AUTHX PLAIN", "250 AUTH PL\x01IN GSSAPI"}, {"GSSAPI"}, M::kNone, M::kNone},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(offered_mechanisms(c.ehlo), c.offered) << c.ehlo.back();
    EXPECT_EQ(choose_mechanism(c.offered, c.asked), c.chosen) << c.ehlo.back();
  }
  EXPECT_EQ(sasl_mechanism_named("OAuthBearer"), M::kOauthbearer);
  EXPECT_EQ(sasl_mechanism_named("cram-md5"), M::kNone);
}

TEST(Login, ServerNamesAndTheirRoute) {
  using T = ServerTransport;
  const struct {
    const char* name;
    bool parsed;
    T transport;
    const char* host;
    int port;
    bool loopback;
  } kCases[] = {
      {"mail.example.org", true, T::kPlain, "mail.example.org", 25, false},
      {"SMTPS://LocalHost", true, T::kSmtps, "LocalHost", 465, true},
      {"starttls://127.200.0.1:587", true, T::kStarttls, "127.200.0.1", 587, true},
      {"[::1]:2525", true, T::kPlain, "::1", 2525, true},
      {"::1", true, T::kPlain, "::1", 25, true},
      {"::ffff:127.0.0.1", true, T::kPlain, "::ffff:127.0.0.1", 25, true},
      {"::FFFF:10.0.0.1", true, T::kPlain, "::FFFF:10.0.0.1", 25, false},
      {"128.0.0.1", true, T::kPlain, "128.0.0.1", 25, false},
      {"127.0.0.256", true, T::kPlain, "127.0.0.256", 25, false},
      {"127.1", true, T::kPlain, "127.1", 25, false},
      {"127.0.0.1.example.org", true, T::kPlain, "127.0.0.1.example.org", 25, false},
      {"localhost.example.org", true, T::kPlain, "localhost.example.org", 25, false},
      {"host:0", false, T::kPlain, "", 25, false},
      {"[::1", false, T::kPlain, "", 25, false},
  };
  for (const auto& c : kCases) {
    ServerEndpoint server;
    EXPECT_EQ(parse_server_name(c.name, &server), c.parsed) << c.name;
    if (c.parsed) {
      EXPECT_EQ(server.transport, c.transport) << c.name;
      EXPECT_EQ(server.host, c.host) << c.name;
      EXPECT_EQ(server.port, c.port) << c.name;
    }
    EXPECT_EQ(is_loopback_host(server.host), c.loopback) << c.name;
  }
}

TEST(Login, RefusalShowsOneLineOfPrintableText) {
  EXPECT_EQ(login_refusal(
                "AUTH PLAIN",
                {"535-5.7.139 Authentication unsuccessful,", "535 5.7.139 basic\tauth\x80"}, ""),
            "Login failed at AUTH PLAIN: 535 5.7.139 Authentication unsuccessful, 5.7.139 "
            "basic?auth?");
  const std::string shown = login_refusal("EHLO", {"554 " + std::string(300, 'x')}, "");
  EXPECT_EQ(shown, "Login failed at EHLO: 554 " + std::string(196, 'x'));
  EXPECT_EQ(login_refusal("EHLO", {"250 mx"}, "the server offers no AUTH"),
            "Login failed at EHLO: the server offers no AUTH");
}

TEST(Login, NetrcEntryForTheHostAndUser) {
  const std::string text =
      "# the relay\n"
      "machine other.example login ann password wrong\n"
      "machine MAIL.example login bob password bobs\n"
      "macdef init\nmachine mail.example login ann password in-a-macro\n\n"
      "machine mail.example\n\tlogin ann account x password \"two words \\\"quoted\\\"\"\n"
      "default login ann password fallback\n"
      "machine late.example login ann password late\n";
  const struct {
    const char* host;
    const char* user;
    bool found;
    const char* password;
  } kCases[] = {
      {"mail.example", "ann", true, "two words \"quoted\""},
      {"Mail.Example", "bob", true, "bobs"},
      {"late.example", "ann", true, "late"},
      {"unknown.example", "ann", true, "fallback"},
      {"unknown.example", "bob", false, ""},
      {"mail.example", "ANN", false, ""},
  };
  for (const auto& c : kCases) {
    Secret password;
    EXPECT_EQ(netrc_password(text, c.host, c.user, &password), c.found) << c.host << c.user;
    EXPECT_EQ(password.view(), c.password) << c.host << " " << c.user;
  }
  Secret password;
  EXPECT_FALSE(netrc_password("machine m login ann password", "m", "ann", &password));
  EXPECT_FALSE(netrc_password("machine m login ann password \"open", "x", "ann", &password));
}

// A secret leaves no readable copy where it was taken from or moved from.
TEST(Login, SecretMovesWithoutCopies) {
  std::string typed = "hunter2";
  Secret held = Secret::adopt(&typed);
  Secret moved = std::move(held);
  EXPECT_TRUE(typed.empty() && held.empty());
  EXPECT_EQ(moved.view(), "hunter2");
}

}  // namespace
