// Fuzzes the PrintImage handler's body path (split, decode, store, print)
// over the fake file and printing backends, with a content reader that
// behaves as the HTTP library's does: it hands the body over in fuzz-chosen
// chunks, in the plain or the multipart form, and can fail part way as a
// dropped connection or a malformed multipart body does. Checks the answer,
// the stored file (the decoded piece between the first and second comma),
// that nothing is stored or printed for empty and multipart bodies or
// refused sizes, and the printer the job was sent to.
//
// Input, in order:
//   flags byte: bit 0 multipart; bits 1-2 length header (0 Content-Length
//     of the body, 1 chunked, 2 Content-Length text from the input, 3 none);
//     bit 3 the read fails; bit 4 folder lookup fails; bit 5 the file won't
//     open; bit 6 the write stops short; bit 7 content type in odd case.
//   parameter count byte (mod 8), then per parameter: name length byte,
//     name, value length byte, value (lengths mod 32).
//   Content-Length text: length byte (mod 24), text.
//   chunk plan: count byte (mod 16), then one byte per chunk: low 7 bits + 1
//     is its size, the high bit starts a new part in a multipart body.
//   the rest: the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <httplib.h>

#include "intake/print_image.h"
#include "tests/fakes/common/temp_file_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "common/diag.h"
#include "tests/intake/base64_reference.h"

namespace {

const char kAnswer[] = "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t\"hahah\"\n}";
const std::wstring kTempImage = L"C:\\Users\\Public\\tempVQ.JPG";
constexpr uint64_t kLimit = 64ull << 20;

std::string diagOutput;

void Capture(const std::string& bytes) { diagOutput += bytes; }

// Names the failing check's line, so a crash report says which rule broke.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

// Takes fields off the front of the input; past the end everything is empty.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t at;
};

uint8_t TakeByte(Input& in) { return in.at < in.size ? in.data[in.at++] : 0; }

std::string TakeText(Input& in, size_t length) {
  size_t n = std::min(length, in.size - in.at);
  std::string text(reinterpret_cast<const char*>(in.data + in.at), n);
  in.at += n;
  return text;
}

// The print job widens the name byte by byte; the fake records it narrowed,
// with every code above 0x7F as "?".
std::string AsRecorded(const std::string& name) {
  std::string recorded;
  for (unsigned char c : name) recorded += c < 0x80 ? static_cast<char>(c) : '?';
  return recorded;
}

// The printer: the value of the greatest name, the last of equal names,
// bytes compared unsigned.
std::string ExpectedPrinter(const std::vector<std::pair<std::string, std::string>>& params) {
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& param : params) {
    if (best == nullptr) {
      best = &param;
      continue;
    }
    const std::string& a = param.first;
    const std::string& b = best->first;
    bool greaterOrEqual = true;
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
      if (i == a.size()) {
        greaterOrEqual = false;
        break;
      }
      if (i == b.size()) break;
      unsigned char x = static_cast<unsigned char>(a[i]);
      unsigned char y = static_cast<unsigned char>(b[i]);
      if (x != y) {
        greaterOrEqual = x > y;
        break;
      }
    }
    if (greaterOrEqual) best = &param;
  }
  return best == nullptr || best->second.empty() ? "VELQ" : best->second;
}

std::vector<std::string> PrintedOn() {
  std::vector<std::string> printers;
  for (const std::string& call : FakePrintCalls()) {
    if (call.rfind("CreateDC ", 0) == 0) printers.push_back(call.substr(9));
  }
  return printers;
}

