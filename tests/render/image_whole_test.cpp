// The completeness check of label images: every whole image of each format
// passes, every cut of it fails (but for a JPEG's missing end marker), and
// broken checksums, streams and counts are caught where decoders print
// what they got.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "intake/base64.h"
#include "render/image_whole.h"
#include "render/label_size.h"
#include "tests/render/label_images.h"

namespace {

ImageWholeness Check(const std::string& bytes, std::string* what = nullptr) {
  std::string text;
  ImageWholeness result = CheckImageWhole(bytes, &text);
  if (what) *what = text;
  if (result != kImageWhole) {
    EXPECT_FALSE(text.empty());
  }
  return result;
}

// A PNG of 1-bit rows given as raw (filtered) bytes, deflated whole.
std::string PngOfRows(uint32_t width, uint32_t height, const std::string& rows) {
  std::string header;
  for (uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>((v >> shift) & 0xFF);
  }
  header += std::string("\x01\x00\0\0\0", 5);
  uLongf size = compressBound(rows.size());
  std::string packed(size, '\0');
  compress(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(rows.data()),
           rows.size());
  packed.resize(size);
  return std::string("\x89PNG\r\n\x1a\n", 8) + FakePngChunk("IHDR", header) +
         FakePngChunk("IDAT", packed) + FakePngChunk("IEND", "");
}

struct Whole {
  const char* name;
  std::string bytes;
  size_t firstWholeLength;  // shorter cuts are damaged, longer ones whole
};

std::vector<Whole> WholeImages() {
  std::string grey = TestJpeg(40, 24, false);
  std::string colour = TestJpeg(40, 40, true, 2);
  return {{"png", FakePng(40, 24), 0},
          {"png 1x1", FakePng(1, 1), 0},
          {"gif", TestGif(7, 5), 0},
          {"bmp", TestBmp(5, 3), 0},
          {"rle bmp", TestRleBmp(6, 4), 0},
          {"tiff", TestTiff(6, 5), 0},
          {"jpeg grey", grey, grey.size() - 2},
          {"jpeg 4:2:0 with restarts", colour, colour.size() - 2},
          {"jpeg progressive", TestJpeg(40, 24, false, 0, true), 0}};
}

TEST(ImageWhole, WholeImagesPassAndEveryCutOfThemFails) {
  for (const Whole& image : WholeImages()) {
    EXPECT_EQ(Check(image.bytes), kImageWhole) << image.name;
    size_t first = image.firstWholeLength ? image.firstWholeLength : image.bytes.size();
    for (size_t length = 0; length < image.bytes.size(); ++length) {
      ImageWholeness expected = length == 0 ? kImageUnknown
                                : length >= first ? kImageWhole
                                                  : kImageDamaged;
      ImageWholeness got = Check(image.bytes.substr(0, length));
      if (expected == kImageDamaged && got == kImageHeaderDamaged) got = kImageDamaged;
      if (length > 0 && length < 8 && image.name[0] == 'p') expected = kImageUnknown;
      if (length > 0 && length < 6 && image.name[0] == 'g') expected = kImageUnknown;
      if (length > 0 && length < 2 && image.name[0] != 'p' && image.name[0] != 'g') expected = kImageUnknown;
      if (length > 0 && length < 4 && image.name[0] == 't') expected = kImageUnknown;
      ASSERT_EQ(got, expected) << image.name << " cut at " << length;
    }
  }
}

std::string BmpWithPixelsAt(std::string bmp, uint32_t offset) {
  for (int i = 0; i < 4; ++i) bmp[10 + i] = static_cast<char>(offset >> (8 * i));
  return bmp;
}

// 59 bytes whose colour count gdk-pixbuf's loader multiplied into a 2.8 GB
// buffer.
const char kFuzzedBmp[] = "Qk12GQEAAAAAADYAAAAoAAAAyAAAADoAAAAAAAgAAQAAAEAZAQByAAAAAAAAAAAAAOoACgAjDQMAAQE=";

// Damage before an image's size and layout are known is told apart: the
// route answers a decoder's own refusal of such bytes as it always has.
TEST(ImageWhole, DamageBeforeThePixelsIsTheHeaders) {
  struct {
    const char* name;
    std::string bytes;
    ImageWholeness result;
  } cases[] = {{"png in IHDR", FakePng(8, 8).substr(0, 20), kImageHeaderDamaged},
               {"png in IDAT", FakePng(8, 8).substr(0, 40), kImageDamaged},
               {"gif in its screen", TestGif(4, 4).substr(0, 10), kImageHeaderDamaged},
               {"gif in its codes", TestGif(4, 4).substr(0, 38), kImageDamaged},
               {"bmp in its header", TestBmp(4, 4).substr(0, 30), kImageHeaderDamaged},
               {"bmp in its pixels", TestBmp(4, 4).substr(0, 60), kImageDamaged},
               {"bmp whose pixels start past its end", BmpWithPixelsAt(TestBmp(4, 4), 0x7f000036),
                kImageHeaderDamaged},
               {"rle bmp of 0xEA000000 colours (found by the image fuzz target)",
                DecodeBase64(kFuzzedBmp, sizeof(kFuzzedBmp) - 1), kImageHeaderDamaged},
               {"rle bmp of 256 colours", TestRleBmp(6, 4).replace(46, 2, std::string("\0\x01", 2)), kImageWhole},
               {"rle bmp of 257 colours", TestRleBmp(6, 4).replace(46, 2, "\x01\x01"), kImageHeaderDamaged},
               {"tiff in its directory", TestTiff(4, 4).substr(0, 50), kImageHeaderDamaged},
               {"jpeg in its tables", TestJpeg(16, 16, false).substr(0, 80), kImageHeaderDamaged},
               {"jpeg in its scan", TestJpeg(64, 64, false).substr(0, 140), kImageDamaged}};
  for (const auto& c : cases) {
    EXPECT_EQ(Check(c.bytes), c.result) << c.name;
    // Told apart without the streams too, as the job asks before its claim.
    EXPECT_EQ(ImageHeaderDamaged(c.bytes), c.result == kImageHeaderDamaged) << c.name;
  }
}

TEST(ImageWhole, BytesAfterTheFormatsOwnEndAreIgnored) {
  EXPECT_EQ(Check(FakePng(8, 8, "trailing")), kImageWhole);
  EXPECT_EQ(Check(TestGif(3, 3) + "xyz"), kImageWhole);
  EXPECT_EQ(Check(TestBmp(3, 3) + "xyz"), kImageWhole);
}

TEST(ImageWhole, PngChecksumsAndStreamAreChecked) {
  std::string png = FakePng(64, 32);
  size_t idat = png.find("IDAT");
  struct {
    const char* name;
    size_t at;
    const char* says;
    ImageWholeness result;
  } flips[] = {{"IHDR data", 18, "CRC of the PNG's IHDR", kImageHeaderDamaged},
               {"IHDR CRC", 30, "CRC of the PNG's IHDR", kImageHeaderDamaged},
               {"IDAT data", idat + 8, "CRC of the PNG's IDAT", kImageDamaged},
               {"IDAT CRC", png.size() - 14, "CRC of the PNG's IDAT", kImageDamaged},
               {"IEND CRC", png.size() - 1, "CRC of the PNG's IEND", kImageDamaged}};
  for (const auto& flip : flips) {
    std::string bad = png;
    bad[flip.at] = static_cast<char>(bad[flip.at] ^ 0x10);
    std::string what;
    EXPECT_EQ(Check(bad, &what), flip.result) << flip.name;
    EXPECT_NE(what.find(flip.says), std::string::npos) << flip.name << ": " << what;
  }
  // A flipped byte under a CRC made to match: zlib's own Adler-32 and
  // stream structure still tell.
  std::string rows(32 * 9, '\0');
  rows[100] = '\x55';
  std::string good = PngOfRows(64, 32, rows);
  size_t at = good.find("IDAT") + 4;
  uint32_t length = (static_cast<unsigned char>(good[at - 6]) << 8) | static_cast<unsigned char>(good[at - 5]);
  std::string data = good.substr(at, length);
  data[data.size() - 2] = static_cast<char>(data[data.size() - 2] ^ 0x01);  // inside the Adler-32
  std::string bad = good.substr(0, at - 8) + FakePngChunk("IDAT", data) + FakePngChunk("IEND", "");
  std::string what;
  EXPECT_EQ(Check(bad, &what), kImageDamaged);
  EXPECT_EQ(what, "the PNG's compressed image data is broken");
  // A stream that ends properly but holds fewer rows than announced.
  EXPECT_EQ(Check(PngOfRows(64, 32, std::string(31 * 9, '\0')), &what), kImageDamaged);
  EXPECT_EQ(what, "the PNG's image data holds fewer rows than its header announces");
  EXPECT_EQ(Check(PngOfRows(64, 32, rows)), kImageWhole);
}

TEST(ImageWhole, CountsAndEndsOfTheOtherFormats) {
  std::string what;
  EXPECT_EQ(Check(TestGif(7, 5, 34), &what), kImageDamaged);
  EXPECT_EQ(what, "the GIF's image data holds fewer pixels than its frame");
  std::string gif = TestGif(7, 5);
  EXPECT_EQ(Check(gif.substr(0, gif.size() - 1), &what), kImageDamaged);
  EXPECT_EQ(what, "the GIF ends without its trailer");

  std::string rle = TestRleBmp(6, 4);
  EXPECT_EQ(Check(rle.substr(0, rle.size() - 2), &what), kImageDamaged);
  EXPECT_EQ(what, "the BMP's compressed pixels end before their end mark");
  std::string bmp = TestBmp(5, 3);
  EXPECT_EQ(Check(bmp.substr(0, bmp.size() - 1), &what), kImageDamaged);
  EXPECT_EQ(what, "the BMP's pixel array is shorter than its header announces");

  std::string tiff = TestTiff(6, 5);
  EXPECT_EQ(Check(tiff), kImageWhole);
  std::string shortStrips = TestTiff(6, 5);
  shortStrips[8 + 30 + 12] = 40;  // the first strip's count, now past the end
  shortStrips[8 + 30 + 13] = 1;
  EXPECT_EQ(Check(shortStrips, &what), kImageDamaged);
  EXPECT_EQ(what, "the TIFF's image data ends early");

  // A JPEG scan cut before its last block, with its end marker put back.
  std::string jpeg = TestJpeg(64, 64, false);
  EXPECT_EQ(Check(jpeg.substr(0, jpeg.size() - 4) + "\xff\xd9", &what), kImageDamaged);
  EXPECT_EQ(what, "the JPEG's image data ends before its last block");
  std::string progressive = TestJpeg(40, 24, false, 0, true);
  EXPECT_EQ(Check(progressive.substr(0, progressive.size() - 2), &what), kImageDamaged);
  EXPECT_EQ(what, "the JPEG ends inside its image data");
}

// Sizes whose byte counts overflow 64 bits must not wrap round to a count
// the file happens to hold.
TEST(ImageWhole, HugeAnnouncedSizesNeedTheirBytes) {
  std::string bmp = TestBmp(2, 2);
  for (int at : {18, 22}) {
    bmp[at] = bmp[at + 1] = bmp[at + 2] = '\xff';
    bmp[at + 3] = '\x7f';
  }
  bmp[28] = 32;
  EXPECT_EQ(Check(bmp), kImageDamaged);
  std::string png = PngOfRows(8, 1, std::string(2, '\0'));
  std::string header = std::string("\x7f\xff\xff\xff\x7f\xff\xff\xff\x10\x06\0\0\0", 13);
  png = png.substr(0, 8) + FakePngChunk("IHDR", header) + png.substr(33);
  std::string what;
  EXPECT_EQ(Check(png, &what), kImageDamaged);
  EXPECT_EQ(what, "the PNG's image data holds fewer rows than its header announces");
}

TEST(ImageWhole, AJpegWithoutItsEndMarkerIsDecodedWithOne) {
  std::string jpeg = TestJpeg(16, 16, false);
  EXPECT_STREQ(ImageEndToAdd(jpeg), "");
  EXPECT_STREQ(ImageEndToAdd(jpeg.substr(0, jpeg.size() - 1)), "\xff\xd9");
  EXPECT_STREQ(ImageEndToAdd(jpeg.substr(0, jpeg.size() - 2)), "\xff\xd9");
  EXPECT_STREQ(ImageEndToAdd(FakePng(4, 4)), "");
  EXPECT_STREQ(ImageEndToAdd(""), "");
}

TEST(ImageWhole, OtherKindsAreUnknownNotDamaged) {
  std::string bmp = TestBmp(4, 4);
  bmp[30] = 4;  // a JPEG inside a BMP
  std::string what;
  EXPECT_EQ(Check(bmp, &what), kImageUnknown);
  EXPECT_EQ(Check("<svg/>", &what), kImageUnknown);
  EXPECT_EQ(what, "the body is not a PNG, JPEG, BMP, GIF or TIFF image");
}

}  // namespace

