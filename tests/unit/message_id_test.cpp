// Message-IDs: the domain chosen, the form checked, and no two alike.
#include "message/message_id.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/platform.h"
#include "smtp/esmtp.h"

namespace {

const unsigned char kRandom[kMessageIdRandomBytes] = {0x01, 0x23, 0x45, 0x67,
                                                      0x89, 0xab, 0xcd, 0xef};

TEST(MessageId, DomainIsTheHostWithADotElseTheSendersDomain) {
  const struct {
    const char* host;
    const char* sender;
    const char* domain;
  } rows[] = {
      {"mail.example.org", "me@other.example", "mail.example.org"},
      {"buildbox", "me@other.example", "other.example"},
      {"buildbox", "me", "buildbox"},
      {"", "", "localhost"},
      {"we ird_.host..", "x@b@c.example", "weird.host"},
  };
  for (const auto& row : rows) {
    const std::string id = make_message_id(1796810185, kRandom, row.host, row.sender);
    EXPECT_EQ(id, std::string("<1796810185.0123456789abcdef@") + row.domain + ">") << row.host;
    EXPECT_TRUE(valid_message_id(id)) << id;
  }
}

TEST(MessageId, OnlyRfc5322FormsAreValid) {
  for (const char* good : {"<a@b>", "<a.b+c@[10.0.0.1]>", "<t-42@desk.example.org>"}) {
    EXPECT_TRUE(valid_message_id(good)) << good;
  }
  for (const char* bad : {"a@b", "<a b@c>", "<a@b", "<@b>", "<a@>", "<a..b@c>", "<.a@b>", "<a@b@c>",
                          "<a@[x[y]>", "<\xc3\xa4@b>"}) {
    EXPECT_FALSE(valid_message_id(bad)) << bad;
  }
}

// A thousand in one second, as a loop of runs from one machine would make
// them: only the random digits tell them apart.
TEST(MessageId, AThousandInTheSameSecondAreAllDifferent) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    unsigned char random[kMessageIdRandomBytes];
    platform_random_bytes(random, sizeof random);
    ids.insert(make_message_id(1796810185, random, "h.example", ""));
  }
  EXPECT_EQ(ids.size(), 1000u);
}

TEST(Esmtp, DsnValuesAndXtext) {
  EXPECT_EQ(dsn_notify("failure,Delay"), "FAILURE,DELAY");
  EXPECT_EQ(dsn_notify("never"), "NEVER");
  for (const char* bad : {"", "never,success", "success,success", "failure,", "sometimes"}) {
    EXPECT_EQ(dsn_notify(bad), "") << bad;
  }
  EXPECT_EQ(xtext("17.a+b=c d\xe9"), "17.a+2Bb+3Dc+20d+E9");
  EXPECT_EQ(envid_of("<17.ab@host.example>"), "17.ab");
  EXPECT_EQ(offered_extensions({"250-mx", "250-dsn", "250-8BITMIME", "250 SMTPUTF8"}),
            kOffersDsn | kOffers8BitMime | kOffersSmtpUtf8);
  // The first line names the server, not an extension.
  EXPECT_EQ(offered_extensions({"250-DSN", "250 HELP"}), 0u);
}

}  // namespace
