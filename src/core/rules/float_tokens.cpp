#include "core/rules/float_tokens.h"

#include <cstring>

#include "core/rules/float_text.h"
#include "core/rules/number_token.h"

namespace quorl {

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
  for_each_number_token(text, [&](std::size_t begin, std::size_t end) {
    // The string is written in place, and kept only for a float token:
    // integers and bad tokens (which the gate refuses) stay as they are.
    const std::size_t need = w + (begin - copied) + kFloatTextMax + 2;
    if (need > out.size()) out.resize(need + out.size() / 2);
    char* dst = out.data() + w + (begin - copied);
    const FloatTokenText value = float_token_text(p + begin, end - begin, dst + 1);
    if (value.kind == FloatTokenText::Kind::NotFloat) return true;
    // A key must be a string: a number there is refused however it reads.
    const std::size_t next = skip_whitespace(p, end, n);
    if (value.kind == FloatTokenText::Kind::Overflow || (next < n && p[next] == ':')) {
      exact = true;
      return false;
    }
    std::memcpy(out.data() + w, text.data() + copied, begin - copied);
    dst[0] = '"';
    dst[value.size + 1] = '"';
    w = static_cast<std::size_t>(dst - out.data()) + value.size + 2;
    copied = end;
    quoted = true;
    return true;
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
