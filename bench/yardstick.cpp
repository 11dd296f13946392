// The C++ yardstick: how fast simdjson parses (DOM) and minifies each JSON
// file given, so that run_bench.py can set quorl_core's throughput against
// the fastest general JSON reader on the same machine, in the same run.
//
//   c++ -O2 -std=c++20 bench/yardstick.cpp -lsimdjson -o yardstick
//   yardstick [--rounds N] [--min-ms MS] FILE...      (FILE "-" reads stdin)
//
// Prints one JSON object per file on its own line:
//   {"file":..., "bytes":N, "implementation":"haswell",
//    "parse_mb_s":..., "minify_mb_s":..., "parse_ns":..., "minify_ns":...}
// or {"file":..., "error":"..."} when the file cannot be read or parsed.
// MB is 10^6 bytes of input. Each figure is the median over the rounds; in a
// round the two operations take turns (the first alternating), each timed
// over enough calls to last at least --min-ms. The parser and the minify
// output buffer are allocated once per file, before timing, as a program
// that parses many documents would keep them.
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  int rounds = 9;
  double min_ms = 50.0;
  std::vector<std::string> files;
};

// Keeps the optimizer from dropping work whose result is otherwise unused.
volatile std::uint64_t g_sink = 0;

std::string json_escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

bool load(const std::string& path, simdjson::padded_string& out, std::string& error) {
  if (path != "-") {
    auto loaded = simdjson::padded_string::load(path);
    if (loaded.error()) {
      error = simdjson::error_message(loaded.error());
      return false;
    }
    out = std::move(loaded).value_unsafe();
    return true;
  }
  std::string all{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  out = simdjson::padded_string(all);
  return true;
}

// One timed operation: runs `calls` times, returns nanoseconds per call.
template <class Op>
double time_calls(Op& op, std::size_t calls) {
  const auto start = Clock::now();
  for (std::size_t i = 0; i < calls; ++i) op();
  const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return ns / static_cast<double>(calls);
}

// Calls per turn: enough for min_ms, judged from the quickest of three calls.
template <class Op>
std::size_t calibrate(Op& op, double min_ms) {
  double best = time_calls(op, 1);
  for (int i = 0; i < 2; ++i) best = std::min(best, time_calls(op, 1));
  const double wanted = min_ms * 1e6 / std::max(best, 1.0);
  return static_cast<std::size_t>(std::max(1.0, wanted + 0.999));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void measure(const std::string& path, const Settings& settings) {
  std::string error;
  simdjson::padded_string text;
  if (!load(path, text, error)) {
    std::cout << R"({"file":")" << json_escape(path) << R"(","error":")" << json_escape(error)
              << "\"}\n";
    return;
  }

  simdjson::dom::parser parser;
  bool parse_failed = false;
  auto parse = [&] {
    auto doc = parser.parse(text);
    if (doc.error()) {
      parse_failed = true;
      error = simdjson::error_message(doc.error());
      return;
    }
    g_sink = g_sink + static_cast<std::uint64_t>(doc.value_unsafe().type());
  };
  std::unique_ptr<char[]> minified(new char[text.size() + simdjson::SIMDJSON_PADDING]);
  auto minify = [&] {
    std::size_t length = 0;
    const auto failed = simdjson::minify(text.data(), text.size(), minified.get(), length);
    if (failed) {
      parse_failed = true;
      error = simdjson::error_message(failed);
      return;
    }
    g_sink = g_sink + length;
  };

  parse();  // sizes the parser's buffers, and checks that the file is JSON
  minify();
  if (parse_failed) {
    std::cout << R"({"file":")" << json_escape(path) << R"(","error":")" << json_escape(error)
              << "\"}\n";
    return;
  }
  const std::size_t parse_calls = calibrate(parse, settings.min_ms);
  const std::size_t minify_calls = calibrate(minify, settings.min_ms);
  std::vector<double> parse_ns, minify_ns;
  for (int round = 0; round < settings.rounds; ++round) {
    if (round % 2 == 0) {
      parse_ns.push_back(time_calls(parse, parse_calls));
      minify_ns.push_back(time_calls(minify, minify_calls));
    } else {
      minify_ns.push_back(time_calls(minify, minify_calls));
      parse_ns.push_back(time_calls(parse, parse_calls));
    }
  }
  const double bytes = static_cast<double>(text.size());
  const double parse_median = median(parse_ns);
  const double minify_median = median(minify_ns);
  std::printf(
      "{\"file\":\"%s\",\"bytes\":%zu,\"implementation\":\"%s\",\"parse_mb_s\":%.3f,"
      "\"minify_mb_s\":%.3f,\"parse_ns\":%.1f,\"minify_ns\":%.1f,\"rounds\":%d,"
      "\"parse_calls_per_round\":%zu,\"minify_calls_per_round\":%zu}\n",
      json_escape(path).c_str(), text.size(),
      json_escape(simdjson::get_active_implementation()->name()).c_str(),
      bytes / parse_median * 1e3, bytes / minify_median * 1e3, parse_median, minify_median,
      settings.rounds, parse_calls, minify_calls);
  std::fflush(stdout);
}

bool parse_args(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--rounds" || arg == "--min-ms") && i + 1 < argc) {
      char* end = nullptr;
      const double value = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(value > 0) || value > 1e6) return false;
      if (arg == "--rounds") {
        settings.rounds = static_cast<int>(value);
      } else {
        settings.min_ms = value;
      }
    } else if (arg.starts_with("--")) {
      return false;
    } else {
      settings.files.emplace_back(arg);
    }
  }
  return !settings.files.empty() && settings.rounds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_args(argc, argv, settings)) {
    std::fprintf(stderr, "usage: %s [--rounds N] [--min-ms MS] FILE... (- for stdin)\n", argv[0]);
    return 2;
  }
  std::cout.sync_with_stdio(true);
  for (const auto& file : settings.files) {
    measure(file, settings);
    std::cout.flush();
  }
  return 0;
}
