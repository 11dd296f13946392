// The direct path's reader: one pass over the text that writes every scalar
// in its canonical form into the raw text and records the objects that the
// canonical text changes (records.h). It declines (run() gives false) at
// anything the exact path must decide. Its work is split by what it reads:
// scalars, arrays and the raw text here and in direct_reader.cpp, objects'
// members in object_reader.cpp, the close of an object (tags, records) in
// object_close.cpp, and the key order of members in member_order.cpp. What
// every value passes through is defined here, inline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_order.h"
#include "core/direct/copy_small.h"
#include "core/direct/direct_path.h"
#include "core/direct/member.h"
#include "core/direct/reader_scratch.h"
#include "core/direct/records.h"
#include "core/rules/number_token.h"
#include "core/rules/tag.h"
#include "json/lex/byte_scan.h"
#include "json/lex/special_index.h"
#include "json/lex/token_lexer.h"

namespace quorl::direct_detail {

// Extra raw capacity for the few bytes a tiny document may gain.
inline constexpr std::size_t kRawSlack = 64;

// A root array's text is handed to the hash (when reading for one) once
// this much is waiting, between two of its elements: small enough to stay
// in the processor's cache, large enough that the hand-overs cost little.
inline constexpr std::size_t kStreamBytes = std::size_t{64} << 10;

// A small object whose members are out of order, with nothing inside it that
// changes, is put in order right in the raw text (copied out and back), which
// costs less than recording its members and stepping through them when
// emitting. Larger ones are recorded, so that the copy stays small.
inline constexpr std::size_t kReorderInPlaceMaxBytes = 4096;
// An object with one reordered in place inside it is itself put in order in
// place only up to this size: it is next to a small object that records
// weigh most (a record and one per member, about as much as the text of a
// catalog's item), and a larger one costs less recorded than copied out
// and back.
inline constexpr std::size_t kNestedReorderMaxBytes = 512;

// Texts from this size on are kept uncopied where they can be (see
// text_stays_uncopied); a smaller one's copy is small and in cache, and
// cheaper than emitting its objects from records.
inline constexpr std::size_t kUncopiedTextBytes = std::size_t{64} << 10;
// While the text is uncopied, records may run this far ahead of the text
// read: a document's first objects are often out of order, and their
// records are large next to the little text before them.
inline constexpr std::size_t kUncopiedRecordBytes = std::size_t{64} << 10;

// The raw kind of a JSON value, which is what tag payload rules look at
// (not what the value decodes to).
enum class Raw : std::uint8_t { Null, True, False, Number, String, Array, Object };

// What a parsed value left behind. suppressed_tag: an object read with tag
// reading switched off that would otherwise have been a tagged form.
struct Parsed {
  Raw raw;
  bool suppressed_tag = false;
};

// The order members come out in: the k-th is members[index(k)]. A known
// order (a shape's, or kept keys') or one just sorted.
struct KnownOrder {
  const std::uint8_t* indexes;
  std::size_t operator()(std::size_t k) const noexcept { return indexes[k]; }
};
struct SortedOrder {
  const key_order::KeyRef* refs;
  std::size_t operator()(std::size_t k) const noexcept { return refs[k].index; }
};

class DirectReader {
 public:
  // raw_wanted: the raw text's capacity, made when its first byte is written.
  DirectReader(std::string_view text, bool skip_digest_key, HashPipe* stream, DirectText& doc,
               std::size_t raw_wanted);

  bool run();

 private:
  // Writing the raw text. Most of it is the text itself: between two
  // places where the canonical form differs (whitespace, a string with
  // escapes), the text is copied through in one piece when the next such
  // place, or anything that reads the raw text, comes. The text from
  // pending() to i_ is not yet copied; raw_pos() is the raw position of i_,
  // kept as an offset from i_ that changes only where the raw text departs
  // from the text. Canonical scalars are never longer than their source
  // except for escapes (\n becomes \u000a), so the reservation made up
  // front almost always suffices; need() still checks every write.
  std::size_t raw_pos() const noexcept { return i_ + static_cast<std::size_t>(offset_); }
  std::size_t written() const noexcept { return static_cast<std::size_t>(w_ - base_); }
  std::size_t pending() const noexcept { return written() - static_cast<std::size_t>(offset_); }
  // After writing in place of the text up to i_: the copying resumes at i_.
  void resume() noexcept { offset_ = static_cast<std::ptrdiff_t>(written() - i_); }

