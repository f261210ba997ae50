// Throughput of DecodeBase64 against OpenSSL's EVP_DecodeBlock on the same
// clean 8 MiB base64 text, in one run. Prints its figures; gates nothing.
// The two take turns, round after round, so that the machine's drift hits
// both; the speed-up is the median of the rounds' ratios.
#include <openssl/evp.h>

#include <algorithm>
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

// The best of a few calls: one call of a few milliseconds is at the mercy
// of a single interruption.
template <typename F>
double BestSeconds(int calls, F run) {
  double best = 1e9;
  for (int i = 0; i < calls; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main() {
  const size_t textLength = 8u << 20;  // a multiple of four: no padding
  const int rounds = 11;
  const int callsPerRound = 3;
  std::string text = CleanBase64(textLength);

  std::string ours;
  std::vector<unsigned char> theirs(textLength / 4 * 3);
  int theirLength = 0;
  auto decodeOurs = [&] { ours = DecodeBase64(text.data(), text.size()); };
  auto decodeTheirs = [&] {
    theirLength = EVP_DecodeBlock(theirs.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
  };
  // Warm: the output's pages, the text in the caches.
  decodeOurs();
  decodeTheirs();

  double mib = textLength / 1048576.0;
  std::printf("base64 text: %zu bytes (clean, no line breaks), %d rounds, best of %d calls each\n", textLength,
              rounds, callsPerRound);
  std::vector<double> speedUps;
  for (int round = 1; round <= rounds; ++round) {
    double oursSeconds = BestSeconds(callsPerRound, decodeOurs);
    double theirSeconds = BestSeconds(callsPerRound, decodeTheirs);
    speedUps.push_back(theirSeconds / oursSeconds);
    std::printf("round %2d: DecodeBase64 %6.2f ms (%7.1f MiB/s), EVP_DecodeBlock %6.2f ms (%7.1f MiB/s), %.2fx\n",
                round, oursSeconds * 1e3, mib / oursSeconds, theirSeconds * 1e3, mib / theirSeconds,
                speedUps.back());
  }

  bool same = theirLength == static_cast<int>(ours.size()) &&
              std::equal(ours.begin(), ours.end(), reinterpret_cast<const char*>(theirs.data()));
  std::printf("speed-up: %.2fx (%.2f-%.2f), median of %d rounds (goal: at least 1.50x)\n", Median(speedUps),
              *std::min_element(speedUps.begin(), speedUps.end()),
              *std::max_element(speedUps.begin(), speedUps.end()), rounds);
  std::printf("same bytes: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}
