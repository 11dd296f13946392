// Speed of each UTF-8 validation kernel, in GB/s, on the files named on the
// command line and on three generated inputs (all ASCII, mostly three-byte
// characters, a mix). Built and run by bench/bench_utf8.py; on its own:
//   g++ -O2 -std=c++20 -Isrc bench/bench_utf8.cpp src/json/lex/utf8_validate.cpp -o /tmp/bench_utf8
//   /tmp/bench_utf8 FILE...
// One line per input and kernel: "<input>\t<kernel>\t<bytes>\t<best seconds per pass>".
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "json/lex/utf8_validate.h"

namespace {

using quorl::json::utf8_kernels;

// Best time of one pass over text, each sample repeating passes for at
// least a few milliseconds so that the clock's grain does not matter.
double best_pass_seconds(const quorl::json::Utf8Kernel& kernel, const std::string& text) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  volatile std::size_t sink = 0;
  for (int sample = 0; sample < 7; ++sample) {
    int passes = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
      sink = sink + kernel.kernels.find(text);
      ++passes;
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < 0.02);
    best = std::min(best, elapsed / passes);
  }
  return best;
}

std::string generated(const char* kind, std::size_t size) {
  std::string out;
  out.reserve(size + 64);
  const std::string ascii = R"({"id": 12345, "name": "plain ascii text", "tags": [1, 2, 3]}, )";
  const std::string cjk =
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87";  // 5 x 3 bytes
  const std::string mix = R"({"name": "caf\xC3\xA9 \xE2\x82\xAC", "v": 1}, )";
  const std::string& piece = kind[0] == 'a' ? ascii : kind[0] == 'n' ? cjk : mix;
  while (out.size() < size) out += piece;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> inputs;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    inputs.emplace_back(name, std::string(std::istreambuf_iterator<char>(in), {}));
  }
  const std::size_t kGenerated = std::size_t{4} << 20;
  inputs.emplace_back("(generated) all ASCII, 4 MiB", generated("ascii", kGenerated));
  inputs.emplace_back("(generated) 3-byte characters, 4 MiB", generated("nonascii", kGenerated));
  inputs.emplace_back("(generated) mixed, 4 MiB", generated("mixed", kGenerated));
  for (const auto& [name, text] : inputs) {
    for (const auto& kernel : utf8_kernels()) {
      if (kernel.kernels.find(text) != quorl::json::kValidUtf8) {
        std::fprintf(stderr, "%s: not valid UTF-8\n", name.c_str());
        return 1;
      }
      std::printf("%s\t%.*s\t%zu\t%.9f\n", name.c_str(), static_cast<int>(kernel.name.size()),
                  kernel.name.data(), text.size(), best_pass_seconds(kernel, text));
    }
  }
  return 0;
}