  // Whether the text is still its own raw text (nothing written, nothing
  // left out) and is to stay so: an object out of key order is then
  // recorded rather than put in order in place, which would copy all the
  // text before it. A document whose only change is key order (arrays of
  // small records, geometry) is so emitted straight from its text, and a
  // call touches no copy of it. That pays while the records grow no faster
  // than the text read (past the first few), and come to half of the text
  // at most: records that would outgrow the copy, or a change that comes
  // after many of them, would cost more than the copy alone.
  bool text_stays_uncopied() const noexcept {
    if (n_ < kUncopiedTextBytes || written() != 0 || offset_ != 0) return false;
    const std::size_t records =
        objects_.size() * sizeof(ObjectRecord) + sorted_.size() * sizeof(MemberRecord);
    return records <= i_ + kUncopiedRecordBytes && 2 * records <= n_;
  }

  // Copies the text from pending() up to `upto` through to the raw text.
  [[gnu::always_inline]] void flush(std::size_t upto) {
    const std::size_t from = pending();
    const std::size_t n = upto - from;
    need(n);
    copy_small(w_, p_ + from, n);
    w_ += n;
  }
  [[gnu::always_inline]] void need(std::size_t n) {
    if (static_cast<std::size_t>(w_end_ - w_) < n) [[unlikely]]
      grow(n);
  }
  void grow(std::size_t n);
  void put(const void* data, std::size_t n) {
    need(n);
    copy_small(w_, data, n);
    w_ += n;
  }
  void put_char(char c) {
    need(1);
    *w_++ = c;
  }

  // Lets the string reader find the ends of plain runs in the marks.
  struct SpecialsFind {
    json::SpecialIndex::Cursor& specials;
    std::size_t operator()(const unsigned char*, std::size_t i, std::size_t) const noexcept {
      return specials.next(i);
    }
  };
  // Lets the string reader write decoded text into the raw text.
  struct RawOut {
    DirectReader& reader;
    void append(const char* data, std::size_t n) { reader.put(data, n); }
  };

  // Whitespace is left out of the raw text: what precedes it is copied
  // through first.
  [[gnu::always_inline]] void skip_ws() {
    if (i_ < n_ && is_json_whitespace(p_[i_])) {
      flush(i_);
      const std::size_t end = skip_whitespace(p_, i_, n_);
      offset_ -= static_cast<std::ptrdiff_t>(end - i_);
      i_ = end;
    }
  }

  std::string_view key_of(const Member& m) const noexcept {
    const char* base = m.in_keys ? keys_.data() : reinterpret_cast<const char*>(p_);
    return {base + m.key_offset, m.key_size};
  }

  // ---- values (direct_reader.cpp): inline in the loops of the
  // containers, so that a scalar (most values) costs no call; only a
  // container is a call, and the recursion.
  [[gnu::always_inline]] bool value(bool tags_on, Parsed& parsed) {
    if (i_ >= n_) return false;
    switch (p_[i_]) {
      case '"':
        parsed.raw = Raw::String;
        return string_value();
      case '{':
        parsed.raw = Raw::Object;
        return object(tags_on, parsed);
      case '[':
        parsed.raw = Raw::Array;
        return array();
      case 't':
        parsed.raw = Raw::True;
        return literal("true");
      case 'f':
        parsed.raw = Raw::False;
        return literal("false");
      case 'n':
        parsed.raw = Raw::Null;
        return literal("null");
      default:
        parsed.raw = Raw::Number;
        return number();
    }
  }

  bool literal(std::string_view word) {
    const json::LiteralEnd end = json::lex_literal(p_, n_, i_, word);
    if (end.fault.code != Fault::None) return false;
    i_ = end.end;  // the literal is its own canonical form
    return true;
  }
  // A literal's end if `word` is spelt at `at`, else 0.
  std::size_t literal_end(std::size_t at, std::string_view word) const noexcept {
    const json::LiteralEnd end = json::lex_literal(p_, n_, at, word);
    return end.fault.code == Fault::None ? end.end : 0;
  }

