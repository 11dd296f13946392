#include "core/rules/float_tokens.h"

#include <cstring>

#include "core/rules/float_text.h"
#include "core/rules/number_token.h"

namespace quorl {

namespace {
// The gap between two floats ("], [") is copied as one word when short.
constexpr std::size_t kGapWord = 16;
}  // namespace

QuotedFloats quote_float_tokens(std::string_view text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // A float's string is seldom much longer than its token: room for a
  // quarter more is enough for most texts, and more is made as needed.
  out.resize(n + n / 4 + 2 * kFloatTextMax);
  std::size_t w = 0;       // bytes of out written
  std::size_t copied = 0;  // bytes of text written to out
  bool quoted = false;
  bool exact = false;
  for_each_number_start(text, [&](std::size_t begin) {
    // The string is written in place after the gap since the last float,
    // and kept only for a float token: integers and bad tokens (which the
    // gate refuses) stay as they are. A short gap is copied beforehand as
    // one word; a long one only once the token is known to be a float, so
    // that the integers after a float do not copy it again each.
    const std::size_t gap = begin - copied;
    const std::size_t need = w + gap + kGapWord + kFloatTextMax + 2;
    if (need > out.size()) out.resize(need + out.size() / 2);
    char* dst = out.data() + w + gap;
    const bool short_gap = gap <= kGapWord && copied + kGapWord <= n;
    if (short_gap) std::memcpy(out.data() + w, text.data() + copied, kGapWord);
    const FloatTokenAt token = float_token_at(p, begin, n, dst + 1);
    if (token.text.kind == FloatTokenText::Kind::NotFloat) return token.end;
    // A key must be a string: a number there is refused however it reads.
    const std::size_t next = skip_whitespace(p, token.end, n);
    if (token.text.kind == FloatTokenText::Kind::Overflow || (next < n && p[next] == ':')) {
      exact = true;
      return n;
    }
    if (!short_gap) std::memcpy(out.data() + w, text.data() + copied, gap);
    dst[0] = '"';
    dst[token.text.size + 1] = '"';
    w = static_cast<std::size_t>(dst - out.data()) + token.text.size + 2;
    copied = token.end;
    quoted = true;
    return token.end;
  });
  if (exact) return QuotedFloats::Exact;
  if (!quoted) return QuotedFloats::None;
  const std::size_t rest = n - copied;
  if (w + rest > out.size()) out.resize(w + rest);
  std::memcpy(out.data() + w, text.data() + copied, rest);
  out.resize(w + rest);
  return QuotedFloats::Quoted;
}

}  // namespace quorl
