// Time per record of digest_record_lines on small JSON Lines records shaped
// like bench_cli.py's (8 keys out of order, a nested object, an "$int" tag,
// a short array of strings, sometimes non-ASCII), or on a file's records.
// Built against two versions of the core and run alternately by
// bench/bench_records.py; on its own:
//   g++ -O2 -std=c++20 -Isrc bench/bench_records.cpp build/X/libquorl_static.a -o
//   /tmp/bench_records /tmp/bench_records [FILE] [ROUNDS]
// Prints "<best ns per record>\t<records>\t<checksum of the digests>": the
// checksum lets the caller see that both versions give the same digests.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "core/batch/record_batch.h"

namespace {

std::string make_records(std::size_t count) {
  static const char* kWords[] = {"alpha", "beta",  "gamma",        "delta", "kappa",
                                 "sigma", "omega", "\xCE\xA9mega", "zeta"};
  std::mt19937_64 rng(1);
  const auto word = [&] { return std::string(kWords[rng() % 9]); };
  std::string out;
  for (std::size_t n = 0; n < count; ++n) {
    out += "{\"id\":" + std::to_string(n) + ",\"user\":\"" + word() + "-" +
           std::to_string(rng() % 1000000) + "\",\"tags\":[\"" + word() + "\",\"" + word() +
           "\",\"" + word() + "\"],\"score\":" +
           std::to_string(static_cast<std::int64_t>(rng() % 2000000000) - 1000000000) +
           ",\"ok\":" + (rng() % 2 ? "true" : "false") + ",\"ref\":{\"$int\":\"" +
           std::to_string(rng()) + std::to_string(rng() % 100000000000ULL) +
           "\"},\"note\":" + (rng() % 2 ? "null" : "\"" + std::string(rng() % 20, 'x') + "\"") +
           ",\"pos\":{\"x\":" + std::to_string(rng() % 1000) +
           ",\"y\":" + std::to_string(rng() % 1000) + "}}\n";
  }
  return out;
}

struct ChecksumSink final : quorl::RecordSink {
  std::uint64_t sum = 0;
  std::size_t refused_count = 0;
  void digested(std::size_t line, std::string_view hex) override {
    std::uint64_t v;
    __builtin_memcpy(&v, hex.data() + line % 56, 8);
    sum = sum * 31 + v;
  }
  void canonical(std::size_t, const quorl::CanonicalText&) override {}
  void refused(std::size_t, quorl::QuorlError) override { ++refused_count; }
};

}  // namespace

int main(int argc, char** argv) {
  std::string data;
  if (argc > 1 && std::string(argv[1]) != "-") {
    std::ifstream in(argv[1], std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), {});
  } else {
    data = make_records(20000);
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  quorl::DirectText scratch;
  double best = 1e30;
  std::size_t records = 0;
  ChecksumSink sink;
  for (int r = 0; r < rounds; ++r) {
    sink = ChecksumSink();
    const auto start = std::chrono::steady_clock::now();
    quorl::Result<std::size_t> walked = quorl::digest_record_lines(data, 1, "run", sink, scratch);
    const auto stop = std::chrono::steady_clock::now();
    if (!walked.ok() || walked.value() == 0) return 1;
    records = walked.value();
    const double ns = std::chrono::duration<double, std::nano>(stop - start).count() / records;
    if (ns < best) best = ns;
  }
  std::printf("%.1f\t%zu\t%016llx\n", best, records, static_cast<unsigned long long>(sink.sum));
  return sink.refused_count == 0 ? 0 : 1;
}