bool WriteAttempted() {
  for (const std::string& call : FakeTempFileCalls()) {
    if (call.rfind("write ", 0) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetDiagSink(Capture);
  diagOutput.clear();
  ResetFakeTempFiles();
  ResetFakePrinting();
  const std::string oldImage = "old image";
  SetFakeFileContent(kTempImage, oldImage);

  Input in{data, size, 0};
  uint8_t flags = TakeByte(in);
  bool multipart = (flags & 1) != 0;
  int lengthMode = (flags >> 1) & 3;
  bool readFails = (flags & 8) != 0;
  bool folderFails = (flags & 16) != 0;
  bool openFails = (flags & 32) != 0;
  bool writeShort = (flags & 64) != 0;
  bool oddCase = (flags & 128) != 0;

  std::vector<std::pair<std::string, std::string>> params;
  int paramCount = TakeByte(in) % 8;
  for (int i = 0; i < paramCount; ++i) {
    std::string name = TakeText(in, TakeByte(in) % 32);
    std::string value = TakeText(in, TakeByte(in) % 32);
    params.emplace_back(name, value);
  }
  std::string lengthText = TakeText(in, TakeByte(in) % 24);
  std::vector<uint8_t> plan;
  int chunkCount = TakeByte(in) % 16;
  for (int i = 0; i < chunkCount; ++i) plan.push_back(TakeByte(in));
  std::string body = TakeText(in, size);

  httplib::Request req;
  req.method = "POST";
  req.path = "/vqapi/PrintImage";
  for (const auto& param : params) req.params.emplace(param.first, param.second);
  if (multipart) {
    std::string type = oddCase ? "multipart/form-data; BOUNDARY=\"b\"" : "multipart/form-data; boundary=b";
    req.set_header("Content-Type", type);
  } else if (oddCase) {
    // Not the library's multipart test: it compares case-sensitively.
    req.set_header("Content-Type", "Multipart/Form-Data; boundary=b");
  } else {
    req.set_header("Content-Type", "text/plain");
  }
  switch (lengthMode) {
    case 0:
      req.set_header("Content-Length", std::to_string(body.size()));
      break;
    case 1:
      req.set_header("Transfer-Encoding", "chunked");
      break;
    case 2:
      req.set_header("Content-Length", lengthText);
      break;
    default:
      break;
  }
  // The library refuses header values with a line break in them: then there
  // is no length at all, as no request off the wire can carry one.
  if (lengthMode == 2 && !req.has_header("Content-Length")) lengthMode = 3;
  bool isMultipart = req.is_multipart_form_data();
  bool declared = lengthMode == 0 || lengthMode == 2;
  // The library takes a length of digits alone; any other ("-1", "+5",
  // " 7") fails its read before a byte of the body.
  bool lengthValid = lengthMode != 2 || (!lengthText.empty() &&
                                         std::all_of(lengthText.begin(), lengthText.end(),
                                                     [](unsigned char c) { return c >= '0' && c <= '9'; }));
  uint64_t declaredLength = lengthMode == 0 ? body.size()
                            : lengthMode == 2 && lengthValid ? std::strtoull(lengthText.c_str(), nullptr, 10)
                                                             : 0;
  bool tooLarge = declared && declaredLength > kLimit;
  // With a declared length within bounds the library reads exactly that
  // many bytes; a body that ends sooner is a dropped connection.
  std::string sent = body;
  if (!lengthValid) {
    sent.clear();
    readFails = true;
  } else if (declared && !tooLarge) {
    if (declaredLength < sent.size()) {
      sent.resize(static_cast<size_t>(declaredLength));
    } else if (declaredLength > sent.size()) {
      readFails = true;
    }
  }

  httplib::Response res;
  int readerCalls = 0;
  size_t delivered = 0;
  bool libraryFailed = false;
  // Hands `sent` over chunk by chunk; a new part header where the plan says.
  auto deliver = [&](const httplib::ContentReceiver& receiver, const httplib::FormDataHeader* header) {
    size_t step = 0;
    bool firstChunk = true;
    size_t stopAt = readFails ? sent.size() / 2 : sent.size();
    while (delivered < stopAt) {
      uint8_t chunk = plan.empty() ? 0xFF : plan[step++ % plan.size()];
      size_t n = plan.empty() ? stopAt - delivered : std::min<size_t>((chunk & 0x7F) + 1, stopAt - delivered);
      if (header != nullptr && (firstChunk || (chunk & 0x80))) {
        httplib::FormData part;
        part.name = "file";
        part.filename = "label.png";
        part.content_type = "text/plain";
        if (!(*header)(part)) {
          libraryFailed = true;
          res.status = 400;
          return false;
        }
      }
      firstChunk = false;
      if (!receiver(sent.data() + delivered, n)) {
        libraryFailed = true;
        res.status = 400;
        return false;
      }
      delivered += n;
    }
    if (readFails) {
      libraryFailed = true;
      res.status = 400;
      return false;
    }
    return true;
  };
  httplib::ContentReader reader(
      [&](httplib::ContentReceiver receiver) {
        // The library calls its multipart callbacks for a multipart body,
        // which the plain form doesn't give it: that throws.
        Check(!isMultipart);
        Check(++readerCalls == 1);  // a second read would eat the next request
        return deliver(receiver, nullptr);
      },
      [&](httplib::FormDataHeader header, httplib::ContentReceiver receiver) {
        Check(isMultipart);
        Check(++readerCalls == 1);
        if (readFails) {
          // A malformed multipart body: refused before any part.
          libraryFailed = true;
          res.status = 400;
          return false;
        }
        return deliver(receiver, &header);
      });

  FakeTempFileFaults faults;
  faults.folderFails = folderFails;
  faults.openFails = openFails;
  faults.writeShort = writeShort;
  SetFakeTempFileFaults(faults);
  HandlePrintImage(req, res, reader);

  // Cross-origin headers on every answer, each once.
  Check(res.get_header_value_count("Access-Control-Allow-Origin") == 1);
  Check(res.get_header_value("Access-Control-Allow-Origin") == "*");
  Check(res.get_header_value("Access-Control-Allow-Methods") == "GET, OPTIONS, POST, HEAD");
  Check(res.get_header_value("Access-Control-Allow-Headers") == "Origin, X-Requested-With, Content-Type, Accept");

  // Each parameter logged, then all of them again and an empty line.
  std::string context;
  for (const auto& param : req.params) context += param.first + " = " + param.second + "\n";
  std::string logStart = context + context + "\n";
  Check(diagOutput.compare(0, logStart.size(), logStart) == 0);

  std::string stored;
  bool haveFile = FakeFileContent(kTempImage, &stored);
  std::vector<std::string> printers = PrintedOn();

  if (tooLarge) {
    Check(res.status == 413);
    Check(res.body.empty());  // the library's error page replaces it
    Check(!WriteAttempted() && haveFile && stored == oldImage);
    Check(FakePrintCalls().empty());
    Check(readerCalls == 1);  // drained, so the connection can go on
    return 0;
  }

  // The library's failure status stays; otherwise the default (200).
  Check(res.status == (libraryFailed ? 400 : -1));
  Check(res.body == kAnswer);
  Check(res.get_header_value("Content-Type") == "application/json");
  Check(readerCalls == 1);
  Check(libraryFailed || delivered == sent.size());

  std::string arrived = sent.substr(0, delivered);
  // A body the library could not read whole is never stored or printed.
  if (isMultipart || arrived.empty() || libraryFailed) {
    Check(!WriteAttempted() && haveFile && stored == oldImage);
    Check(FakePrintCalls().empty());
    return 0;
  }

  size_t first = arrived.find(',');
  std::string piece;
  if (first == std::string::npos) {
    piece = arrived;
  } else {
    size_t second = arrived.find(',', first + 1);
    piece = arrived.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  }
  std::string expected = ReferenceDecode(piece);

  if (folderFails) {
    Check(!WriteAttempted() && haveFile && stored == oldImage);
    Check(FakePrintCalls().empty());
  } else if (openFails) {
    Check(WriteAttempted() && haveFile && stored == oldImage);
    Check(FakePrintCalls().empty());
  } else if (writeShort) {
    Check(haveFile && stored == expected.substr(0, expected.size() / 2));
    Check(FakePrintCalls().empty());
  } else {
    Check(haveFile && stored == expected);
    Check(printers.size() == 1 && printers[0] == AsRecorded(ExpectedPrinter(params)));
  }
  return 0;
}
