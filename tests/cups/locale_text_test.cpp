// The native programs' messages in the locale's encoding: GBK texts become
// readable, text that already is UTF-8 passes as it is.
#include <gtest/gtest.h>

#include <clocale>

#include "common/locale_text.h"

namespace {

struct Case {
  const char* what;
  std::string in;
  std::string out;
};

void ExpectAll(const char* locale) {
  ASSERT_NE(std::setlocale(LC_CTYPE, locale), nullptr) << locale;
  const Case cases[] = {
      {"ascii", "start print\n", "start print\n"},
      {"a UTF-8 queue name", "\xc3\x89tiquette-\xe6\xa0\x87\xe7\xad\xbe\n", "\xc3\x89tiquette-\xe6\xa0\x87\xe7\xad\xbe\n"},
      // 没有选择打印机。
      {"GBK message", "\xc3\xbb\xd3\xd0\xd1\xa1\xd4\xf1\xb4\xf2\xd3\xa1\xbb\xfa\xa1\xa3\n",
       "\xe6\xb2\xa1\xe6\x9c\x89\xe9\x80\x89\xe6\x8b\xa9\xe6\x89\x93\xe5\x8d\xb0\xe6\x9c\xba\xe3\x80\x82\n"},
      // 作业编号：12
      {"GBK with digits", "\xd7\xf7\xd2\xb5\xb1\xe0\xba\xc5\xa3\xba" "12\n",
       "\xe4\xbd\x9c\xe4\xb8\x9a\xe7\xbc\x96\xe5\x8f\xb7\xef\xbc\x9a" "12\n"},
      {"neither UTF-8 nor GBK", std::string("\xff\xfe\x80", 3), std::string("\xff\xfe\x80", 3)},
      {"empty", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GbkToLocale(c.in), c.out) << locale << ": " << c.what;
}

TEST(LocaleText, UnderAUtf8Locale) { ExpectAll("C.UTF-8"); }

// The journal of a service without LANG: Chinese has no ASCII form, UTF-8 it is.
TEST(LocaleText, UnderTheCLocale) { ExpectAll("C"); }

}  // namespace
