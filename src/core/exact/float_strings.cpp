#include "core/exact/float_strings.h"

#include <cstring>
#include <variant>
#include <vector>

#include "core/rules/float_text.h"
#include "core/rules/float_tokens.h"
#include "core/rules/number_token.h"

namespace quorl {

std::optional<Message> judge_number_token_as_string(const unsigned char* t,
                                                    std::size_t len) noexcept {
  char repr[kFloatTextMax];
  switch (float_token_text(t, len, repr).kind) {
    case FloatTokenText::Kind::Text:
      return std::nullopt;
    case FloatTokenText::Kind::Overflow:
      return msg::kInfinity;
    case FloatTokenText::Kind::NotFloat:
      break;
  }
  return judge_number_token(t, len);
}

std::string mask_float_tokens(std::string_view text) {
  std::string masked(text);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for_each_number_token(text, [&](std::size_t begin, std::size_t end) {
    char repr[kFloatTextMax];
    // A float token is at least three bytes ("1.5", "1e5").
    if (float_token_text(p + begin, end - begin, repr).kind != FloatTokenText::Kind::NotFloat) {
      std::memset(masked.data() + begin, '0', end - begin);
      masked[begin + 1] = '.';
    }
    return true;
  });
  return masked;
}

void float_tokens_to_strings(json::JsonTree& tree, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::vector<json::JsonTree*> pending{&tree};  // the open containers stay off the C stack
  while (!pending.empty()) {
    json::JsonTree& node = *pending.back();
    pending.pop_back();
    if (auto* array = std::get_if<json::JsonArray>(&node.node)) {
      for (json::JsonTree& item : array->items) pending.push_back(&item);
    } else if (auto* object = std::get_if<json::JsonObject>(&node.node)) {
      for (json::JsonMember& member : object->members) pending.push_back(&member.value);
    } else if (auto* number = std::get_if<json::JsonNumber>(&node.node)) {
      if (number->kind != json::NumberKind::Double) continue;
      const std::size_t end = number_token_end(p, node.offset, text.size());
      char repr[kFloatTextMax];
      const FloatTokenText value = float_token_text(p + node.offset, end - node.offset, repr);
      // Anything else was refused by the gate before the reader ran.
      if (value.kind == FloatTokenText::Kind::Text)
        node.node.emplace<json::JsonString>(json::JsonString{std::string(repr, value.size)});
    }
  }
}

}  // namespace quorl
