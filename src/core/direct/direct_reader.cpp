// The direct reader's run, its raw text, and the values that are not
// objects: numbers and strings out of the common case, and arrays.
#include "core/direct/direct_reader.h"

#include <algorithm>

#include "json/lex/string_lexer.h"

namespace quorl::direct_detail {

namespace {
// Room reserved up front on the member stack: small records, the common
// call, then never grow it.
constexpr std::size_t kInitialMembers = 16;
}  // namespace

DirectReader::DirectReader(std::string_view text, bool skip_digest_key, HashPipe* stream,
                           DirectText& doc, std::size_t raw_wanted)
    : p_(reinterpret_cast<const unsigned char*>(text.data())),
      n_(text.size()),
      skip_digest_key_(skip_digest_key),
      stream_(stream),
      doc_(doc),
      base_(doc.raw_.get()),
      w_(base_),
      w_end_(base_ + doc.raw_capacity_),
      objects_(doc.objects_),
      sorted_(doc.members_),
      members_(doc.reader_->members),
      keys_(doc.reader_->keys),
      encoded_key_(doc.reader_->encoded_key),
      order_(doc.reader_->order),
      reorder_copy_(doc.reader_->reorder_copy),
      shapes_(doc.reader_->shapes),
      specials_(doc.reader_->specials, p_, n_),
      siblings_(doc.reader_->siblings, p_, n_),
      raw_wanted_(raw_wanted) {}

bool DirectReader::run() {
  // One allocation covers the members of a typical small record.
  members_.reserve(kInitialMembers);
  skip_ws();
  Parsed root;
  if (!value(true, root)) return false;
  skip_ws();
  if (i_ != n_) return false;
  if (written() == 0 && offset_ == 0) {
    // Nothing departed from the text: it is its own raw text, uncopied.
    doc_.source_ = reinterpret_cast<const char*>(p_);
    doc_.raw_size_ = n_;
  } else {
    flush(i_);
    doc_.raw_size_ = raw_pos();
    need(DirectText::kTextPadding);  // readable past the end for padded copies
  }
  doc_.text_size_ =
      static_cast<std::size_t>(static_cast<std::ptrdiff_t>(doc_.raw_size_) + size_change_);
  doc_.text_size_known_ = !dropped_members_;
  return true;
}

// The first byte written makes the buffer, at the capacity read() wants;
// after that, only escapes that the canonical form writes longer get here.
void DirectReader::grow(std::size_t n) {
  const std::size_t used = written();
  const std::size_t capacity =
      std::max({doc_.raw_capacity_ + doc_.raw_capacity_ / 4, used + n + kRawSlack, raw_wanted_});
  char* bigger = static_cast<char*>(grow_buffer(base_, doc_.raw_capacity_, used, capacity));
  (void)doc_.raw_.release();  // grow_buffer has freed or moved it
  doc_.raw_ = CharBuffer(bigger, BufferDeleter{capacity});
  doc_.raw_capacity_ = capacity;
  base_ = doc_.raw_.get();
  w_ = base_ + used;
  w_end_ = base_ + capacity;
}

bool DirectReader::number_in_full() {
  if (p_[i_] != '-' && !is_digit(p_[i_])) return false;  // not a value at all
  const std::size_t sign = p_[i_] == '-' ? 1 : 0;
  const json::NumberToken t = json::lex_number(p_, n_, i_ + sign);
  // The grammar's integer (no leading zero, at least one digit), ending
  // where the gate's token ends: a byte such as '+' or '.' glued on makes
  // that token a float.
  if (!t.plain_integer() || (t.end < n_ && is_number_token_byte(p_[t.end]))) return false;
  const std::size_t digits = t.int_end - t.int_begin;
  if (sign == 1 && digits == 1 && p_[t.int_begin] == '0') return false;  // "-0"
  // Shorter ones are all within the bound.
  if (digits >= kMaxBareIntegerDigits && judge_number_token(p_ + i_, t.end - i_)) return false;
  i_ = t.end;  // written as the gate accepts it: its own canonical form
  return true;
}

// The string at `quote`, plain up to j. Out of line, as rare.
bool DirectReader::escaped_string(std::size_t quote, std::size_t j) {
  // \" and \\ are their own canonical form: a string with no other
  // escape (markup, quoted speech) stays in the text as it is.
  std::size_t k = j;
  while (k + 1 < n_ && p_[k] == '\\' && (p_[k + 1] == '"' || p_[k + 1] == '\\'))
    k = specials_.next(k + 2);
  if (k < n_ && p_[k] == '"') {
    i_ = k + 1;
    return true;
  }
  flush(quote + 1);
  RawOut out{*this};
  out.append(reinterpret_cast<const char*>(p_ + quote + 1), j - quote - 1);
  i_ = j;
  if (json::lex_string_rest<true>(p_, n_, i_, out, SpecialsFind{specials_}) !=
      json::StringEnd::Closed)
    return false;
  put_char('"');
  resume();  // past the closing quote
  return true;
}

bool DirectReader::array() {
  ++i_;
  if (++depth_ > kDirectMaxRawDepth) return false;
  skip_ws();
  if (i_ < n_ && p_[i_] == ']') {
    ++i_;
  } else {
    Next next = Next::More;
    while (next == Next::More) {
      Parsed item;
      if (!value(true, item)) return false;
      next = after_element(']');
      if (stream_ != nullptr && depth_ == 1 && raw_pos() >= kStreamBytes) stream_out();
    }
    if (next == Next::Fault) return false;
  }
  --depth_;
  return true;
}

// Between two elements of the root array, where no object is open: the
// text so far goes to the hash, and the raw text starts again.
void DirectReader::stream_out() {
  flush(i_);
  doc_.raw_size_ = raw_pos();
  doc_.feed_text(*stream_);
  w_ = base_;
  resume();
  objects_.clear();
  sorted_.clear();
}

}  // namespace quorl::direct_detail
