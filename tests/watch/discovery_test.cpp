// The matching rule for the family's interfaces, the slot tables, the
// configuration read and the configuration file.
#include <cstring>

#include "watch/discovery.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch_test_support.h"

namespace {

class DiscoveryTest : public WatchTest {};

FakeUsbInterface Interface(const std::string& path) {
  FakeUsbInterface found;
  found.path = path;
  found.block = {8};
  return found;
}

TEST_F(DiscoveryTest, MatchesUpperCaseVendorAndStoresThePathLowerCased) {
  FakeUsbSetInterfaces({Interface("\\\\?\\USB#VID_8888&PID_0026&MI_02#6&ABC&0&0000#{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}")});
  char table[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(table);
  EXPECT_STREQ(table[0], "\\\\?\\usb#vid_8888&pid_0026&mi_02#6&abc&0&0000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_EQ(GetPrinterNum(), 1);
}

TEST_F(DiscoveryTest, RejectsOtherInterfacesProductsAndOffsets) {
  FakeUsbSetInterfaces({
      Interface("\\\\?\\usb#vid_8888&pid_0026&mi_00#6&abc&0&0000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"),
      Interface("\\\\?\\usb#vid_8888&pid_0027&mi_02#6&abc&0&0000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"),
      Interface("\\\\?\\usb#x#vid_8888&pid_0026&mi_02#6&abc&0&0000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"),
      Interface("\\\\?\\usb#vid_1234&pid_0026&mi_02#6&abc"),
      Interface("\\\\?\\"),  // shorter than the prefix: nothing to compare
      Interface(""),
  });
  char table[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(table);
  for (int i = 0; i < kDevPathSlots; ++i) EXPECT_STREQ(table[i], "") << "slot " << i;
  EXPECT_EQ(GetPrinterNum(), 0);
}

TEST_F(DiscoveryTest, InterfaceNumberMayStandAnywhereInThePath) {
  FakeUsbSetInterfaces({Interface("\\\\?\\usb#vid_8888&pid_0026#serial_mi_02#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}")});
  EXPECT_EQ(GetPrinterNum(), 1);
}

TEST_F(DiscoveryTest, SlotsFollowMemberIndicesAndPackInOrder) {
  FakeUsbSetInterfaces({FakeUsbPrinter(0, 8), Interface("\\\\?\\usb#vid_8888&pid_0026&mi_00#1"), FakeUsbPrinter(2, 8),
                        FakeUsbPrinter(3, 8)});
  char table[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(table);
  EXPECT_STRNE(table[0], "");
  EXPECT_STREQ(table[1], "");
  EXPECT_STRNE(table[2], "");
  EXPECT_STRNE(table[3], "");

  char packed[kDevicePathSlots][kPathBytes] = {};
  GetPrinterPaths(packed);
  EXPECT_STREQ(packed[0], table[0]);
  EXPECT_STREQ(packed[1], table[2]);
  EXPECT_STREQ(packed[2], table[3]);
  EXPECT_STREQ(packed[3], "");
  EXPECT_EQ(GetPrinterNum(), 3);
}

TEST_F(DiscoveryTest, MemberIndexTenAndLaterIsNeverUsed) {
  std::vector<FakeUsbInterface> interfaces(10, Interface("\\\\?\\usb#vid_8888&pid_0026&mi_00#x"));
  for (int i = 0; i < 10; ++i) interfaces.push_back(FakeUsbPrinter(10 + i, 8));  // indices 10 to 19
  FakeUsbSetInterfaces(interfaces);
  char packed[kDevicePathSlots][kPathBytes] = {};
  GetPrinterPaths(packed);
  EXPECT_STREQ(packed[0], "");
  EXPECT_EQ(GetPrinterNum(), 0);
}

TEST_F(DiscoveryTest, ManyInterfacesNeverWritePastTheTable) {
  std::vector<FakeUsbInterface> interfaces;
  for (int i = 0; i < 40; ++i) interfaces.push_back(FakeUsbPrinter(i, 8));
  FakeUsbSetInterfaces(interfaces);
  // Guard bytes around the table catch a write past either end.
  struct {
    char before[kPathBytes];
    char table[kDevPathSlots][kPathBytes];
    char after[kPathBytes];
  } guarded;
  std::memset(&guarded, 0x5A, sizeof guarded);
  std::memset(guarded.table, 0, sizeof guarded.table);
  EnumUsbPrinters(guarded.table);
  for (int i = 0; i < kPathBytes; ++i) {
    ASSERT_EQ(guarded.before[i], 0x5A);
    ASSERT_EQ(guarded.after[i], 0x5A);
  }
  EXPECT_EQ(GetPrinterNum(), 10);
}

TEST_F(DiscoveryTest, PathTooLongForASlotIsSkippedWithATrace) {
  FakeUsbInterface longPath = FakeUsbPrinter(0, 8);
  longPath.path += std::string(300, 'x');
  FakeUsbSetInterfaces({longPath, FakeUsbPrinter(1, 8)});
  char table[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(table);
  EXPECT_STREQ(table[0], "");
  EXPECT_STRNE(table[1], "");
  EXPECT_EQ(TracesStartingWith("\\\\?\\usb#vid_8888&pid_0026&mi_02#7&1a2b3c&0&0#{"), 1);
}

TEST_F(DiscoveryTest, FailedDetailRequestEndsEnumerationKeepingEarlierMatches) {
  FakeUsbInterface broken = FakeUsbPrinter(1, 8);
  broken.detailFails = true;
  FakeUsbSetInterfaces({FakeUsbPrinter(0, 8), broken, FakeUsbPrinter(2, 8)});
  EXPECT_EQ(GetPrinterNum(), 1);
}

TEST_F(DiscoveryTest, ClassThatCantBeEnumeratedFindsNothing) {
  FakeUsbSetInterfaces({FakeUsbPrinter(0, 8)});
  FakeUsbSetFaults(FakeUsbFaults{true, nullptr});
  EXPECT_EQ(GetPrinterNum(), 0);
}

TEST_F(DiscoveryTest, ReadKeepsTheBytesSentAndZerosAfterThem) {
  FakeUsbInterface printer = FakeUsbPrinter(0, 8);
  printer.block = {8, 1, 2, 3, 4};
  FakeUsbSetInterfaces({printer});
  unsigned char block[kConfigBlockBytes] = {};
  GetPrinterConfig(FakeUsbFamilyPath(0).c_str(), block);
  EXPECT_EQ(std::vector<unsigned char>(block, block + 6), (std::vector<unsigned char>{8, 1, 2, 3, 4, 0}));
  EXPECT_EQ(FakeUsbLastTimeout(), kDeviceReadTimeoutMs);
  EXPECT_TRUE(TraceSeen(" 4"));

  SavePrinterConfig("VELQ", block);
  auto files = FakeFiles();
  ASSERT_EQ(files.count(ConfigFilePath("VELQ")), 1u);
  EXPECT_EQ(files[ConfigFilePath("VELQ")], FileBytes({8, 1, 2, 3, 4}));
}

TEST_F(DiscoveryTest, FileKeepsOnlyTheFirst63Bytes) {
  FakeUsbInterface printer = FakeUsbPrinter(0, 8);
  printer.block.assign(100, 0);
  for (int i = 0; i < 100; ++i) printer.block[i] = static_cast<unsigned char>(i + 1);
  FakeUsbSetInterfaces({printer});
  unsigned char block[kConfigBlockBytes] = {};
  GetPrinterConfig(FakeUsbFamilyPath(0).c_str(), block);
  SavePrinterConfig("VELQ #1", block);
  auto file = FakeFiles()[ConfigFilePath("VELQ #1")];
  ASSERT_EQ(file.size(), 63u);
  EXPECT_EQ(file.front(), 1);
  EXPECT_EQ(file.back(), 63);
}

TEST_F(DiscoveryTest, ReadNeverTakesMoreThan255Bytes) {
  FakeUsbInterface printer = FakeUsbPrinter(0, 8);
  printer.block.assign(400, 0xEE);
  FakeUsbSetInterfaces({printer});
  unsigned char block[kConfigBlockBytes] = {};
  GetPrinterConfig(FakeUsbFamilyPath(0).c_str(), block);
  EXPECT_EQ(block[254], 0xEE);
  EXPECT_EQ(block[255], 0);
}

TEST_F(DiscoveryTest, PrinterThatCantBeOpenedRefusesOrStaysSilentLeavesTheBlockZero) {
  FakeUsbInterface locked = FakeUsbPrinter(0, 8);
  locked.openFails = true;
  FakeUsbInterface refusing = FakeUsbPrinter(1, 8);
  refusing.answer = FakeUsbRefusesRead;
  FakeUsbInterface silent = FakeUsbPrinter(2, 8);
  silent.answer = FakeUsbSilent;
  FakeUsbSetInterfaces({locked, refusing, silent});
  for (int serial = 0; serial < 3; ++serial) {
    unsigned char block[kConfigBlockBytes] = {};
    GetPrinterConfig(FakeUsbFamilyPath(serial).c_str(), block);
    EXPECT_EQ(block[0], 0) << "serial " << serial;
  }
  unsigned char block[kConfigBlockBytes] = {};
  GetPrinterConfig("", block);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(TracesStartingWith("GetPrinterConfig OpenUsbPort "), 2);
  EXPECT_TRUE(TraceSeen("GetPrinterConfig ReadFile timed out after 3000 ms\r\n"));
}

TEST_F(DiscoveryTest, NoFileWithoutAReadableDataDirectory) {
  unsigned char block[kConfigBlockBytes] = {8};
  FakeStoreReset();  // no "Software\VELQ" at all
  SavePrinterConfig("VELQ", block);
  FakeRegistryCreateKey("Software\\VELQ");  // the key, but no "Data Directory"
  SavePrinterConfig("VELQ", block);
  FakeRegistrySetString("Software\\VELQ", "Data Directory", "");  // empty: the drive's root
  SavePrinterConfig("VELQ", block);
  FakeRegistrySetString("Software\\VELQ", "Data Directory", std::string(300, 'd'));  // too long
  SavePrinterConfig("VELQ", block);
  EXPECT_TRUE(FakeFiles().empty());
}

TEST_F(DiscoveryTest, FilePathThatDoesntFitIsSkipped) {
  unsigned char block[kConfigBlockBytes] = {8};
  SavePrinterConfig(std::string(250, 'q').c_str(), block);
  EXPECT_TRUE(FakeFiles().empty());
  EXPECT_EQ(TracesStartingWith("qqqq"), 1);
}

TEST_F(DiscoveryTest, FileThatCantBeCreatedIsTraced) {
  FakeStoreSetFaults(FakeStoreFaults{false, true});
  unsigned char block[kConfigBlockBytes] = {8};
  SavePrinterConfig("VELQ", block);
  EXPECT_TRUE(TraceSeen("SavePrinterConfig CreateFile C:\\ProgramData\\VELQ\\VELQ.bin Error=3\r\n"));
}

}  // namespace
