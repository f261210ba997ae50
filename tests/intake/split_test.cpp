// Splitting the body at commas, and the copy-free piece finder the
// endpoint uses in its place.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/split_string.h"

namespace {

using Pieces = std::vector<std::string>;

TEST(SplitString, KeepsEveryPieceEmptyOnesIncluded) {
  EXPECT_EQ(SplitString("data:image/png;base64,QUJD", ","),
            (Pieces{"data:image/png;base64", "QUJD"}));
  EXPECT_EQ(SplitString("a,b,c,d", ","), (Pieces{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitString(",", ","), (Pieces{"", ""}));
  EXPECT_EQ(SplitString(",,a,", ","), (Pieces{"", "", "a", ""}));
  EXPECT_EQ(SplitString("", ","), (Pieces{""}));
  EXPECT_EQ(SplitString("no comma", ","), (Pieces{"no comma"}));
  EXPECT_EQ(SplitString("a::b", "::"), (Pieces{"a", "b"}));
}

TEST(SplitString, AnEmptyDelimiterGivesTheWholeTextInsteadOfLoopingForever) {
  EXPECT_EQ(SplitString("abc", ""), (Pieces{"abc"}));
}

TEST(FindSplitPiece, FindsExactlyThePieceSplitStringWouldGive) {
  std::mt19937 random(11);
  const char letters[] = "ab,,=";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    size_t length = random() % 12;
    for (size_t i = 0; i < length; ++i) text += letters[random() % 5];
    Pieces pieces = SplitString(text, ",");
    for (size_t index = 0; index < pieces.size() + 2; ++index) {
      size_t offset = 99;
      size_t pieceLength = 99;
      bool found = FindSplitPiece(text.data(), text.size(), ",", index, &offset, &pieceLength);
      ASSERT_EQ(found, index < pieces.size()) << text << " #" << index;
      if (found) {
        ASSERT_EQ(text.substr(offset, pieceLength), pieces[index]) << text;
      }
    }
  }
}

}  // namespace
