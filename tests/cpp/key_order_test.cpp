// The one key-order sort (core/rules/key_order.h) against a model: std::string
// keys compared byte by byte as unsigned char, sorted by std::ranges::sort
// with the original position breaking ties. Counts 0..40 cross the
// insertion-sort bound; the key sets stress bytes >= 0x80 (a signed-char
// comparison puts them before ASCII), prefixes shared up to and past the
// eight bytes a reference carries, empty keys and duplicates (stability).
#include "base/key_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/canonical_text.h"
#include "core/direct/direct_path.h"

namespace {

namespace ko = quorl::key_order;
using namespace std::string_literals;

bool model_less(const std::string& a, const std::string& b) {
  return std::ranges::lexicographical_compare(a, b, [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

std::uint64_t model_prefix(const std::string& key) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i)
    v = (v << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return v;
}

// A reference without an index: the sort must keep it stable by other means.
struct BareRef {
  std::uint64_t prefix;
  const std::string* key;
};

struct KeySet {
  const char* name;
  std::size_t shared;  // bytes of a prefix most keys share
  std::vector<std::string> alphabet;
  std::size_t max_tail;
};

std::vector<std::string> make_keys(const KeySet& set, std::size_t count, std::mt19937& rng) {
  std::string stem;
  for (std::size_t i = 0; i < set.shared; ++i) stem += set.alphabet[rng() % set.alphabet.size()];
  stem.resize(set.shared);
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < count; ++k) {
    // Some keys are a proper prefix of the stem, the rest extend it.
    std::string key = rng() % 4 == 0 ? stem.substr(0, rng() % (stem.size() + 1)) : stem;
    const std::size_t tail = rng() % (set.max_tail + 1);
    for (std::size_t i = 0; i < tail; ++i) key += set.alphabet[rng() % set.alphabet.size()];
    keys.push_back(std::move(key));
  }
  return keys;
}

class KeySort : public testing::TestWithParam<KeySet> {};

TEST_P(KeySort, SortsLikeTheModel) {
  std::mt19937 rng(2024);
  for (std::size_t count = 0; count <= 40; ++count) {
    for (int round = 0; round < 4; ++round) {
      const std::vector<std::string> keys = make_keys(GetParam(), count, rng);
      SCOPED_TRACE(testing::Message() << "count " << count << " round " << round);

      std::vector<std::uint32_t> want(count);  // positions in key order, ties in place
      for (std::uint32_t k = 0; k < count; ++k) want[k] = k;
      std::ranges::sort(want, [&keys](std::uint32_t a, std::uint32_t b) {
        return model_less(keys[a], keys[b]) || (keys[a] == keys[b] && a < b);
      });
      std::vector<std::size_t> want_equal;
      bool ascending = true;
      for (std::size_t k = 1; k < count; ++k) {
        if (keys[want[k - 1]] == keys[want[k]]) want_equal.push_back(k);
        ascending &= model_less(keys[k - 1], keys[k]);
      }

      std::vector<ko::KeyRef> refs;
      std::vector<BareRef> bare;
      for (std::uint32_t k = 0; k < count; ++k) {
        ASSERT_EQ(ko::prefix_of(keys[k]), model_prefix(keys[k])) << keys[k];
        // Bytes past the key that must not reach the prefix.
        const std::string padded = keys[k] + "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF";
        ASSERT_EQ(ko::prefix_of_readable(std::string_view(padded).substr(0, keys[k].size())),
                  model_prefix(keys[k]))
            << keys[k];
        refs.push_back({ko::prefix_of(keys[k]), k});
        bare.push_back({ko::prefix_of(keys[k]), &keys[k]});
      }
      const auto ref_key = [&keys](const ko::KeyRef& r) { return std::string_view(keys[r.index]); };
      const auto bare_key = [](const BareRef& r) { return std::string_view(*r.key); };
      const auto plain_key = [](const std::string& s) { return std::string_view(s); };
      EXPECT_EQ(ko::ascending_distinct(std::span<const ko::KeyRef>(refs), ref_key), ascending);
      EXPECT_EQ(ko::ascending_distinct(std::span<const std::string>(keys), plain_key), ascending);

      ko::sort_by_key(std::span<ko::KeyRef>(refs), ref_key);
      ko::sort_by_key(std::span<BareRef>(bare), bare_key);
      std::vector<std::uint32_t> got, got_bare;
      for (std::size_t k = 0; k < count; ++k) {
        got.push_back(refs[k].index);
        got_bare.push_back(static_cast<std::uint32_t>(bare[k].key - keys.data()));
      }
      EXPECT_EQ(got, want);
      EXPECT_EQ(got_bare, want);

      std::vector<std::size_t> equal;
      const std::span<const ko::KeyRef> sorted(refs);
      for (std::size_t i = ko::find_equal_neighbour(sorted, ref_key); i < count;
           i = ko::find_equal_neighbour(sorted, ref_key, i + 1))
        equal.push_back(i);
      EXPECT_EQ(equal, want_equal);
    }
  }
}

const std::vector<std::string> kHighBytes = {"a", "b", "\x7F", "\x80", "\xC3", "\xA9", "\xFF"};

INSTANTIATE_TEST_SUITE_P(
    KeySets, KeySort,
    testing::Values(KeySet{"high_bytes", 0, kHighBytes, 12}, KeySet{"shared_7", 7, kHighBytes, 3},
                    KeySet{"shared_8", 8, kHighBytes, 3}, KeySet{"shared_9", 9, kHighBytes, 3},
                    KeySet{"shared_16", 16, kHighBytes, 3},
                    KeySet{"nul_and_ff_after_8", 8, {"\0"s, "\xFF", "a"}, 4},
                    KeySet{"empty_and_duplicates", 0, {"x", "\xE9"}, 1}),
    [](const testing::TestParamInfo<KeySet>& info) { return std::string(info.param.name); });

// The same through both canonical paths: a signed comparison in any of them
// once dropped a member of the first document. The direct path leaves
// duplicate keys to the exact path.
TEST(KeySortEndToEnd, BothPathsOrderHighBytesAfterAscii) {
  struct Row {
    std::string text, want;
    bool direct_answers;
  };
  const Row rows[] = {
      {"{\"b\xC3\xA9\":1,\"a\xC3\xA9\":2,\"x\":1,\"x\":2}",
       "{\"a\xC3\xA9\":2,\"b\xC3\xA9\":1,\"x\":2}", false},
      {"{\"\xC3\xA9\":1,\"z\":2,\"e\":3}", "{\"e\":3,\"z\":2,\"\xC3\xA9\":1}", true},
      {"{\"abcdefg\xC3\xA9\":1,\"abcdefgz\":2,\"abcdefgh\xFF\":3,\"abcdefgh\":4}",
       "{\"abcdefgh\":4,\"abcdefgh\xFF\":3,\"abcdefgz\":2,\"abcdefg\xC3\xA9\":1}", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const auto exact = quorl::exact_canonical_text(row.text, false);
    ASSERT_TRUE(exact.ok()) << exact.error().message;
    EXPECT_EQ(exact.value(), row.want);
    std::string direct;
    ASSERT_EQ(quorl::direct_canonical(row.text, false, direct), row.direct_answers);
    if (row.direct_answers) {
      EXPECT_EQ(direct, row.want);
    }
  }
}

}  // namespace