  // Only plain integers within the exact bound, written as the gate accepts
  // them; everything else is a fault and belongs to the exact path. Inline
  // for the short unsigned integer, most numbers of records and tables: a
  // call costs as much as reading it, and the whole reading inline would
  // take room in every level of the recursion's frames.
  [[gnu::always_inline]] bool number() {
    const std::size_t end = short_integer_end(i_);
    // A byte such as '.' or '+' glued on makes the gate's token a float.
    if (end != 0 && (end == n_ || !is_number_token_byte(p_[end]))) [[likely]] {
      i_ = end;  // its own canonical form
      return true;
    }
    return number_in_full();
  }
  // The end of the digits of an unsigned integer at `at` with no leading
  // zero and fewer digits than the bound check starts at, or 0 for any
  // other byte there. What follows the digits is the caller's to judge.
  [[gnu::always_inline]] std::size_t short_integer_end(std::size_t at) const noexcept {
    if (p_[at] < '1' || p_[at] > '9') return 0;
    const std::size_t end = skip_digits(p_, at + 1, n_);
    return end - at < kMaxBareIntegerDigits ? end : 0;
  }
  [[gnu::noinline]] bool number_in_full();

  // A string value: without escapes and control bytes it is its own
  // canonical form and stays in the text copied through; else its
  // canonical form is written in its place.
  [[gnu::always_inline]] bool string_value() {
    const std::size_t quote = i_;
    const std::size_t j = specials_.next(i_ + 1);
    if (j < n_ && p_[j] == '"') [[likely]] {
      i_ = j + 1;
      return true;
    }
    return escaped_string(quote, j);
  }
  [[gnu::noinline]] bool escaped_string(std::size_t quote, std::size_t j);

  // ---- containers
  enum class Next { More, Close, Fault };

  // After an element: the container's closing bracket, or a comma and the
  // next element.
  [[gnu::always_inline]] Next after_element(unsigned char close) {
    skip_ws();
    if (i_ >= n_) return Next::Fault;
    if (p_[i_] == close) {
      ++i_;
      return Next::Close;
    }
    if (p_[i_] != ',') return Next::Fault;
    ++i_;
    skip_ws();
    return Next::More;
  }

  [[gnu::noinline]] bool array();
  [[gnu::noinline]] void stream_out();

  // ---- objects' members (object_reader.cpp)
  enum class Quick {
    More,   // a whole member read, and its comma
    Close,  // a whole member read, and the closing brace
    Value,  // the member's key read: its value is at i_ (or after whitespace)
    Not     // nothing read
  };
  [[gnu::noinline]] bool object(bool tags_on, Parsed& parsed);
  template <bool Known>
  [[gnu::always_inline]] inline Quick quick_member(bool first, Parsed& first_value,
                                                   const SiblingKey* known);
  [[gnu::always_inline]] inline Next member_value(std::size_t at, bool first, bool tags_on,
                                                  Parsed& first_value);
  [[gnu::noinline]] bool general_key(std::size_t at);
  bool read_key(std::size_t& raw_begin, std::size_t& raw_end, bool& has_escapes);
  [[gnu::noinline]] bool escaped_key(Member& m, std::size_t keys_mark, std::size_t quote);
  bool colon();
  // The prefix (see key_order.h) of a key that lies unescaped in the text
  // at `offset`, which goes on past it (at least the closing quote and the
  // colon).
  std::uint64_t text_key_prefix(std::size_t offset, std::size_t size) const noexcept {
    const std::string_view key(reinterpret_cast<const char*>(p_ + offset), size);
    return n_ - offset >= 8 ? key_order::prefix_of_readable(key) : key_order::prefix_of(key);
  }

  // ---- an object's close (object_close.cpp)
  // Where an object's reading stands when its members are read.
  struct OpenObject {
    std::size_t open;            // its '{' in the raw text
    std::size_t record;          // its record, claimed at the '{'
    std::size_t changes_before;  // changed_ and reordered_ at the '{'
    std::size_t reordered_before;
    std::size_t members_base;  // its members on the member stack
    std::size_t keys_base;     // its decoded keys
    Parsed first_value;        // what its first member's value was
    SiblingSlot* followed;     // the kept keys that are all of its keys, or null
  };
  // Whether the object may be put in order where it stands, as far as
  // moving bytes goes: nothing inside it was, or it is small (see
  // kNestedReorderMaxBytes) and the bytes so moved a second time or more,
  // its own included, come to at most twice the text read. Each byte is so
  // moved a bounded number of times on average whatever the nesting.
  bool may_move(const OpenObject& o) const noexcept {
    return reordered_ == o.reordered_before || may_move_again(o.open);
  }
  bool may_move_again(std::size_t open) const noexcept {
    const std::size_t span = raw_pos() - open;
    return span <= kNestedReorderMaxBytes && moved_again_ + span <= 2 * i_;
  }
  // Counts an object just reordered in place.
  void count_reordered(const OpenObject& o) noexcept {
    if (reordered_ != o.reordered_before) [[unlikely]]
      moved_again_ += raw_pos() - o.open;
    ++reordered_;
  }

