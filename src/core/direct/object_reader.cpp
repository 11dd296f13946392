// The direct reader's objects, up to their close: each member's key and
// value, the common compact member read in one step, and the members whose
// keys follow those kept from an earlier object at the same depth.
#include "core/direct/direct_reader.h"
#include "json/lex/string_escape.h"
#include "json/lex/string_lexer.h"

namespace quorl::direct_detail {

// The value of the member at `at`, whose key and colon are read, and what
// follows it.
inline DirectReader::Next DirectReader::member_value(std::size_t at, bool first, bool tags_on,
                                                     Parsed& first_value) {
  Member* m = &members_[at];
  skip_ws();
  // Only the payload of a "$obj" wrapper is read with tags off; whether
  // this object is such a wrapper shows once it closes.
  const bool payload_of_obj = first && tags_on && key_of(*m) == "$obj";
  Parsed v;
  m->records_first = objects_.size();
  if (!value(!payload_of_obj, v)) return Next::Fault;
  m = &members_[at];  // the objects inside may have moved the stack
  m->records_end = objects_.size();
  if (first) first_value = v;
  m->end = raw_pos();
  return after_element('}');
}

// The common member in compact text: `"key":` with an unescaped key, and
// then most often a plain string, a short unsigned integer or a literal,
// and ',' or '}'. Read with the positions in registers and stored once,
// without the general member's steps. Any other value is left to the
// general reading of values (Value); any other key to general_key (Not).
// Known: the key is known to be `known`, with its quote and colon (see
// SiblingKeys).
template <bool Known>
inline DirectReader::Quick DirectReader::quick_member(bool first, Parsed& first_value,
                                                      const SiblingKey* known) {
  const unsigned char* const p = p_;
  const std::size_t n = n_;
  const std::size_t kb = i_ + 1;
  std::size_t ke;
  if constexpr (Known) {
    ke = kb + known->size;
  } else {
    ke = specials_.next(kb);
    if (n - ke <= 2 || p[ke] != '"' || p[ke + 1] != ':' || ke - kb > UINT32_MAX) return Quick::Not;
  }
  const std::size_t v = ke + 2;
  std::size_t end = 0;  // past a plain scalar, or 0
  Raw raw = Raw::Null;
  switch (p[v]) {
    case '"': {
      const std::size_t quote = specials_.next(v + 1);
      if (quote < n && p[quote] == '"') end = quote + 1;
      raw = Raw::String;
      break;
    }
    case 't':
      end = literal_end(v, "true");
      raw = Raw::True;
      break;
    case 'f':
      end = literal_end(v, "false");
      raw = Raw::False;
      break;
    case 'n':
      end = literal_end(v, "null");
      raw = Raw::Null;
      break;
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      end = short_integer_end(v);
      raw = Raw::Number;
      break;
    default:
      break;
  }
  Member& m = members_.emplace_back_for_overwrite();
  m.key_offset = kb;
  m.key_size = static_cast<std::uint32_t>(ke - kb);
  m.in_keys = false;
  if constexpr (Known)
    m.prefix = known->prefix;
  else
    m.prefix = text_key_prefix(kb, ke - kb);
  m.begin = kb - 1 + static_cast<std::size_t>(offset_);
  // Anything else after the value (whitespace, or a byte glued on) is the
  // general reading's to judge.
  if (end == 0 || end >= n || (p[end] != ',' && p[end] != '}')) {
    i_ = v;
    return Quick::Value;
  }
  const std::size_t objects = objects_.size();
  if (first) first_value = {raw};
  m.end = end + static_cast<std::size_t>(offset_);
  m.records_first = objects;
  m.records_end = objects;
  i_ = end + 1;
  if (p[end] == '}') return Quick::Close;
  skip_ws();
  return Quick::More;
}

bool DirectReader::object(bool tags_on, Parsed& parsed) {
  const std::size_t open = raw_pos();
  ++i_;
  if (++depth_ > kDirectMaxRawDepth) return false;
  // Claimed now so that records stay in document order; given back at the
  // close if the canonical text needs nothing of this object.
  const std::size_t record = objects_.size();
  objects_.emplace_back();
  const std::size_t changes_before = changed_;
  const std::size_t reordered_before = reordered_;
  skip_ws();
  const std::size_t base = members_.size();
  const std::size_t keys_base = keys_.size();
  Parsed first_value{Raw::Null};
  SiblingSlot* followed = nullptr;  // the keys kept that are all of this object's
  if (i_ < n_ && p_[i_] == '}') {
    ++i_;
  } else {
    Next next = Next::More;
    // While the keys are those kept for this depth and first key, in turn.
    const std::size_t slot =
        n_ - i_ > kSiblingCompared && p_[i_] == '"' ? siblings_.slot(depth_, i_ + 1) : kNoSibling;
    if (SiblingSlot* const sibling = siblings_.kept(slot)) {
      std::size_t j = 0;
      const SiblingKey* const keys = siblings_.keys(*sibling);
      while (n_ - i_ > kSiblingCompared && p_[i_] == '"' && keys[j].same(p_, i_ + 1)) {
        const Quick quick = quick_member<true>(j == 0, first_value, &keys[j]);
        next = quick == Quick::More    ? Next::More
               : quick == Quick::Close ? Next::Close
                                       : member_value(base + j, j == 0, tags_on, first_value);
        if (next != Next::More || ++j == sibling->count) {
          if (next == Next::Close && j + 1 == sibling->count) followed = sibling;
          break;
        }
      }
    }
    while (next == Next::More) {
      if (i_ >= n_ || p_[i_] != '"') return false;
      const std::size_t at = members_.size();
      const bool first = at == base;
      const Quick quick = quick_member<false>(first, first_value, nullptr);
      if (quick == Quick::More) continue;
      if (quick == Quick::Close) break;
      if (quick == Quick::Not && !general_key(at)) return false;
      next = member_value(at, first, tags_on, first_value);
    }
    if (next == Next::Fault) return false;
  }
  return close_object(tags_on, parsed, open, record, changes_before, reordered_before, base,
                      keys_base, first_value, followed);
}

// The key of the member at i_ and its colon, when it is not the quick
// kind (escapes, or whitespace before the colon): onto the member stack,
// at `at`.
bool DirectReader::general_key(std::size_t at) {
  Member* m = &members_.emplace_back_for_overwrite();  // every field is set by the caller and here
  m->begin = raw_pos();
  std::size_t kb, ke;
  bool esc;
  const std::size_t keys_mark = keys_.size();
  const std::size_t quote = i_;
  if (!read_key(kb, ke, esc)) return false;
  m = &members_[at];
  if (esc) {
    if (!escaped_key(*m, keys_mark, quote)) return false;
  } else {
    if (ke - kb > UINT32_MAX) return false;
    m->in_keys = false;
    m->key_offset = kb;
    m->key_size = static_cast<std::uint32_t>(ke - kb);
    if (!colon()) return false;
  }
  // The escaped key is alone in keys_.
  m->prefix =
      m->in_keys ? key_order::prefix_of(key_of(*m)) : text_key_prefix(m->key_offset, m->key_size);
  return true;
}

// A key that had escapes, decoded into keys_ from keys_mark on: written in
// canonical form in place of its text from `quote`, then its colon. Out of
// line, as rare.
bool DirectReader::escaped_key(Member& m, std::size_t keys_mark, std::size_t quote) {
  if (keys_.size() - keys_mark > UINT32_MAX) return false;
  flush(quote);
  m.in_keys = true;
  m.key_offset = keys_mark;
  m.key_size = static_cast<std::uint32_t>(keys_.size() - keys_mark);
  encoded_key_.clear();
  json::append_string_form(encoded_key_, std::string_view(keys_.data() + keys_mark, m.key_size));
  put(encoded_key_.data(), encoded_key_.size());
  resume();  // past the closing quote
  return colon();
}

// Reads the key at i_ (at its opening quote). Without escapes the bytes
// stay in the text, [raw_begin, raw_end), and *has_escapes is false. With
// them the key is decoded onto keys_.
bool DirectReader::read_key(std::size_t& raw_begin, std::size_t& raw_end, bool& has_escapes) {
  ++i_;  // opening quote
  raw_begin = i_;
  const std::size_t j = specials_.next(i_);
  if (j < n_ && p_[j] == '"') [[likely]] {
    raw_end = j;
    i_ = j + 1;
    has_escapes = false;
    return true;
  }
  has_escapes = true;
  keys_.append(reinterpret_cast<const char*>(p_ + i_), j - i_);
  i_ = j;
  if (json::lex_string_rest<false>(p_, n_, i_, keys_, SpecialsFind{specials_}) !=
      json::StringEnd::Closed)
    return false;
  raw_end = i_ - 1;  // the closing quote
  return true;
}

// The colon after a key.
bool DirectReader::colon() {
  skip_ws();
  if (i_ >= n_ || p_[i_] != ':') return false;
  ++i_;
  return true;
}

}  // namespace quorl::direct_detail
