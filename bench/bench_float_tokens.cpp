// Time per float token of turning its text into the repr of its double:
// quorl's conversion against the standard library's (std::from_chars, then
// std::to_chars' shortest form), and std::from_chars alone, over the tokens
// of a file (one a line). Built and run by bench/bench_floats.py; on its own:
//   g++ -O2 -std=c++20 -Isrc bench/bench_float_tokens.cpp <sources> -o /tmp/bft
//   /tmp/bft TOKENS_FILE
// One line per contender: "<name>\t<best ns per token>".
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/rules/float_text.h"

namespace {

// Best time per token over samples of one pass each.
template <typename Convert>
double best_ns(const std::vector<std::string>& tokens, Convert convert) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  volatile std::size_t sink = 0;
  for (int sample = 0; sample < 9; ++sample) {
    std::size_t sum = 0;
    const auto start = Clock::now();
    for (const std::string& t : tokens) sum += convert(t);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    sink = sink + sum;
    if (ns < best) best = ns;
  }
  return best / static_cast<double>(tokens.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s TOKENS_FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  std::vector<std::string> tokens;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) tokens.push_back(line);
  if (tokens.empty()) {
    std::fprintf(stderr, "%s: no tokens\n", argv[1]);
    return 2;
  }
  char out[quorl::kFloatTextMax];
  const auto quorl_repr = [&](const std::string& t) {
    return quorl::float_token_text(reinterpret_cast<const unsigned char*>(t.data()), t.size(), out)
        .size;
  };
  const auto library_repr = [&](const std::string& t) {
    double x = 0;
    std::from_chars(t.data(), t.data() + t.size(), x);
    return static_cast<std::size_t>(std::to_chars(out, out + sizeof out, x).ptr - out);
  };
  const auto library_read = [&](const std::string& t) {
    double x = 0;
    std::from_chars(t.data(), t.data() + t.size(), x);
    return static_cast<std::size_t>(x > 0);
  };
  std::printf("quorl\t%.1f\n", best_ns(tokens, quorl_repr));
  std::printf("from_chars+to_chars\t%.1f\n", best_ns(tokens, library_repr));
  std::printf("from_chars\t%.1f\n", best_ns(tokens, library_read));
}
