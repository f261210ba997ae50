// The base64 decoder: its documented examples, the choices for characters
// above "z" and short final groups, reads that stay inside the text, and a
// differential check against a plain transcription of the rules.
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "intake/base64.h"
#include "tests/intake/base64_reference.h"

namespace {

std::string Decode(const std::string& text) { return DecodeBase64(text.data(), text.size()); }

// Copies text so that it ends exactly where an unreadable page begins: any
// read past the text faults.
struct GuardedText {
  explicit GuardedText(const std::string& text) {
    pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    dataPages = (text.size() + pageSize - 1) / pageSize + 1;
    mapped = static_cast<char*>(mmap(nullptr, (dataPages + 1) * pageSize,
                                     PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(mapped + dataPages * pageSize, pageSize, PROT_NONE);
    data = mapped + dataPages * pageSize - text.size();
    text.copy(data, text.size());
  }
  ~GuardedText() { munmap(mapped, (dataPages + 1) * pageSize); }
  size_t pageSize;
  size_t dataPages;
  char* mapped;
  char* data;
};

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

TEST(DecodeBase64, DocumentedExamples) {
  EXPECT_EQ(Decode("QUJD"), "ABC");
  EXPECT_EQ(Decode("QUI="), "AB");
  EXPECT_EQ(Decode("QQ=="), "A");
  EXPECT_EQ(Decode("QUJD\r\nQUJD"), "ABCABC");
  EXPECT_EQ(Decode("===="), Bytes({0x00}));
  // A padded group that is not the last one: the next group starts at its
  // padding, and the count reaches the end before the last two characters.
  EXPECT_EQ(Decode("QQ==QUJD"), Bytes({0x41, 0x00, 0x04, 0x14}));
  // A final group of three reads a value-0 fourth character.
  EXPECT_EQ(Decode("QUJ"), Bytes({0x41, 0x42, 0x40}));
  EXPECT_EQ(Decode(""), "");
}

TEST(DecodeBase64, LineBreaksCountOnlyWhereAGroupBegins) {
  EXPECT_EQ(Decode("\r\n\nQUJD\n"), "ABC");
  // Inside a group they are characters of value 0 and shift what follows.
  EXPECT_EQ(Decode("QU\r\nQUJD"), ReferenceDecode("QU\r\nQUJD"));
  EXPECT_EQ(Decode("QU\r\nQUJD"), Decode("QUAAQUJD"));
}

TEST(DecodeBase64, OnlyThirdAndFourthPlacePaddingEndsAGroup) {
  EXPECT_EQ(Decode("=QUJ"), Decode("AQUJ"));
  EXPECT_EQ(Decode("Q=JD"), Decode("QAJD"));
  EXPECT_EQ(Decode("QU=D"), Bytes({0x41}));
}

TEST(DecodeBase64, EveryCharacterOutsideTheAlphabetIsZeroUpToByte255) {
  for (int code = 0; code < 256; ++code) {
    char c = static_cast<char>(code);
    bool inAlphabet = isalnum(code) && code < 128;
    if (inAlphabet || c == '+' || c == '/' || c == '=' || c == '\r' || c == '\n') continue;
    std::string group = std::string("QU") + c + "D";
    EXPECT_EQ(Decode(group), Decode("QUAD")) << "code " << code;
    std::string leading = std::string(1, c) + "UJD";
    EXPECT_EQ(Decode(leading), Decode("AUJD")) << "code " << code;
  }
  EXPECT_EQ(Decode("-_-_"), Bytes({0, 0, 0}));  // no URL-safe alphabet
}

TEST(DecodeBase64, ShortFinalGroupsReadNothingPastTheText) {
  // Two characters carry one byte; one carries none.
  EXPECT_EQ(Decode("QUJDQU"), "ABCA");
  EXPECT_EQ(Decode("QUJDQ"), "ABC");
  EXPECT_EQ(Decode("Q"), "");
  EXPECT_EQ(Decode("QQ"), "A");
  EXPECT_EQ(Decode("QUJDQ=="), Decode("QUJD") + Decode("Q="));
  const char* tails[] = {"Q", "QU", "QUJ", "QU=", "Q=", "==", "=", "\n", "QUJD\r",
                         "QQ==QUJ", "QQ==Q", "QUI=QU", "\xff\xfe"};
  for (const char* tail : tails) {
    std::string text = tail;
    GuardedText guarded(text);
    EXPECT_EQ(DecodeBase64(guarded.data, text.size()), ReferenceDecode(text)) << tail;
  }
}

TEST(DecodeBase64, AgreesWithThePlainRulesOnRandomText) {
  // Weighted towards what trips decoders up: padding, line breaks, bytes
  // outside the alphabet, and lengths of every remainder.
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string awkward = std::string("====\r\n\r\n -_.,{|}~\x7f\x80\xc8\xff", 22) + '\0';
  std::mt19937 random(20240607);
  for (int round = 0; round < 20000; ++round) {
    size_t length = random() % (round < 10000 ? 24 : 300);
    std::string text;
    int awkwardShare = static_cast<int>(random() % 60);
    for (size_t i = 0; i < length; ++i) {
      if (static_cast<int>(random() % 100) < awkwardShare) {
        text += awkward[random() % awkward.size()];
      } else {
        text += alphabet[random() % alphabet.size()];
      }
    }
    GuardedText guarded(text);
    ASSERT_EQ(DecodeBase64(guarded.data, text.size()), ReferenceDecode(text))
        << "round " << round << " text \"" << text << "\"";
  }
}

TEST(DecodeBase64, AnyByteAnywhereInALongRunFollowsThePlainRules) {
  // Runs of sixteen and more alphabet characters take a vector path; one
  // unusual byte at any place must hand the run back to the rules.
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string clean;
  for (int i = 0; i < 40; ++i) clean += alphabet[(i * 7 + 3) % 64];
  for (int code = 0; code < 256; ++code) {
    for (size_t place = 0; place < clean.size(); ++place) {
      std::string text = clean;
      text[place] = static_cast<char>(code);
      GuardedText guarded(text);
      ASSERT_EQ(DecodeBase64(guarded.data, text.size()), ReferenceDecode(text))
          << "code " << code << " at " << place;
    }
  }
}

TEST(DecodeBase64, LongCleanTextDecodesThroughTheFastPath) {
  std::string bytes;
  std::mt19937 random(7);
  for (int i = 0; i < 3 * 5000 + 2; ++i) bytes += static_cast<char>(random());
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += alphabet[(v >> shift) & 63];
  }
  text += "QUI=";  // the last two bytes, padded
  bytes.replace(bytes.size() - 2, 2, "AB");
  EXPECT_EQ(Decode(text), bytes);
}

}  // namespace