// The size is read from the header alone, before any decoder or walk: every
// format's own numbers, and nothing from a header that is cut or broken.
TEST(ImageHeaderSize, EachFormatAnnouncesItsSizeAndACutHeaderNone) {
  std::string bmp = TestBmp(5, 3);
  std::string topDown = bmp;
  topDown[22] = static_cast<char>(0xFD);  // -3: rows stored top-down
  topDown[23] = topDown[24] = topDown[25] = static_cast<char>(0xFF);
  std::string farTiff = TestTiff(6, 5);
  farTiff[6] = static_cast<char>(0x7F);  // its directory's offset, past the end
  // TestTiff(6, 5)'s directory is at 62: its width becomes 9000, and its
  // third entry (bits per sample) a second width of 6; then the first
  // width gets two values.
  std::string widthTwice = TestTiff(6, 5);
  widthTwice[62 + 2 + 8] = static_cast<char>(9000 & 0xFF);
  widthTwice[62 + 2 + 9] = static_cast<char>(9000 >> 8);
  widthTwice.replace(62 + 2 + 2 * 12, 12, widthTwice.substr(62 + 2, 12));
  widthTwice[62 + 2 + 2 * 12 + 8] = 6;
  widthTwice[62 + 2 + 2 * 12 + 9] = 0;
  std::string twoValues = widthTwice;
  twoValues[62 + 2 + 4] = 2;
  struct Case {
    const char* name;
    std::string bytes;
    bool known;
    long long width, height;
  } cases[] = {
      {"png", FakePng(40, 24), true, 40, 24},
      {"png announcing 8200 x 8200", FakePng(8200, 8200).substr(0, 33), true, 8200, 8200},
      {"gif", TestGif(7, 5), true, 7, 5},
      {"bmp", bmp, true, 5, 3},
      {"bmp top-down", topDown, true, 5, 3},
      {"tiff", TestTiff(6, 5), true, 6, 5},
      {"jpeg", TestJpeg(40, 24, false), true, 40, 24},
      {"jpeg progressive", TestJpeg(40, 24, false, 0, true), true, 40, 24},
      {"png cut inside IHDR", FakePng(40, 24).substr(0, 30), false, 0, 0},
      {"gif cut before its size", TestGif(7, 5).substr(0, 8), false, 0, 0},
      {"tiff whose directory lies past the end", farTiff, false, 0, 0},
      {"tiff whose width is given twice: the larger", widthTwice, true, 9000, 5},
      {"tiff whose first width has two values", twoValues, false, 0, 0},
      {"jpeg cut before its frame", TestJpeg(40, 24, false).substr(0, 4), false, 0, 0},
      {"not an image", "hello, world", false, 0, 0},
  };
  for (const Case& c : cases) {
    long long width = -1, height = -1;
    EXPECT_EQ(AnnouncedImageSize(c.bytes, &width, &height), c.known) << c.name;
    EXPECT_EQ(width, c.width) << c.name;
    EXPECT_EQ(height, c.height) << c.name;
  }
  // A flipped bit in IHDR fails its CRC: it is no size to refuse for.
  std::string png = FakePng(40, 24);
  png[17] ^= 0x40;
  long long width = 0, height = 0;
  EXPECT_FALSE(AnnouncedImageSize(png, &width, &height));
}

