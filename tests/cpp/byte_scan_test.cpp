// The wide scans (sixteen and eight bytes a step) against a byte-by-byte
// reference, with the interesting byte at every offset across both widths.
#include <gtest/gtest.h>

#include <string>

#include "json/byte_scan.h"

namespace quorl {
namespace {

std::size_t naive_special(const std::string& s, std::size_t i) {
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    ++i;
  }
  return i;
}

std::size_t naive_quote_or_backslash(const std::string& s, std::size_t i) {
  while (i < s.size() && s[i] != '"' && s[i] != '\\') ++i;
  return i;
}

TEST(ByteScan, EveryByteAtEveryOffsetAgreesWithByteByByte) {
  // Filler mixes ASCII and bytes >= 0x80, which must never be taken for
  // control bytes by the signed/unsigned tricks of the wide tests.
  const std::string filler = "ab\x80\xff" "cd\xc3\xa9" "efgh\x7f ijklmnopqrstuvwxyz0123456789ABCDEF";
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t len = 0; len <= 48; ++len) {
      for (std::size_t pos = 0; pos <= len; ++pos) {
        std::string s = filler.substr(0, len);
        if (pos < len) s[pos] = static_cast<char>(byte);
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        for (std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
          if (start > len) continue;
          ASSERT_EQ(find_string_special(p, start, len), naive_special(s, start))
              << "byte " << byte << " len " << len << " pos " << pos << " start " << start;
          ASSERT_EQ(find_quote_or_backslash(p, start, len), naive_quote_or_backslash(s, start))
              << "byte " << byte << " len " << len << " pos " << pos << " start " << start;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorl
