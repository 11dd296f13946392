// Deep documents through the core's entry points on a thread with a small
// stack: nesting must cost heap, not C stack. Each row is a document built
// level by level together with its expected canonical text and the offsets
// of its brackets and levels, so the expected outcome (bytes, or which
// refusal at which offset) comes from this model, not from the code.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "core/hash/sha256.h"
#include "test_support.h"

namespace {

using quorl::QuorlError;
using quorl::Result;

constexpr std::string_view kFloatMessage =
    "floats are forbidden in canonical content; pre-represent as int or string";

// The sanitizers' frames are several times larger than the release build's.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackSize = 512 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kStackSize = 512 * 1024;
#else
constexpr std::size_t kStackSize = 64 * 1024;
#endif
#else
constexpr std::size_t kStackSize = 64 * 1024;
#endif

// What sits inside the innermost level.
enum class Bottom { One, Float, DuplicateKey };

struct Model {
  std::string text;
  std::string canonical;
  std::vector<std::size_t> brackets;  // offset of every opening bracket
  std::vector<std::size_t> levels;    // offset of every decoded container
  std::size_t float_at = quorl::kNoOffset;
};

// shape, outermost first: 'a' [..], 'o' {"k":..}, 'A' {"$arr":[..]},
// 'O' {"$obj":{"k":..}}.
Model build(std::string_view shape, Bottom bottom) {
  Model m;
  std::string close_text, close_canonical;
  // One container level: its text, how many brackets the text opens, its
  // canonical opening, and the closings of both.
  auto open = [&](std::string_view text, std::size_t raw, std::string_view canonical,
                  std::string_view text_end, std::string_view canonical_end) {
    m.levels.push_back(m.text.size());
    for (std::size_t k = 0; k < text.size() && raw > 0; ++k) {
      if (text[k] == '[' || text[k] == '{') {
        m.brackets.push_back(m.text.size() + k);
        --raw;
      }
    }
    m.text += text;
    m.canonical += canonical;
    close_text.insert(0, text_end);
    close_canonical.insert(0, canonical_end);
  };
  for (char c : shape) {
    if (c == 'a') open("[", 1, "[", "]", "]");
    if (c == 'o') open("{\"k\":", 1, "{\"k\":", "}", "}");
    if (c == 'A') open("{\"$arr\":[", 2, "[", "]}", "]");
    if (c == 'O') open("{\"$obj\":{\"k\":", 2, "{\"k\":", "}}", "}");
  }
  if (bottom == Bottom::One) {
    m.text += "1";
    m.canonical += "1";
  } else if (bottom == Bottom::Float) {
    m.float_at = m.text.size();
    m.text += "0.5";
  } else {
    open("{\"d\":1,\"d\":2}", 1, "{\"d\":2}", "", "");
  }
  m.text += close_text;
  m.canonical += close_canonical;
  return m;
}

Result<std::string> located(std::string_view message, std::size_t offset) {
  return quorl::fail(QuorlError{std::string(message), offset, 1, offset + 1});
}

// The gate bounds raw brackets at 257, the decoder levels at 128; a float
// left at the bottom is the encoder's refusal.
Result<std::string> expected(const Model& m) {
  if (m.brackets.size() > 257) return located(qtest::kDepthMsg, m.brackets[257]);
  if (m.levels.size() > 128) return located(qtest::kDepthMsg, m.levels[128]);
  if (m.float_at != quorl::kNoOffset) return located(kFloatMessage, m.float_at);
  return m.canonical;
}

// One comparable line per outcome: the bytes, or the refusal and where.
std::string show(const Result<std::string>& r) {
  if (r.ok()) return "ok " + r.value();
  const QuorlError& e = r.error();
  return "refused " + e.message + " at " + std::to_string(e.offset) + " (" +
         std::to_string(e.line) + ":" + std::to_string(e.column) + ")";
}

struct Outcomes {
  Result<std::string> exact = quorl::fail(QuorlError{"not run"});
  Result<std::string> bytes = quorl::fail(QuorlError{"not run"});
  Result<std::string> digest = quorl::fail(QuorlError{"not run"});
};

struct Job {
  const std::string* text;
  Outcomes out;
};

void* run_entry_points(void* arg) {
  Job& job = *static_cast<Job*>(arg);
  const std::string& text = *job.text;
  {
    auto value = quorl::decode_input_json(text);
    if (!value.ok()) {
      job.out.exact = quorl::fail(value.error());
    } else {
      std::string out;
      if (auto fault = quorl::encode_value_into(out, value.value(), 0)) {
        QuorlError e = fault->error();
        quorl::locate(e, text);
        job.out.exact = quorl::fail(e);
      } else {
        job.out.exact = out;
      }
    }
  }
  job.out.bytes = quorl::py_canonical_bytes_from_json(text);
  job.out.digest = quorl::py_digest_from_json(text, "run");
  return nullptr;
}

Outcomes on_small_stack(const std::string& text) {
  Job job{&text, {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  // Some targets refuse a stack this small (aarch64 glibc: 128 KiB at least).
  const std::size_t size = std::max<std::size_t>(kStackSize, PTHREAD_STACK_MIN);
  EXPECT_EQ(pthread_attr_setstacksize(&attr, size), 0);
  pthread_t thread;
  const int created = pthread_create(&thread, &attr, run_entry_points, &job);
  EXPECT_EQ(created, 0);
  if (created == 0) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return job.out;
}

std::string digest_of(const std::string& canonical) {
  quorl::Sha256 hash;
  hash.feed("spec-quorl:v2:run\n");
  hash.feed(canonical);
  return quorl::to_hex(hash.finish());
}

struct DeepRow {
  const char* name;
  std::string shape;
  Bottom bottom;
};

// gtest would otherwise print the row's bytes, padding included.
void PrintTo(const DeepRow& row, std::ostream* os) {
  *os << row.name;
}

std::string times(std::string_view unit, std::size_t n) {
  std::string out;
  for (std::size_t k = 0; k < n; ++k) out += unit;
  return out;
}

class DeepNesting : public ::testing::TestWithParam<DeepRow> {};

TEST_P(DeepNesting, SameOutcomeOnASmallStack) {
  const DeepRow& row = GetParam();
  const Model m = build(row.shape, row.bottom);
  const Result<std::string> want = expected(m);
  const Outcomes got = on_small_stack(m.text);
  EXPECT_EQ(show(got.exact), show(want)) << "decode_input_json + encode_value_into";
  EXPECT_EQ(show(got.bytes), show(want)) << "py_canonical_bytes_from_json";
  const Result<std::string> want_digest =
      want.ok() ? Result<std::string>(digest_of(want.value())) : want;
  EXPECT_EQ(show(got.digest), show(want_digest)) << "py_digest_from_json";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeepNesting,
    ::testing::Values(DeepRow{"arrays_128", times("a", 128), Bottom::One},
                      DeepRow{"objects_128", times("o", 128), Bottom::One},
                      DeepRow{"arr_tags_128", times("A", 128), Bottom::One},
                      DeepRow{"obj_tags_128", times("O", 128), Bottom::One},
                      DeepRow{"mix_128", times("aoAO", 32), Bottom::One},
                      DeepRow{"arrays_129", times("a", 129), Bottom::One},
                      DeepRow{"objects_129", times("o", 129), Bottom::One},
                      DeepRow{"plain_then_tags_129_levels_257_raw", "o" + times("A", 128),
                              Bottom::One},
                      DeepRow{"arrays_257_raw", times("a", 257), Bottom::One},
                      DeepRow{"mix_257_raw", times("oA", 85) + "oa", Bottom::One},
                      DeepRow{"arrays_258_raw", times("a", 258), Bottom::One},
                      DeepRow{"tags_258_raw", times("A", 129), Bottom::One},
                      DeepRow{"float_under_128", times("aoAO", 32), Bottom::Float},
                      DeepRow{"float_under_128_tags", times("A", 128), Bottom::Float},
                      DeepRow{"duplicate_under_127", times("oA", 63) + "a", Bottom::DuplicateKey},
                      DeepRow{"duplicate_as_level_129", times("Oa", 64), Bottom::DuplicateKey}),
    [](const ::testing::TestParamInfo<DeepRow>& info) { return std::string(info.param.name); });

}  // namespace
