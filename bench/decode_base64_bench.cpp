// Throughput of DecodeBase64 against OpenSSL's EVP_DecodeBlock on the same
// clean 8 MiB base64 text, in one run. Prints its figures; gates nothing.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "intake/base64.h"

namespace {

std::string CleanBase64(size_t textLength) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(1);
  std::string text(textLength, 'A');
  for (char& c : text) c = kAlphabet[random() & 63];
  return text;
}

template <typename F>
double BestSeconds(int rounds, F run) {
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace

int main() {
  const size_t textLength = 8u << 20;  // a multiple of four: no padding
  const int rounds = 15;
  std::string text = CleanBase64(textLength);

  std::string ours;
  double oursSeconds = BestSeconds(rounds, [&] { ours = DecodeBase64(text.data(), text.size()); });

  std::vector<unsigned char> theirs(textLength / 4 * 3);
  int theirLength = 0;
  double theirSeconds = BestSeconds(rounds, [&] {
    theirLength = EVP_DecodeBlock(theirs.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
  });

  bool same = theirLength == static_cast<int>(ours.size()) &&
              std::equal(ours.begin(), ours.end(), reinterpret_cast<const char*>(theirs.data()));
  double mib = textLength / 1048576.0;
  std::printf("base64 text: %zu bytes (clean, no line breaks), best of %d rounds\n", textLength,
              rounds);
  std::printf("DecodeBase64     %8.2f ms  %8.1f MiB/s of text\n", oursSeconds * 1e3, mib / oursSeconds);
  std::printf("EVP_DecodeBlock  %8.2f ms  %8.1f MiB/s of text\n", theirSeconds * 1e3,
              mib / theirSeconds);
  std::printf("speed-up: %.2fx (goal: at least 1.50x)\n", theirSeconds / oursSeconds);
  std::printf("same bytes: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}