// The chunk names a message quotes come from the posted bytes; a JSON
// answer carries the message, so it must be UTF-8 whatever those bytes are.
TEST(ImageWhole, AChunkNameIsQuotedAsUtf8WhateverItsBytes) {
  std::string png = FakePng(4, 4);
  size_t iend = png.find("IEND");
  std::string bent = png;
  bent[iend + 3] = static_cast<char>(0xBB);
  std::string what;
  EXPECT_EQ(Check(bent, &what), kImageDamaged);
  EXPECT_EQ(what, "the CRC of the PNG's IEN\\xBB chunk does not match");
  std::string cut = png.substr(0, iend - 4) + std::string("\0\0\0\x09\xff\x01ID", 8);
  EXPECT_EQ(Check(cut, &what), kImageDamaged);
  EXPECT_EQ(what, "the PNG ends inside its \\xFF\\x01ID chunk");
}

// Every size the bytes announce counts, not only the one decoders report:
// a GIF's frames reach past its screen and each keeps its pixels, a TIFF's
// later directories may be asked for.
TEST(ImageHeaderSize, TheExtentCoversEveryFrameAndDirectory) {
  std::string farFrame = TestGif(7, 5);
  farFrame[20] = static_cast<char>(33000 & 0xFF);  // the frame's left edge
  farFrame[21] = static_cast<char>(33000 >> 8);
  std::string manyFrames = TestGif(4000, 4000).substr(0, 19);
  for (int i = 0; i < 5; ++i) {
    manyFrames += ",";
    PutLe(&manyFrames, 0, 4);
    PutLe(&manyFrames, 4000, 2);
    PutLe(&manyFrames, 4000, 2);
    manyFrames += std::string("\0\x02\x01\x05\0", 5);  // one end code
  }
  manyFrames += ";";
  std::string twoDirectories = TestTiff(6, 5);
  PutLe(&twoDirectories, 0, 0);
  std::string next;
  PutLe(&next, static_cast<uint32_t>(twoDirectories.size()), 4);
  twoDirectories.replace(twoDirectories.size() - 4, 4, next);
  PutLe(&twoDirectories, 2, 2);
  for (uint32_t tag : {256u, 257u}) {
    PutLe(&twoDirectories, tag, 2);
    PutLe(&twoDirectories, 4, 2);
    PutLe(&twoDirectories, 1, 4);
    PutLe(&twoDirectories, 40000, 4);
  }
  PutLe(&twoDirectories, 0, 4);
  std::string looped = TestTiff(6, 5);
  looped.replace(looped.size() - 4, 4, looped.substr(4, 4));  // back to the first
  // Found by the image fuzz target: 93 bytes whose screen claims 39578 x
  // 12585 pixels.
  const char fuzzedText[] =
      "R0lGODdhmpopMZoqfgAAIQsLCwsLCwsLCyEzAQCAYAAACwsLCywLCwsLCwsLCwsLCwsLCwsLCwsLAQBgsAAABQAaYBCAAAoLCgsLCwsLCwsLCwsLCwsLCwsLC2rI";
  std::string fuzzed = DecodeBase64(fuzzedText, sizeof(fuzzedText) - 1);
  // And 142 bytes whose directory gives the width twice: 39202, which
  // libtiff reads, then 200.
  const char fuzzedTiffText[] =
      "SUkqAAgAAAAKAAABAwABAAAAIplg7TTKiRTLB2mmVEimWDtNMqJFMsHaaZUSKZYO00wUXyAAAAAKAAABAwABAAAAyAAAAAEBAwABAAAAeCYA"
      "AEQBAwADAAAAhgAAAAOwYAAADwAAAAAAAAByAAAA/wAAAAAAAAAAf5gLAPBhAAAAAAAAAAAAAAAAAAAAAA==";
  std::string fuzzedTiff = DecodeBase64(fuzzedTiffText, sizeof(fuzzedTiffText) - 1);
  struct Case {
    const char* name;
    std::string bytes;
    long long width, height, pixels;
    LabelSizeVerdict verdict;
  } cases[] = {
      {"png", FakePng(40, 24), 40, 24, 960, kLabelSizeFits},
      {"gif", TestGif(7, 5), 7, 5, 70, kLabelSizeFits},
      {"gif frame past its screen", farFrame, 33007, 5, 33007ll * 5 + 35, kLabelTooLargeToDecode},
      {"gif of five screen-sized frames", manyFrames, 4000, 4000, 6 * 16000000ll, kLabelTooLargeToDecode},
      {"tiff", TestTiff(6, 5), 6, 5, 30, kLabelSizeFits},
      {"tiff with a huge second directory", twoDirectories, 40000, 40000, 1600000000ll,
       kLabelTooLargeToDecode},
      {"tiff whose directories loop", looped, 6, 5, 30, kLabelSizeFits},
      {"the fuzzed gif", fuzzed, 39578, 12585, 39578ll * 12585 + 2827ll * 2827,
       kLabelTooLargeToDecode},
      {"the fuzzed tiff", fuzzedTiff, 39202, 9848, 39202ll * 9848, kLabelTooLargeToDecode},
  };
  for (const Case& c : cases) {
    ImageExtent extent;
    EXPECT_TRUE(AnnouncedImageExtent(c.bytes, &extent)) << c.name;
    EXPECT_EQ(extent.width, c.width) << c.name;
    EXPECT_EQ(extent.height, c.height) << c.name;
    EXPECT_EQ(extent.pixels, c.pixels) << c.name;
    EXPECT_EQ(JudgeLabelExtent(extent.width, extent.height, extent.pixels), c.verdict) << c.name;
  }
  ImageExtent none;
  EXPECT_FALSE(AnnouncedImageExtent("GIF89a\x01", &none));
  EXPECT_EQ(none.pixels, 0);
}
