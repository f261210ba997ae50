// The Chinese trace texts must reach TraceOut as code page 936 bytes; the
// expected bytes below were produced with `iconv -f UTF-8 -t GBK`.
#include <string>

#include "tests/fakes/watch/scm_fake.h"
#include "watch/service.h"
#include "watch/trace.h"
#include "watch/trace_texts.h"
#include "watch_test_support.h"

namespace {

class TraceTextTest : public WatchTest {};

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(TraceTextTest, ChineseTextsAreGbk) {
  // 接收到服务管理器控制停止命令\r\n
  EXPECT_EQ(std::string(kTraceControlStop),
            Bytes({0xbd, 0xd3, 0xca, 0xd5, 0xb5, 0xbd, 0xb7, 0xfe, 0xce, 0xf1, 0xb9, 0xdc, 0xc0, 0xed, 0xc6,
                   0xf7, 0xbf, 0xd8, 0xd6, 0xc6, 0xcd, 0xa3, 0xd6, 0xb9, 0xc3, 0xfc, 0xc1, 0xee, '\r', '\n'}));
  // 枚举设备开始！\r\n
  EXPECT_EQ(std::string(kTraceEnumStart),
            Bytes({0xc3, 0xb6, 0xbe, 0xd9, 0xc9, 0xe8, 0xb1, 0xb8, 0xbf, 0xaa, 0xca, 0xbc, 0xa3, 0xa1, '\r', '\n'}));
  // GetPrinterConfig OpenUsbPort %s失败！Error=%d\r\n: the E after the
  // escapes must stay a letter.
  EXPECT_EQ(std::string(kTraceConfigOpenFailed),
            "GetPrinterConfig OpenUsbPort %s" + Bytes({0xca, 0xa7, 0xb0, 0xdc, 0xa3, 0xa1}) + "Error=%d\r\n");
  // 获取有效配置信息data[0]=%d\r\n: likewise the d.
  EXPECT_EQ(std::string(kTraceBlockByte), Bytes({0xbb, 0xf1, 0xc8, 0xa1, 0xd3, 0xd0, 0xd0, 0xa7, 0xc5, 0xe4, 0xd6,
                                                 0xc3, 0xd0, 0xc5, 0xcf, 0xa2}) + "data[0]=%d\r\n");
}

TEST_F(TraceTextTest, MyMainTracesTheServiceNameInGbk) {
  FakeScmSetFaults(FakeScmFaults{true, 0});
  MyMain();
  // szServiceName等于USB Printer Service VELQ\r\n
  EXPECT_TRUE(TraceSeen("szServiceName" + Bytes({0xb5, 0xc8, 0xd3, 0xda}) + "USB Printer Service VELQ\r\n"));
  EXPECT_TRUE(TraceSeen("Enter MyMain\r\n"));
}

TEST_F(TraceTextTest, TraceOutDiscardsWithoutASink) {
  SetTraceSink(nullptr);
  TraceOut("%s", "nobody sees this");
  EXPECT_TRUE(CapturedTraces().empty());
}

}  // namespace
