// The trace texts of printerwatch, byte for byte. Chinese parts are held as
// code page 936 (GBK) bytes, since the program's narrow strings are in that
// code page; each escape run is closed by literal concatenation so that a
// following letter or digit can't be swallowed by the \x escape.
#pragma once

constexpr const char kTraceEnterMyMain[] = "Enter MyMain\r\n";
// szServiceName等于%s\r\n
constexpr const char kTraceServiceName[] = "szServiceName" "\xb5\xc8\xd3\xda" "%s\r\n";
constexpr const char kTraceDispatcherError[] = "Register Service Main Function Error!";
constexpr const char kTraceServiceMainArgs[] = "**** dwArgc=%d szServiceName=%s\r\n";
constexpr const char kTraceRegisterHandlerFailed[] = "RegisterServiceCtrlHandler Failed ErrorCode=%d";
constexpr const char kTraceWaitExit[] = "WaitForSingleObject m_hExitEvent";
constexpr const char kTraceServiceStopped[] = "Service stopped";
// 接收到服务管理器控制停止命令\r\n
constexpr const char kTraceControlStop[] = "\xbd\xd3\xca\xd5\xb5\xbd\xb7\xfe\xce\xf1\xb9\xdc\xc0\xed\xc6\xf7\xbf\xd8\xd6\xc6\xcd\xa3\xd6\xb9\xc3\xfc\xc1\xee" "\r\n";
// 接收到服务管理器控制暂停命令\r\n
constexpr const char kTraceControlPause[] = "\xbd\xd3\xca\xd5\xb5\xbd\xb7\xfe\xce\xf1\xb9\xdc\xc0\xed\xc6\xf7\xbf\xd8\xd6\xc6\xd4\xdd\xcd\xa3\xc3\xfc\xc1\xee" "\r\n";
// 接收到服务管理器控制继续命令\r\n
constexpr const char kTraceControlContinue[] = "\xbd\xd3\xca\xd5\xb5\xbd\xb7\xfe\xce\xf1\xb9\xdc\xc0\xed\xc6\xf7\xbf\xd8\xd6\xc6\xbc\xcc\xd0\xf8\xc3\xfc\xc1\xee" "\r\n";
// ******* SERVICE_CONTROL_DEVICEEVENT 有设备插入 dwEventType=%x\r\n
constexpr const char kTraceDeviceEvent[] = "******* SERVICE_CONTROL_DEVICEEVENT " "\xd3\xd0\xc9\xe8\xb1\xb8\xb2\xe5\xc8\xeb" " dwEventType=%x\r\n";
// 枚举设备开始！\r\n
constexpr const char kTraceEnumStart[] = "\xc3\xb6\xbe\xd9\xc9\xe8\xb1\xb8\xbf\xaa\xca\xbc\xa3\xa1" "\r\n";
constexpr const char kTraceEnumInterface[] = "szVid: %s pdevDetailData->DevicePath: %s \r\n";
constexpr const char kTraceEnumMatch[] = "pszDevPath[NumberIndex]: %s NumberIndex=%d\r\n";
constexpr const char kTracePathSlot[] = "szDevicePath[i]=%s i=%d\r\n";
// 获取有效的打印机数量 %d\r\n
constexpr const char kTracePrinterNum[] = "\xbb\xf1\xc8\xa1\xd3\xd0\xd0\xa7\xb5\xc4\xb4\xf2\xd3\xa1\xbb\xfa\xca\xfd\xc1\xbf" " %d\r\n";
// 获取打印机设备GetPrinterConfig pszDevPath: %s\r\n
constexpr const char kTraceConfigOpen[] = "\xbb\xf1\xc8\xa1\xb4\xf2\xd3\xa1\xbb\xfa\xc9\xe8\xb1\xb8" "GetPrinterConfig pszDevPath: %s\r\n";
// GetPrinterConfig OpenUsbPort %s失败！Error=%d\r\n
constexpr const char kTraceConfigOpenFailed[] = "GetPrinterConfig OpenUsbPort %s" "\xca\xa7\xb0\xdc\xa3\xa1" "Error=%d\r\n";
// 获取打印机配置GetPrinterConfig ReadFile dwRead=%d Error=%d\r\n
constexpr const char kTraceConfigRead[] = "\xbb\xf1\xc8\xa1\xb4\xf2\xd3\xa1\xbb\xfa\xc5\xe4\xd6\xc3" "GetPrinterConfig ReadFile dwRead=%d Error=%d\r\n";
constexpr const char kTraceSettings[] = "*** PrinterName=%s, DriverName=%s, PrinterPort=%s\r\n";
constexpr const char kTraceDeviceSlot1[] = "szDevicePath[1]: %s\r\n";
constexpr const char kTraceGetPrinterNum[] = "**** GetPrinterNum() = %d\r\n";
constexpr const char kTraceDeviceList[] = "f=%d,szDevicePath[f]=%s\r\n";
// 获取有效配置信息data[0]=%d\r\n
constexpr const char kTraceBlockByte[] = "\xbb\xf1\xc8\xa1\xd3\xd0\xd0\xa7\xc5\xe4\xd6\xc3\xd0\xc5\xcf\xa2" "data[0]=%d\r\n";
// enablePrinterNum有效的打印机数量=%d\r\n
constexpr const char kTraceEnableNum[] = "enablePrinterNum" "\xd3\xd0\xd0\xa7\xb5\xc4\xb4\xf2\xd3\xa1\xbb\xfa\xca\xfd\xc1\xbf" "=%d\r\n";
constexpr const char kTraceSelected[] = "idx=%d,dwprinternum=%d \r\n";
constexpr const char kTraceAddOk[] = "AddPrinter Successfully PrintName=%s\r\n";
constexpr const char kTraceAddFailed[] = "AddPrinter ErrorCode=%d\r\n";
// 修改打印机的名称 idx=%d\r\n
constexpr const char kTraceTrimmed[] = "\xd0\xde\xb8\xc4\xb4\xf2\xd3\xa1\xbb\xfa\xb5\xc4\xc3\xfb\xb3\xc6" " idx=%d\r\n";
constexpr const char kTracePrintName[] = "PrintName=%s\r\n";
constexpr const char kTraceRenameFailed[] = "SetPrinter Level=2 Error=%d\r\n";
// 枚举打印机 pcReturned=%d\r\n
constexpr const char kTraceEnumReturned[] = "\xc3\xb6\xbe\xd9\xb4\xf2\xd3\xa1\xbb\xfa" " pcReturned=%d\r\n";
// 对打印机更新状态idx=%d
constexpr const char kTraceStatusCount[] = "\xb6\xd4\xb4\xf2\xd3\xa1\xbb\xfa\xb8\xfc\xd0\xc2\xd7\xb4\xcc\xac" "idx=%d";
constexpr const char kTraceStatusBlock[] = "data[0]=%d\r\n";
// Printer[i]->pPrinterName的值%s \r\n
constexpr const char kTraceStatusName[] = "Printer[i]->pPrinterName" "\xb5\xc4\xd6\xb5" "%s \r\n";
// 获得打印数据位置%d\r\n
constexpr const char kTraceStatusPosition[] = "\xbb\xf1\xb5\xc3\xb4\xf2\xd3\xa1\xca\xfd\xbe\xdd\xce\xbb\xd6\xc3" "%d\r\n";
// 设置打印机%s Status=%d 脱机\r\n
constexpr const char kTraceOffline[] = "\xc9\xe8\xd6\xc3\xb4\xf2\xd3\xa1\xbb\xfa" "%s Status=%d " "\xcd\xd1\xbb\xfa" "\r\n";
// 设置打印机111 Status= ？？？%d   @@@ %s\r\n
constexpr const char kTraceOfflineSet[] = "\xc9\xe8\xd6\xc3\xb4\xf2\xd3\xa1\xbb\xfa" "111 Status= " "\xa3\xbf\xa3\xbf\xa3\xbf" "%d   @@@ %s\r\n";
// 打印机状态的值等于%d\r\n
constexpr const char kTraceAttributes[] = "\xb4\xf2\xd3\xa1\xbb\xfa\xd7\xb4\xcc\xac\xb5\xc4\xd6\xb5\xb5\xc8\xd3\xda" "%d\r\n";

// Texts of decisions the original texts don't cover; plain ASCII.
constexpr const char kTraceTooLong[] = "%s does not fit %d bytes, skipped\r\n";
constexpr const char kTraceReadTimedOut[] = "GetPrinterConfig ReadFile timed out after %d ms\r\n";
constexpr const char kTraceTooManyQueues[] = "more than %d managed printers, only the first %d are managed\r\n";
constexpr const char kTraceDataDirUnreadable[] = "SavePrinterConfig Data Directory unreadable Error=%d\r\n";
constexpr const char kTraceConfigCreateFailed[] = "SavePrinterConfig CreateFile %s Error=%d\r\n";
constexpr const char kTraceNameMovedAside[] = "PrintName=%s moved to %s to free its name\r\n";
constexpr const char kTraceEnumFailed[] = "EnumPrinters Error=%d\r\n";