  // Takes the open object's state as arguments, in registers where they
  // fit, rather than through memory: it is called at every object's close.
  [[gnu::noinline]] bool close_object(bool tags_on, Parsed& parsed, std::size_t open,
                                      std::size_t record, std::size_t changes_before,
                                      std::size_t reordered_before, std::size_t members_base,
                                      std::size_t keys_base, Parsed first_value,
                                      SiblingSlot* followed);
  [[gnu::always_inline]] inline bool close_common(const OpenObject& o, bool is_root,
                                                  const std::uint8_t*& known);
  bool tagged(Tag tag, ObjectRecord& rec, const Member& m, Parsed payload);

  // ---- members' key order (member_order.cpp)
  enum class Order {
    AsWritten,  // ascending keys, none left out: the raw text as it is
    Recorded,   // as Sorted in objects_[record]
    Reordered,  // put in order within the raw text (only when may_reorder)
    Decline     // duplicate keys (the exact path applies the later-wins rule)
  };
  [[gnu::always_inline]] inline Order order_of(const OpenObject& o, std::span<const Member> members,
                                               bool skip_digest_key, const std::uint8_t* known);
  Order sort_members(std::size_t record, std::span<const Member> members, bool skip_digest_key,
                     bool may_reorder);
  [[gnu::noinline]] Order sort_afresh(std::size_t record, std::span<const Member> members,
                                      bool ascending, bool skip_digest_key, bool may_reorder);
  [[gnu::always_inline]] const std::uint8_t* known_order(std::span<const Member> members) noexcept {
    return shapes_.find(members, [this](const Member& m) { return key_of(m); });
  }
  // Inline wherever they are called: the members' copy is most of the work.
  template <class IndexAt>
  [[gnu::always_inline]] inline Order place(std::size_t record, std::span<const Member> members,
                                            IndexAt index_at, bool skip_digest_key,
                                            bool may_reorder);
  template <class IndexAt>
  [[gnu::always_inline]] inline void copy_in_order(std::span<const Member> members,
                                                   IndexAt index_at);
  template <class IndexAt>
  void reorder_in_place(std::span<const Member> members, IndexAt index_at);

  const unsigned char* p_;
  std::size_t n_;
  std::size_t i_ = 0;
  std::ptrdiff_t offset_ = 0;  // raw position minus text position (see raw_pos)
  std::size_t depth_ = 0;
  bool skip_digest_key_;
  HashPipe* stream_;                // null, or where a root array's text may go while it is read
  std::size_t changed_ = 0;         // records kept so far: a rise means a change below
  std::size_t reordered_ = 0;       // objects reordered in place so far, likewise
  std::ptrdiff_t size_change_ = 0;  // emitted size minus raw size, tagged forms so far
  bool dropped_members_ = false;    // root "digest" members left out
  DirectText& doc_;
  char* base_;  // the raw text buffer, its write cursor and its end
  char* w_;
  char* w_end_;
  GrowableArray<ObjectRecord>& objects_;
  GrowableArray<MemberRecord>& sorted_;
  // Working storage, kept by the DirectText between reads (reader_scratch.h):
  GrowableArray<Member>& members_;
  std::string& keys_;
  std::string& encoded_key_;
  std::vector<key_order::KeyRef>& order_;
  std::string& reorder_copy_;
  ShapeBooks& shapes_;
  json::SpecialIndex::Cursor specials_;
  SiblingKeys siblings_;
  const std::size_t raw_wanted_;
  std::size_t moved_again_ = 0;  // bytes reordered with one reordered inside (may_move)
};

}  // namespace quorl::direct_detail
