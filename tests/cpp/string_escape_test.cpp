// Every string-form kernel against the byte-by-byte model, written through a
// buffer that gives no more room than asked for, so that the kernels stop and
// resume as escapes eat the room (and the sanitizers see any write past it).
#include "json/lex/string_escape.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "test_support.h"

namespace quorl::json {
namespace {

// Room exactly as asked for, in a block of its own each time.
struct TightOut {
  std::unique_ptr<char[]> data;
  std::size_t size = 0, capacity = 0;
  char* room(std::size_t n) {
    if (capacity - size < n) {
      auto bigger = std::make_unique<char[]>(size + n);
      if (size != 0) std::memcpy(bigger.get(), data.get(), size);
      data = std::move(bigger);
      capacity = size + n;
    }
    return data.get() + size;
  }
  const char* limit() const { return data.get() + capacity; }
  void commit_to(char* w) { size = static_cast<std::size_t>(w - data.get()); }
  std::string text() const { return {data.get(), size}; }
};

// put_string_form with a given kernel instead of the one in use.
std::string string_form_by(EscapeFunction kernel, std::string_view text) {
  TightOut out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  char* w = out.room(text.size() + 2 + kEscapeRoom);
  *w++ = '"';
  std::size_t i = kernel(p, 0, text.size(), w, out.limit());
  while (i < text.size()) {
    out.commit_to(w);
    w = out.room(text.size() - i + 1 + kEscapeRoom);
    i = kernel(p, i, text.size(), w, out.limit());
  }
  *w++ = '"';
  out.commit_to(w);
  return out.text();
}

class EscapeKernelTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  EscapeFunction kernel() const { return escape_kernels()[GetParam()].kernels.escape; }
};

TEST_P(EscapeKernelTest, RandomTextsOfEveryDensityMatchTheModel) {
  std::mt19937 rng(29);
  const char kBytes[] = {'a', 'b', '"', '\\', '\0', '\x1F', '\n', '\x7F', ' ', '\xC3', '\xA9'};
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = rng() % 300;
    // From no escapes to nothing else.
    const unsigned special_share = rng() % 9;
    std::string text(size, 'x');
    for (char& c : text) c = rng() % 8 < special_share ? kBytes[2 + rng() % 4] : kBytes[rng() % 11];
    ASSERT_EQ(string_form_by(kernel(), text), qtest::reference_string_form(text))
        << qtest::quote_bytes(text);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, EscapeKernelTest,
                         ::testing::Range<std::size_t>(0, escape_kernels().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return std::string(escape_kernels()[info.param].name);
                         });

}  // namespace
}  // namespace quorl::json
