// Cleaning typed address lists and joining them into the envelope list.
#include "message/address_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

struct CleanRow {
  const char* typed;
  const char* cleaned;
};

const CleanRow kCleanRows[] = {
    {"ann (Ann Lee), bob", "ann,bob"},
    {"  ann ,  bob", "ann,bob"},
    {"'Ann Lee' ann", " ann"},   // the blank after a quoted stretch remains
    {"ann (x) bob", "ann bob"},  // the blank after a comment remains
    {"ann (x)(y) bob", "ann(y)bob"},
    {"(x)'y'ann", "ann"},
    {"'y'(x)ann", "(x)ann"},
    {"ann\tbob", "ann\tbob"},
    {"ann  ", "ann"},
    {"ann (x) ", "ann "},
    {"(nobody)", ""},
    {"ann,", "ann,"},
    {"Ann Lee <ann>", "AnnLee<ann>"},
    // Comments do not nest; two quotes in a row are an empty stretch.
    {"(a(b)c)ann", "c)ann"},
    {"''ann", "ann"},
    {"", ""},
    {"   ", ""},
};

// An unclosed comment or quoted stretch takes the rest of the list.
const CleanRow kUnclosedRows[] = {
    {"ann (Ann", "ann"},
    {"ann 'Ann", "ann"},
    {"ann'", "ann"},
    {"(", ""},
    {"'", ""},
    {"ann (x) (y", "ann "},
    // The "(" after a quoted stretch is copied, not searched.
    {"'a'(", "("},
    {"ann)", "ann)"},
};

TEST(CleanAddressList, ExampleTable) {
  for (const CleanRow& row : kCleanRows) {
    EXPECT_EQ(clean_address_list(row.typed), row.cleaned) << "typed: [" << row.typed << "]";
  }
}

TEST(CleanAddressList, UnclosedStretchRunsToTheEnd) {
  for (const CleanRow& row : kUnclosedRows) {
    EXPECT_EQ(clean_address_list(row.typed), row.cleaned) << "typed: [" << row.typed << "]";
  }
}

TEST(CleanAddressList, NeverLengthensAndKeepsOtherCharactersInOrder) {
  const char alphabet[] = " ()'a,\t<>";
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string typed(random() % 24, ' ');
    for (char& c : typed) c = alphabet[random() % (sizeof alphabet - 1)];
    const std::string cleaned = clean_address_list(typed.c_str());
    ASSERT_LE(cleaned.size(), typed.size()) << typed;
    // What is copied comes from the source in order: a subsequence.
    std::size_t at = 0;
    for (char c : cleaned) {
      at = typed.find(c, at);
      ASSERT_NE(at, std::string::npos) << typed;
      ++at;
    }
  }
}

struct EnvelopeRow {
  const char* to;
  const char* cc;
  const char* bcc;
  const char* envelope;
};

const EnvelopeRow kEnvelopeRows[] = {
    {"ann", "", "", "ann"},
    {"ann", "bob (Bob)", "carol", "ann,bob,carol"},
    {"ann", "", "carol", "ann,carol"},
    {"", "bob", "", ",bob"},
    {"ann", "(nobody)", "", "ann,"},
    {"ann", "  ", "carol", "ann,,carol"},
    {"", "", "", ""},
    // Duplicates stay; a tab stays for the RCPT splitting to handle.
    {"ann", "ann", "", "ann,ann"},
    {"ann\tbob", "", "", "ann\tbob"},
};

TEST(BuildRecipientList, ExampleTable) {
  for (const EnvelopeRow& row : kEnvelopeRows) {
    MailerState state;
    state.to_list = row.to;
    state.cc_list = row.cc;
    state.bcc_list = row.bcc;
    state.recipients = "left over";
    build_recipient_list(state);
    EXPECT_EQ(state.recipients, row.envelope)
        << "to [" << row.to << "] cc [" << row.cc << "] bcc [" << row.bcc << "]";
  }
}

TEST(BuildRecipientList, LongListsComeOutWhole) {
  std::string to;
  for (int i = 0; i < 500; ++i) to += "user" + std::to_string(i) + "@example.org (User), ";
  MailerState state;
  state.to_list = to.c_str();
  state.bcc_list = "last";
  build_recipient_list(state);
  EXPECT_EQ(state.recipients.substr(0, 31), "user0@example.org,user1@example");
  EXPECT_EQ(state.recipients.substr(state.recipients.size() - 25), "user499@example.org,,last");
}

}  // namespace
