// Data URLs read strictly: what decodes, and which fault each refusal names.
// The bytes above ASCII are refused whatever the process's locale: the
// alphabet is the standard one, not whatever the C library calls a letter.
#include <string>

#include <gtest/gtest.h>

#include "intake/data_url.h"

namespace {

TEST(DataUrl, EachFormDecodesOrNamesItsFault) {
  struct Case {
    std::string text;
    DataUrlResult result;
    std::string bytes;
  } cases[] = {
      {"data:image/png;base64,QUJD", kDataUrlDecoded, "ABC"},
      {"DATA:image/png;BASE64,QUI=", kDataUrlDecoded, "AB"},
      {"data:;base64,QQ==", kDataUrlDecoded, "A"},
      {"data:;base64,", kDataUrlDecoded, ""},
      {"data:,A%42%63", kDataUrlDecoded, "ABc"},
      {"data:text/plain,plain", kDataUrlDecoded, "plain"},
      {"dat", kDataUrlNotOne, ""},
      {"image:png;base64,QUJD", kDataUrlNotOne, ""},
      {"data:image/png;base64", kDataUrlNoComma, ""},
      {"data:;base64,QUJ", kDataUrlBadBase64, ""},
      {"data:;base64,QQ=A", kDataUrlBadBase64, ""},
      {"data:;base64,Q===", kDataUrlBadBase64, ""},
      {"data:;base64,QU\r\nJD", kDataUrlBadBase64, ""},
      {"data:;base64,QUJ\xe9", kDataUrlBadBase64, ""},
      {"data:;base64,\xc3\xa9QUJ", kDataUrlBadBase64, ""},
      {"data:;base64,QU-_", kDataUrlBadBase64, ""},
      {"data:,%4", kDataUrlBadPercent, ""},
      {"data:,%zz", kDataUrlBadPercent, ""},
  };
  for (const Case& c : cases) {
    std::string bytes;
    EXPECT_EQ(DecodeDataUrl(c.text, &bytes), c.result) << c.text;
    if (c.result == kDataUrlDecoded) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

}  // namespace
