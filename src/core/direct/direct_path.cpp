#include "core/direct/direct_path.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "core/exact/decoder.h"
#include "core/exact/encoder.h"
#include "core/rules/int_payload.h"
#include "base/key_order.h"
#include "core/rules/number_token.h"
#include "json/lex/byte_scan.h"
#include "json/lex/special_index.h"
#include "json/lex/string_escape.h"
#include "json/lex/string_lexer.h"
#include "json/lex/token_lexer.h"

namespace quorl {

namespace {

// Room reserved up front on the member stack: small records, the common
// call, then never grow it.
constexpr std::size_t kInitialMembers = 16;

// Extra raw capacity for the few bytes a tiny document may gain.
constexpr std::size_t kRawSlack = 64;

// The records reserved up front, as fractions of the source's size: 1/8
// for objects, 1/4 for the members of sorted objects.
constexpr std::size_t kRecordShareOfText = 8;
constexpr std::size_t kMemberShareOfText = 4;
// The records of a document that has few (most records and small
// documents: a reordered object or two) fit in blocks of this many, which
// share pages with the reader's other small parts; the share above is
// taken only when they are spent.
constexpr std::size_t kFirstRecords = 64;

// A root array's text is handed to the hash (when reading for one) once
// this much is waiting, between two of its elements: small enough to stay
// in the processor's cache, large enough that the hand-overs cost little.
constexpr std::size_t kStreamBytes = std::size_t{64} << 10;

// A small object whose members are out of order, with nothing inside it that
// changes, is put in order right in the raw text (copied out and back), which
// costs less than recording its members and stepping through them when
// emitting. Larger ones are recorded, so that the copy stays small.
constexpr std::size_t kReorderInPlaceMaxBytes = 4096;

// Texts from this size on are kept uncopied where they can be (see
// text_stays_uncopied); a smaller one's copy is small and in cache, and
// cheaper than emitting its objects from records (a record of ~100 bytes
// took 10% longer that way).
constexpr std::size_t kUncopiedTextBytes = std::size_t{64} << 10;
// While the text is uncopied, records may run this far ahead of the text
// read: a document's first objects are often out of order, and their
// records are large next to the little text before them.
constexpr std::size_t kUncopiedRecordBytes = std::size_t{64} << 10;

// The raw kind of a JSON value, which is what tag payload rules look at
// (not what the value decodes to).
enum class Raw : std::uint8_t { Null, True, False, Number, String, Array, Object };

// What a parsed value left behind. suppressed_tag: an object read with tag
// reading switched off that would otherwise have been a tagged form.
struct Parsed {
  Raw raw;
  bool suppressed_tag = false;
};


// One member of an object being read: where its key bytes are, and the span
// of its `"key":value` text in the raw text.
struct Member {
  std::size_t key_offset;  // into the text, or into Encoder::keys_ when in_keys
  std::uint32_t key_size;
  bool in_keys;
  std::uint64_t prefix;    // the key's first eight bytes, big-endian
  std::size_t begin;
  std::size_t end;
  std::size_t obj_first;   // the records of objects inside the value:
  std::size_t obj_end;     // [obj_first, obj_end) of Encoder::objs_
};

using key_order::KeyRef;

// The pieces copied while reading and emitting are mostly a few bytes (a key,
// a number, a comma); copied inline they skip the call into memcpy. Every
// size is covered by two possibly overlapping loads, so no byte outside
// [src, src + n) is read and none outside [dst, dst + n) is written.
inline void copy_small(char* dst, const void* src_ptr, std::size_t n) noexcept {
  const char* src = static_cast<const char*>(src_ptr);
  if (n >= 8) {
    if (n > 16) {
      if (n > 64) {
        std::memcpy(dst, src, n);
        return;
      }
      // 17 to 64 bytes (a URL, a sentence): sixteen-byte pieces, the last
      // ones ending at n.
      using Piece = char[16];
      Piece a, b, c, d;
      std::memcpy(a, src, 16);
      std::memcpy(d, src + n - 16, 16);
      if (n > 32) {
        std::memcpy(b, src + 16, 16);
        std::memcpy(c, src + n - 32, 16);
        std::memcpy(dst + 16, b, 16);
        std::memcpy(dst + n - 32, c, 16);
      }
      std::memcpy(dst, a, 16);
      std::memcpy(dst + n - 16, d, 16);
      return;
    }
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n != 0) {
    // 1 to 3 bytes: first, middle and last (some of them the same byte).
    const char first = src[0], middle = src[n / 2], last = src[n - 1];
    dst[0] = first;
    dst[n / 2] = middle;
    dst[n - 1] = last;
  }
}

// Whether [a, a + n) and [b, b + n) hold the same bytes: the tails of keys,
// mostly a few bytes, compared inline by two possibly overlapping loads a
// size, as copy_small copies them, so that no byte outside is read.
inline bool equal_small(const void* a_ptr, const void* b_ptr, std::size_t n) noexcept {
  const char* a = static_cast<const char*>(a_ptr);
  const char* b = static_cast<const char*>(b_ptr);
  const auto differ = [](const char* x, const char* y, auto word) {
    decltype(word) u, v;
    std::memcpy(&u, x, sizeof u);
    std::memcpy(&v, y, sizeof v);
    return u != v;
  };
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return !differ(a, b, std::uint64_t{}) && !differ(a + n - 8, b + n - 8, std::uint64_t{});
  }
  if (n >= 4)
    return !differ(a, b, std::uint32_t{}) && !differ(a + n - 4, b + n - 4, std::uint32_t{});
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// The key "digest" as a prefix (see key_order.h): with a size of 6, equal
// prefixes mean equal keys.
constexpr std::uint64_t kDigestKeyPrefix = 0x6469676573740000ULL;

bool is_digest_member(const Member& m) noexcept {
  return m.prefix == kDigestKeyPrefix && m.key_size == 6;
}

// Objects of one shape (the same keys in the same order) come again and
// again: the records of an array, the lines of a file. The key order of
// the last few shapes that needed sorting is kept, so that an object of a
// known shape is put in order without being sorted again, within a read and
// across reads. A key is known by its prefix and size and, past eight
// bytes, by the rest of its bytes, kept in `tails`; only unescaped keys take
// part, so that the bytes compared are those of the text.
//
// Two books: small records of short keys (coordinates, table rows) are
// checked against small entries that stay within a few cache lines; records
// with long keys or many members (user profiles, events, feed items) come
// in more shapes at once and cost more to sort, so their book is larger.
//
// A shape may sit in any of the Ways slots of its set, and a new one takes
// the slot met least lately: a document's shapes seldom take turns in one
// slot, as they did when each shape had one slot (a feed of posts and their
// users sorted a quarter of its objects afresh). The long book holds the
// shapes of a feed or an event log (some twenty to forty) across calls.
template <std::size_t Members, std::size_t TailBytes, std::size_t Sets, std::size_t Ways>
struct ShapeBook {
  static_assert(Sets >= 2 && (Sets & (Sets - 1)) == 0, "a power of two, for the hash's top bits");
  static constexpr std::size_t kMaxMembers = Members;
  static constexpr std::size_t kMaxKeyBytes = TailBytes == 0 ? 8 : 255;  // a size fits its byte
  static constexpr std::size_t kTailBytes = TailBytes;
  static constexpr std::size_t kWays = Ways;
  static constexpr std::size_t kSlots = Sets * Ways;
  struct Shape {
    std::uint64_t prefix[Members];
    std::uint8_t size[Members];
    std::uint8_t order[Members];  // member indexes in key order
    std::array<char, TailBytes> tails;  // each long key's bytes from the ninth, in member order
  };
  // Each slot's members (0 for an empty slot), first key's prefix and when
  // it was last met, kept apart from the shapes, so that the ways of a set
  // are told apart within a cache line or two.
  std::uint32_t counts[kSlots] = {};
  std::uint32_t met[kSlots] = {};
  std::uint64_t firsts[kSlots] = {};
  std::uint32_t clock = 0;  // wrapping only makes a worse choice of slot

  // A short book, a few cache lines in all, keeps each slot's shape in its
  // own place. The long book packs its shapes one after another, each in
  // the bytes its members need (prefixes, sizes, order, key tails), in
  // pages made as they are needed, so that it holds memory (and touches
  // it) only for the shapes a thread has met: a document of a few shapes
  // costs a page or two (a place fit for the largest shape would take
  // 1.6 KB each).
  static constexpr bool kPacked = TailBytes != 0;
  struct InPlace {
    Shape shapes[kSlots];
    const Shape& of(std::size_t slot) const noexcept { return shapes[slot]; }
    std::size_t held_bytes() const noexcept { return 0; }
  };
  // Where a shape's parts lie: in its place, or packed.
  struct ShapeParts {
    std::uint64_t* prefix;
    std::uint8_t* size;
    std::uint8_t* order;
    char* tails;
  };
  struct Packed {
    static constexpr std::size_t kPageWords = 512;  // 4 KiB
    static constexpr std::size_t kPages = 16;
    static constexpr std::size_t kMaxShapeWords = (Members * 10 + TailBytes + 7) / 8;
    static_assert(kMaxShapeWords <= kPageWords, "a shape fits a page");
    // 1 + the first word of each slot's shape, 0 for none; the words it may
    // take, so that a shape of no more words takes its place again.
    std::uint32_t places[kSlots] = {};
    std::uint16_t rooms[kSlots] = {};
    std::size_t used = 0;  // words handed out, in pages of kPageWords
    std::unique_ptr<std::uint64_t[]> pages[kPages];

    static ShapeParts parts(std::uint64_t* at, std::size_t count) noexcept {
      auto* const bytes = reinterpret_cast<std::uint8_t*>(at + count);
      return {at, bytes, bytes + count, reinterpret_cast<char*>(bytes + 2 * count)};
    }
    std::uint64_t* word(std::size_t at) const noexcept {
      return pages[at / kPageWords].get() + at % kPageWords;
    }
    // Words for a shape in slot, or null when the pages are spent or no
    // memory is to be had.
    std::uint64_t* take(std::size_t slot, std::size_t words) noexcept {
      if (places[slot] != 0 && rooms[slot] >= words) return word(places[slot] - 1u);
      if (used % kPageWords + words > kPageWords) used += kPageWords - used % kPageWords;
      if (used / kPageWords == kPages) return nullptr;
      std::unique_ptr<std::uint64_t[]>& page = pages[used / kPageWords];
      if (!page) {
        page.reset(new (std::nothrow) std::uint64_t[kPageWords]);  // left unwritten until learnt
        if (!page) return nullptr;
      }
      places[slot] = static_cast<std::uint32_t>(used + 1);
      rooms[slot] = static_cast<std::uint16_t>(words);
      used += words;
      return word(used - words);
    }
    std::size_t held_bytes() const noexcept {
      std::size_t held = 0;
      for (const auto& page : pages) held += page ? kPageWords * sizeof(std::uint64_t) : 0;
      return held;
    }
  };
  std::conditional_t<kPacked, Packed, InPlace> store;

  // The shape in slot, for reading: its place, or its parts.
  decltype(auto) shape(std::size_t slot) const noexcept {
    if constexpr (kPacked) {
      return Packed::parts(store.word(store.places[slot] - 1u), counts[slot]);
    } else {
      return store.of(slot);
    }
  }
  // Room for a shape of count members and tail_bytes in slot, or a null
  // prefix when there is none; the pages once spent are used afresh,
  // every shape forgotten.
  ShapeParts take(std::size_t slot, std::size_t count, std::size_t tail_bytes) noexcept {
    if constexpr (kPacked) {
      const std::size_t words = (count * 10 + tail_bytes + 7) / 8;
      std::uint64_t* at = store.take(slot, words);
      if (at == nullptr && store.used / Packed::kPageWords == Packed::kPages) {
        std::fill(std::begin(counts), std::end(counts), 0u);
        std::fill(std::begin(store.places), std::end(store.places), 0u);
        store.used = 0;
        at = store.take(slot, words);
      }
      if (at == nullptr) return {};
      return Packed::parts(at, count);
    } else {
      Shape& place = store.shapes[slot];
      return {place.prefix, place.size, place.order, place.tails.data()};
    }
  }

  // The first slot of the set of shapes of this size and first key.
  static std::size_t set_of(std::size_t count, std::uint64_t first_prefix) noexcept {
    constexpr int kSetBits = std::countr_zero(Sets);
    const std::uint64_t mixed =
        (first_prefix ^ (count * 0x9E3779B97F4A7C15ULL)) * 0xD6E8FEB86659FD93ULL;
    return static_cast<std::size_t>(mixed >> (64 - kSetBits)) * Ways;
  }
  // The slot to learn a shape in: an empty one or the one met least lately.
  std::size_t victim(std::size_t set) const noexcept {
    std::size_t best = set;
    for (std::size_t w = set + 1; w < set + Ways; ++w)
      if (met[w] < met[best]) best = w;
    return best;
  }
};
using ShortShapes = ShapeBook<16, 0, 2, 4>;
using LongShapes = ShapeBook<64, 1024, 16, 4>;

// The keys of the last objects put in order at the shallow depths below the
// root, as they lie in the text. The next object at a depth most often has
// the same keys in the same order as one before it (the records of an
// array, the user of each post of a feed): each of its keys is then told by
// comparing its bytes with the one before, with its closing quote and
// colon (equal_small), and the object takes the same order, without a
// lookup of key ends, prefixes or shapes. A depth keeps the keys of a few
// objects, in slots chosen by the first key's bytes, so that the kinds of
// object nested in one record (its user, its entities) each find their
// own. The depths of records in the documents met (a root array, or a list
// in a root object, of records with nested ones); keys of up to 45 bytes
// (nearly all keys of feeds and catalogues); members up to the long
// book's.
constexpr std::size_t kSiblingDepths = 8;
constexpr std::size_t kSiblingWays = 4;  // a power of two
constexpr std::size_t kSiblingSlots = kSiblingDepths * kSiblingWays;
constexpr std::size_t kNoSibling = kSiblingSlots;
constexpr std::size_t kSiblingMembers = 64;
constexpr std::size_t kSiblingKeyBytes = 45;
// Room a kept key must have before the text's end, so that the key, its
// quote and colon, and the first byte of its value are within the text.
constexpr std::size_t kSiblingCompared = 48;
static_assert(kSiblingKeyBytes + 3 <= kSiblingCompared);
// Objects of other keys in between leave the keys kept until this many
// have come without one that has them, and keys that cannot be kept (too
// long, too many) are tried again after as many: learning keys at every
// object would cost more than they save.
constexpr std::uint8_t kSiblingMisses = 4;

// One kept key: where it lies in the text, its size and its prefix. Those
// of all slots are handed out from one pool, in the order slots are first
// used in a read, so that a read touches only as much of it as it keeps.
struct SiblingKey {
  std::uint64_t prefix;
  std::uint32_t at;  // the key's first byte in the text (keys past 4 GiB are not kept)
  std::uint32_t size;

  // Whether the key at `kb` in p is this one, followed by its closing
  // quote and colon.
  bool same(const unsigned char* p, std::size_t kb) const noexcept {
    return equal_small(p + kb, p + at, size + 2);
  }
};

// Keys in the pool, for all slots: room for the records of a few kinds at
// a few depths, a feed's posts and users among them.
constexpr std::size_t kSiblingPool = 1024;

struct SiblingKeys {
  std::size_t count;        // 0: none kept
  std::uint32_t first;      // its keys: the pool's [first, first + room)
  std::uint32_t room;       // 0: none handed out yet in this read
  std::uint8_t misses;      // objects put in order since, with other keys
  bool in_order;            // the keys ascend: the object stays as it is
  std::uint8_t order[kSiblingMembers];  // else member indexes in key order
};

}  // namespace

namespace direct_detail {

struct ReaderScratch {
  ShortShapes short_shapes;
  // Made at the first object of long keys that needs sorting: most
  // documents have none, and it is the larger book.
  std::unique_ptr<LongShapes> long_shapes;
  GrowableArray<Member> members;
  std::string keys;
  std::string encoded_key;
  std::vector<KeyRef> order;
  std::string reorder_copy;
  json::SpecialIndex specials;  // where the text's strings end
  // By depth from 2 and way. A slot holds keys only while its read (from 1)
  // is the current one: their positions are in that read's text. The reads
  // are kept apart, so that a new scratch touches no slot until it is used.
  SiblingKeys siblings[kSiblingSlots];
  std::uint64_t sibling_reads[kSiblingSlots] = {};
  std::uint64_t reads = 0;
  SiblingKey sibling_pool[kSiblingPool];

  void clear() noexcept {
    members.clear();
    keys.clear();
    encoded_key.clear();
    order.clear();
    reorder_copy.clear();
  }
  std::size_t held_bytes() const noexcept {
    return sizeof(ReaderScratch) + members.capacity() * sizeof(Member) + keys.capacity() +
           encoded_key.capacity() + order.capacity() * sizeof(KeyRef) + reorder_copy.capacity() +
           (long_shapes ? sizeof(LongShapes) + long_shapes->store.held_bytes() : 0);
  }
};

void ReaderScratchDelete::operator()(ReaderScratch* scratch) const noexcept { delete scratch; }

}  // namespace direct_detail

using direct_detail::MemberRecord;
using direct_detail::Offset;
using direct_detail::ObjectRecord;

class DirectReader {
 public:
  // raw_wanted: the raw text's capacity, made when its first byte is written.
  DirectReader(std::string_view text, bool skip_digest_key, HashPipe* stream, DirectText& doc,
               std::size_t raw_wanted)
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
        short_shapes_(doc.reader_->short_shapes),
        long_shapes_(doc.reader_->long_shapes),
        specials_(doc.reader_->specials, p_, n_),
        siblings_(doc.reader_->siblings),
        sibling_reads_(doc.reader_->sibling_reads),
        sibling_pool_(doc.reader_->sibling_pool),
        read_(++doc.reader_->reads),
        raw_wanted_(raw_wanted) {}

  bool run() {
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
    doc_.text_size_ = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(doc_.raw_size_) + size_change_);
    doc_.text_size_known_ = !dropped_members_;
    return true;
  }

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

  void need(std::size_t n) {
    if (static_cast<std::size_t>(w_end_ - w_) < n) [[unlikely]]
      grow(n);
  }

  // The first byte written makes the buffer, at the capacity read() wants;
  // after that, only escapes that the canonical form writes longer get
  // here.
  void grow(std::size_t n) {
    const std::size_t used = written();
    const std::size_t capacity = std::max(
        {doc_.raw_capacity_ + doc_.raw_capacity_ / 4, used + n + kRawSlack, raw_wanted_});
    char* bigger = static_cast<char*>(grow_buffer(base_, doc_.raw_capacity_, used, capacity));
    (void)doc_.raw_.release();  // grow_buffer has freed or moved it
    doc_.raw_ = CharBuffer(bigger, BufferDeleter{capacity});
    doc_.raw_capacity_ = capacity;
    base_ = doc_.raw_.get();
    w_ = base_ + used;
    w_end_ = base_ + capacity;
  }

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

  // Inline in the loops of the containers, so that a scalar (most values)
  // costs no call; only a container is a call, and the recursion.
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

  // A literal's end if `word` is spelt at `at`, else 0.
  std::size_t literal_end(std::size_t at, std::string_view word) const noexcept {
    const json::LiteralEnd end = json::lex_literal(p_, n_, at, word);
    return end.fault.code == Fault::None ? end.end : 0;
  }

  // The prefix (see key_order.h) of a key that lies unescaped in the text
  // at `offset`, which goes on past it (at least the closing quote and the
  // colon).
  std::uint64_t text_key_prefix(std::size_t offset, std::size_t size) const noexcept {
    const std::string_view key(reinterpret_cast<const char*>(p_ + offset), size);
    return n_ - offset >= 8 ? key_order::prefix_of_readable(key) : key_order::prefix_of(key);
  }

  [[gnu::noinline]] bool number_in_full() {
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

  // Reads the key at i_ (at its opening quote). Without escapes the bytes
  // stay in the text, [raw_begin, raw_end), and *has_escapes is false. With
  // them the key is decoded onto keys_.
  bool read_key(std::size_t& raw_begin, std::size_t& raw_end, bool& has_escapes) {
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

  // Out of line, as rare: the string at `quote`, plain up to j.
  [[gnu::noinline]] bool escaped_string(std::size_t quote, std::size_t j) {
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

  // Between two elements of the root array, where no object is open: the
  // text so far goes to the hash, and the raw text starts again.
  [[gnu::noinline]] void stream_out() {
    flush(i_);
    doc_.raw_size_ = raw_pos();
    doc_.feed_text(*stream_);
    w_ = base_;
    resume();
    objects_.clear();
    sorted_.clear();
  }

  // The colon after a key.
  bool colon() {
    skip_ws();
    if (i_ >= n_ || p_[i_] != ':') return false;
    ++i_;
    return true;
  }

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

  [[gnu::noinline]] bool array() {
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

  [[gnu::noinline]] bool object(bool tags_on, Parsed& parsed) {
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
    SiblingKeys* followed = nullptr;  // the keys kept that are all of this object's
    if (i_ < n_ && p_[i_] == '}') {
      ++i_;
    } else {
      Next next = Next::More;
      // While the keys are those kept for this depth and first key, in turn.
      const std::size_t slot =
          n_ - i_ > kSiblingCompared && p_[i_] == '"' ? sibling_slot(depth_, i_ + 1) : kNoSibling;
      if (slot != kNoSibling && sibling_reads_[slot] == read_ && siblings_[slot].count != 0) {
        SiblingKeys* const sibling = &siblings_[slot];
        std::size_t j = 0;
        const SiblingKey* const keys = &sibling_pool_[sibling->first];
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

  // The value of the member at `at`, whose key and colon are read, and what
  // follows it.
  [[gnu::always_inline]] Next member_value(std::size_t at, bool first, bool tags_on,
                                           Parsed& first_value) {
    Member* m = &members_[at];
    skip_ws();
    // Only the payload of a "$obj" wrapper is read with tags off; whether
    // this object is such a wrapper shows once it closes.
    const bool payload_of_obj = first && tags_on && key_of(*m) == "$obj";
    Parsed v;
    m->obj_first = objects_.size();
    if (!value(!payload_of_obj, v)) return Next::Fault;
    m = &members_[at];  // the objects inside may have moved the stack
    m->obj_end = objects_.size();
    if (first) first_value = v;
    m->end = raw_pos();
    return after_element('}');
  }

  enum class Quick {
    More,   // a whole member read, and its comma
    Close,  // a whole member read, and the closing brace
    Value,  // the member's key read: its value is at i_ (or after whitespace)
    Not     // nothing read
  };

  // The common member in compact text: `"key":` with an unescaped key, and
  // then most often a plain string, a short unsigned integer or a literal,
  // and ',' or '}'. Read with the positions in registers and stored once,
  // without the general member's steps. Any other value is left to the
  // general reading of values (Value); any other key to general_key (Not).
  // Known: the key is known to be `known`, with its quote and colon (see
  // SiblingKeys).
  template <bool Known>
  [[gnu::always_inline]] Quick quick_member(bool first, Parsed& first_value,
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
      case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
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
    m.obj_first = objects;
    m.obj_end = objects;
    i_ = end + 1;
    if (p[end] == '}') return Quick::Close;
    skip_ws();
    return Quick::More;
  }

  // The key of the member at i_ and its colon, when it is not the quick
  // kind (escapes, or whitespace before the colon): onto the member stack,
  // at `at`.
  [[gnu::noinline]] bool general_key(std::size_t at) {
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
    m->prefix = m->in_keys ? key_order::prefix_of(key_of(*m))
                           : text_key_prefix(m->key_offset, m->key_size);
    return true;
  }

  // A key that had escapes, decoded into keys_ from keys_mark on: written in
  // canonical form in place of its text from `quote`, then its colon. Out of
  // line, as rare.
  [[gnu::noinline]] bool escaped_key(Member& m, std::size_t keys_mark, std::size_t quote) {
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

  // The work done once an object's members are read: tags, key order, the
  // record. Out of line, so that the frame of the recursive reading stays
  // small (a 64 KiB thread stack must hold 128 levels).
  [[gnu::noinline]] bool close_object(bool tags_on, Parsed& parsed, std::size_t open,
                                      std::size_t record, std::size_t changes_before,
                                      std::size_t reordered_before, std::size_t base,
                                      std::size_t keys_base, Parsed first_value,
                                      SiblingKeys* followed) {
    const bool is_root = depth_ == 1 && open == 0;
    --depth_;
    if (followed != nullptr) followed->misses = 0;  // its keys came again
    const std::size_t members_here = members_.size() - base;
    // The key order the common close found (a known shape or the followed
    // keys'), for an object it leaves to be recorded below.
    const std::uint8_t* known = nullptr;
    // The common object first: two or more members (no tag), nothing inside
    // it that changes, not the root that loses "digest" members, and in
    // order already or of a known shape. It is left as it is or put in
    // order where it stands, and needs no record. (The general ordering
    // below would do the same, after the checks for tags and records.)
    if (members_here >= 2 && changed_ == changes_before && reordered_ == reordered_before &&
        !first_value.suppressed_tag && !(is_root && skip_digest_key_) &&
        raw_pos() - open <= kReorderInPlaceMaxBytes) {
      const std::span<const Member> members(members_.data() + base, members_here);
      bool in_order;
      if (followed != nullptr) {
        in_order = followed->in_order;
        known = in_order ? nullptr : followed->order;
      } else {
        const auto member_key = [this](const Member& m) { return key_of(m); };
        in_order = key_order::ascending_distinct(members, member_key);
        known = in_order ? nullptr : known_order(members);
        if (in_order || known != nullptr) keep_keys(depth_ + 1, members, known);
      }
      if (in_order || (known != nullptr && !text_stays_uncopied())) {
        if (known != nullptr) {
          place(record, members, [known](std::size_t k) { return std::size_t{known[k]}; }, false,
                true);
          ++reordered_;
        }
        objects_.pop_back();
        members_.shrink_to(base);
        keys_.resize(keys_base);
        return true;
      }
    }
    // Every offset and index recorded from here on is at most the raw size.
    if (raw_pos() > UINT32_MAX) return false;
    const std::size_t count = members_.size() - base;
    ObjectRecord& rec = objects_[record];
    rec.begin = static_cast<Offset>(open);
    rec.end = static_cast<Offset>(raw_pos());
    rec.next = static_cast<Offset>(objects_.size());
    bool kept = true;
    // The test-vector key is ordinary here, as it is through the gate.
    const Tag tag = count == 1 ? tag_of(key_of(members_[base]), false) : Tag::None;
    if (tag != Tag::None && tags_on) {
      if (skip_digest_key_ && is_root) return false;  // a tagged root: rare, exact path
      flush(i_);  // the payload is read from the raw text
      if (!tagged(tag, rec, members_[base], first_value)) return false;
    } else {
      if (tag != Tag::None) parsed.suppressed_tag = true;
      if (count > 1 && first_value.suppressed_tag && key_of(members_[base]) == "$obj") {
        // "$obj" with company is an ordinary member, and its object value
        // should have been read with tags on after all.
        return false;
      }
      const std::span<const Member> members(members_.data() + base, count);
      // Each byte is moved by one in-place reordering at most: an object
      // with one inside it is recorded instead, which keeps the cost linear
      // whatever the nesting. (A root object that loses "digest" members
      // is recorded: see sort_members.)
      const bool skip_digest_key = is_root && skip_digest_key_;
      const bool may_reorder = changed_ == changes_before && reordered_ == reordered_before &&
                               raw_pos() - open <= kReorderInPlaceMaxBytes &&
                               !text_stays_uncopied();
      Order order;
      if (followed != nullptr && !skip_digest_key) {
        order = followed->in_order
                    ? Order::AsWritten
                    : place(record, members,
                            [followed](std::size_t k) { return std::size_t{followed->order[k]}; },
                            false, may_reorder);
      } else if (known != nullptr) {
        // Of a known shape, kept uncopied (text_stays_uncopied): recorded
        // without looking its order up again.
        order = place(record, members, [known](std::size_t k) { return std::size_t{known[k]}; },
                      false, may_reorder);
      } else {
        order = sort_members(record, members, skip_digest_key, may_reorder);
      }
      if (order == Order::Decline) return false;
      if (order == Order::Reordered) ++reordered_;
      if (order == Order::AsWritten || order == Order::Reordered) {
        if (changed_ == changes_before) {
          objects_.pop_back();  // nothing here or below changes: no record
          kept = false;
        } else {
          rec.kind = ObjectRecord::Kind::Span;
        }
      }
    }
    if (kept) ++changed_;
    members_.shrink_to(base);
    keys_.resize(keys_base);  // no member that refers to these keys is left
    return true;
  }

  // Records the value a one-member tagged object stands for.
  bool tagged(Tag tag, ObjectRecord& rec, const Member& m, Parsed payload) {
    if (m.in_keys) return false;  // an escaped tag key: rare, exact path
    const std::size_t value_begin = m.begin + m.key_size + 3;  // "key":
    const std::size_t value_end = m.end;
    // The emitted form replaces the wrapper's whole raw span.
    const auto replace_with = [&](std::size_t emitted) {
      size_change_ += static_cast<std::ptrdiff_t>(emitted) - static_cast<std::ptrdiff_t>(rec.end - rec.begin);
    };
    auto lift = [&] {
      replace_with(value_end - value_begin);
      rec.kind = ObjectRecord::Kind::Lift;
      rec.a = static_cast<Offset>(value_begin);
      rec.b = static_cast<Offset>(value_end);
      rec.first = static_cast<Offset>(m.obj_first);
      rec.last = static_cast<Offset>(m.obj_end);
      return true;
    };
    switch (tag) {
      case Tag::Int: {
        if (payload.raw != Raw::String) return false;
        // Digits and '-' are never escaped, so the canonical string holds the
        // payload's own bytes between its quotes.
        const std::optional<IntPayload> value = read_int_payload(
            std::string_view(base_ + value_begin + 1, value_end - value_begin - 2));
        if (!value) return false;
        if (value->digits.empty()) {
          replace_with(1);
          rec.kind = ObjectRecord::Kind::Zero;  // zero has no sign
        } else {
          replace_with((value->negative ? 1 : 0) + value->digits.size());
          rec.kind = ObjectRecord::Kind::Int;
          rec.negative = value->negative;
          rec.a = static_cast<Offset>(value->digits.data() - base_);
          rec.b = static_cast<Offset>(rec.a + value->digits.size());
        }
        return true;
      }
      case Tag::Str:
        return payload.raw == Raw::String && lift();
      case Tag::Arr:
        return payload.raw == Raw::Array && lift();
      case Tag::Obj:
        return payload.raw == Raw::Object && lift();
      case Tag::Bool:
        return (payload.raw == Raw::True || payload.raw == Raw::False) && lift();
      case Tag::Null:
        if (payload.raw != Raw::True) return false;
        replace_with(4);
        rec.kind = ObjectRecord::Kind::Null;
        return true;
      default:
        // The markers ($nan, $inf, $float): their canonical form is a
        // refusal, so the exact path decides.
        return false;
    }
  }

  // The slot of the keys kept for objects at `depth` whose first key starts
  // at kb (8 bytes readable), or kNoSibling: the root, which has no
  // siblings, and below the depths that keep keys.
  std::size_t sibling_slot(std::size_t depth, std::size_t kb) const noexcept {
    if (depth - 2 >= kSiblingDepths) return kNoSibling;
    std::uint64_t word;
    std::memcpy(&word, p_ + kb, 8);
    constexpr int kWayBits = std::countr_zero(kSiblingWays);
    const std::size_t way = static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ULL) >> (64 - kWayBits));
    return (depth - 2) * kSiblingWays + way;
  }

  // Keeps the keys of an object at `depth` just put in order (by `known`,
  // or as they are when null) for the next ones like it, when they lie in
  // the text with their colon right after them and are two or more, few
  // and short enough; after a few objects of other keys, if some are kept
  // already.
  void keep_keys(std::size_t depth, std::span<const Member> members,
                 const std::uint8_t* known) noexcept {
    if (depth - 2 >= kSiblingDepths || members.size() < 2) return;
    const Member& first = members[0];
    if (first.in_keys || n_ - first.key_offset < kSiblingCompared) return;
    const std::size_t slot = sibling_slot(depth, first.key_offset);  // a slot: depth is checked
    SiblingKeys* const sibling = &siblings_[slot];
    if (sibling_reads_[slot] != read_) {
      sibling_reads_[slot] = read_;
      sibling->count = 0;
      sibling->room = 0;
      sibling->misses = kSiblingMisses - 1;
    }
    if (++sibling->misses < kSiblingMisses) return;
    sibling->count = 0;
    sibling->misses = 0;
    if (members.size() > kSiblingMembers || members.back().key_offset > UINT32_MAX) return;
    if (members.size() > sibling->room) {
      if (members.size() > kSiblingPool - pool_used_) return;  // the pool is spent for this read
      sibling->first = static_cast<std::uint32_t>(pool_used_);
      sibling->room = static_cast<std::uint32_t>(members.size());
      pool_used_ += members.size();
    }
    SiblingKey* const keys = &sibling_pool_[sibling->first];
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      if (m.in_keys || m.key_size > kSiblingKeyBytes || p_[m.key_offset + m.key_size + 1] != ':')
        return;
      keys[k] = {m.prefix, static_cast<std::uint32_t>(m.key_offset),
                 static_cast<std::uint32_t>(m.key_size)};
      sibling->order[k] = known != nullptr ? known[k] : static_cast<std::uint8_t>(k);
    }
    sibling->in_order = known == nullptr;
    sibling->count = members.size();
  }

  // How an object's members come out.
  enum class Order {
    AsWritten,  // ascending keys, none left out: the raw text as it is
    Recorded,   // as Sorted in objects_[record]
    Reordered,  // put in order within the raw text (only when may_reorder)
    Decline     // duplicate keys (the exact path applies the later-wins rule)
  };

  // The known shape of these members, or null. Shapes hold no "digest"
  // key, so a match has none. A match is marked as met, for the choice of
  // the slot a new shape takes.
  template <class Book>
  const std::uint8_t* known_shape(Book& book, std::span<const Member> members) noexcept {
    if (members.size() > Book::kMaxMembers) return nullptr;
    const std::size_t set = Book::set_of(members.size(), members[0].prefix);
    for (std::size_t slot = set; slot < set + Book::kWays; ++slot) {
      if (book.counts[slot] != members.size() || book.firsts[slot] != members[0].prefix) continue;
      const auto& shape = book.shape(slot);
      if (same_keys<Book>(shape, members)) {
        book.met[slot] = ++book.clock;
        return &shape.order[0];
      }
    }
    return nullptr;
  }

  template <class Book, class Shape>
  bool same_keys(const Shape& shape, std::span<const Member> members) const noexcept {
    std::size_t tail = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      if (shape.prefix[k] != m.prefix || shape.size[k] != m.key_size) return false;
      if constexpr (Book::kTailBytes != 0) {
        if (m.key_size > 8) {
          if (!equal_small(shape.tails + tail, key_of(m).data() + 8, m.key_size - 8)) return false;
          tail += m.key_size - 8;
        }
      }
    }
    return true;
  }

  // Makes the shape of these members known, with the order just sorted,
  // when the book can hold it.
  template <class Book>
  void learn_shape(Book& book, std::span<const Member> members,
                   std::span<const KeyRef> order) noexcept {
    if (members.size() > Book::kMaxMembers) return;
    std::size_t tails = 0;
    for (const Member& m : members) {
      // (A "digest" key is left out of shapes, so that a root object left
      // without its "digest" members never meets a known shape.)
      if (m.key_size > Book::kMaxKeyBytes || is_digest_member(m)) return;
      if (m.key_size > 8) tails += m.key_size - 8;
    }
    if (tails > Book::kTailBytes) return;
    const std::size_t slot = book.victim(Book::set_of(members.size(), members[0].prefix));
    const auto shape = book.take(slot, members.size(), tails);
    if (shape.prefix == nullptr) return;
    book.counts[slot] = static_cast<std::uint32_t>(members.size());
    book.firsts[slot] = members[0].prefix;
    book.met[slot] = ++book.clock;
    std::size_t tail = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      shape.prefix[k] = m.prefix;
      shape.size[k] = static_cast<std::uint8_t>(m.key_size);
      shape.order[k] = static_cast<std::uint8_t>(order[k].index);
      if (m.key_size > 8) {
        std::memcpy(shape.tails + tail, key_of(m).data() + 8, m.key_size - 8);
        tail += m.key_size - 8;
      }
    }
  }

  Order sort_members(std::size_t record, std::span<const Member> members, bool skip_digest_key,
                     bool may_reorder) {
    // Most objects are in order already: one comparison a member settles it
    // (and one or two, for most that are not), before any book is looked at.
    const auto member_key = [this](const Member& m) { return key_of(m); };
    const bool ascending = key_order::ascending_distinct(members, member_key);
    const bool has_digest =
        skip_digest_key && std::any_of(members.begin(), members.end(), is_digest_member);
    if (ascending && !has_digest) {
      keep_keys(depth_ + 1, members, nullptr);
      return Order::AsWritten;
    }
    if (!ascending) {
      if (const std::uint8_t* known = known_order(members)) {
        keep_keys(depth_ + 1, members, known);
        return place(record, members, [known](std::size_t k) { return std::size_t{known[k]}; },
                     skip_digest_key, may_reorder);
      }
    }
    // Members left out change the length: only a record can do that.
    return sort_afresh(record, members, ascending, skip_digest_key, may_reorder && !has_digest);
  }

  // Sorts members of a shape not in the books (and learns it), or leaves out
  // the root's "digest" members. Out of line, so that the common case above,
  // a known shape, keeps a small frame.
  [[gnu::noinline]] Order sort_afresh(std::size_t record, std::span<const Member> members,
                                      bool ascending, bool skip_digest_key, bool may_reorder) {
    KeyRef small[key_order::kInsertionSortMax];
    if (members.size() > UINT32_MAX) return Order::Decline;
    const std::span<KeyRef> order =
        members.size() <= key_order::kInsertionSortMax
            ? std::span<KeyRef>(small, members.size())
            : (order_.resize(members.size()), std::span<KeyRef>(order_));
    for (std::size_t k = 0; k < members.size(); ++k)
      order[k] = {members[k].prefix, k};
    if (!ascending) {
      const auto ref_key = [&](const KeyRef& r) { return key_of(members[r.index]); };
      key_order::sort_by_key(order, ref_key);
      if (key_order::find_equal_neighbour(std::span<const KeyRef>(order), ref_key) != order.size())
        return Order::Decline;
      const bool short_keys =
          std::all_of(members.begin(), members.end(), [](const Member& m) { return m.key_size <= 8; });
      if (short_keys) {
        learn_shape(short_shapes_, members, order);
      } else {
        // Its shapes take pages as they are learnt.
        if (!long_shapes_) long_shapes_.reset(new LongShapes);
        learn_shape(*long_shapes_, members, order);
      }
    }
    return place(record, members, [order](std::size_t k) { return order[k].index; }, skip_digest_key,
                 may_reorder);
  }

  // The key order of a known shape of these members (see ShapeBook), or
  // null: the same keys as an object already sorted, so no duplicates, and
  // no "digest" to leave out. A short book's shapes have short keys only,
  // so one with a long key is looked up once.
  const std::uint8_t* known_order(std::span<const Member> members) noexcept {
    if (const std::uint8_t* order = known_shape(short_shapes_, members)) return order;
    if (!long_shapes_) return nullptr;
    return known_shape(*long_shapes_, members);
  }

  // Puts the members in key order, index_at(k) being the index of the k-th:
  // in the raw text itself, or as a record for the emitter (leaving out
  // root "digest" members).
  template <class IndexAt>
  Order place(std::size_t record, std::span<const Member> members, IndexAt index_at,
              bool skip_digest_key, bool may_reorder) {
    if (may_reorder) {
      if (members.front().begin >= written()) {
        copy_in_order(members, index_at);
      } else {
        flush(i_);
        reorder_in_place(members, index_at);
      }
      return Order::Reordered;
    }
    ObjectRecord& rec = objects_[record];
    rec.kind = ObjectRecord::Kind::Sorted;
    rec.first = static_cast<Offset>(sorted_.size());
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[index_at(k)];
      if (skip_digest_key && is_digest_member(m)) {
        dropped_members_ = true;
        continue;
      }
      sorted_.push_back({static_cast<Offset>(m.begin), static_cast<Offset>(m.end),
                         static_cast<Offset>(m.obj_first), static_cast<Offset>(m.obj_end)});
    }
    rec.last = static_cast<Offset>(sorted_.size());
    return Order::Recorded;
  }

  // The members' text, not yet copied through and the same as their raw
  // text, is copied in the given order straight from the text: one copy
  // and no copy back. The length does not change, nor does the offset.
  template <class IndexAt>
  void copy_in_order(std::span<const Member> members, IndexAt index_at) {
    const auto text_at = [this](std::size_t raw) {
      return p_ + (raw - static_cast<std::size_t>(offset_));
    };
    flush(static_cast<std::size_t>(text_at(members.front().begin) - p_));
    constexpr std::size_t kBlock = 16;
    need(members.back().end - members.front().begin + kBlock);
    if (p_ + n_ - text_at(members.back().end) < static_cast<std::ptrdiff_t>(kBlock)) {
      w_ = write_in_order(w_, members, index_at, text_at);
      return;
    }
    // Whole blocks, with room to read past the last member and to write past
    // the end: what a block writes past a member is overwritten by what
    // follows it.
    char* w = w_;
    for (std::size_t k = 0; k < members.size(); ++k) {
      if (k != 0) *w++ = ',';
      const Member& m = members[index_at(k)];
      const unsigned char* from = text_at(m.begin);
      const std::size_t size = m.end - m.begin;
      for (std::size_t b = 0; b < size; b += kBlock) std::memcpy(w + b, from + b, kBlock);
      w += size;
    }
    w_ = w;
  }

  // Rewrites the members' raw text, `m0,m1,...`, in the given order. The
  // length does not change. A small object goes through a stack buffer.
  template <class IndexAt>
  void reorder_in_place(std::span<const Member> members, IndexAt index_at) {
    constexpr std::size_t kStackCopy = 512;
    const std::size_t from = members.front().begin;
    const std::size_t to = members.back().end;
    char stack_copy[kStackCopy];
    const char* copy;
    if (to - from <= kStackCopy) {
      std::memcpy(stack_copy, base_ + from, to - from);
      copy = stack_copy;
    } else {
      reorder_copy_.assign(base_ + from, to - from);
      copy = reorder_copy_.data();
    }
    write_in_order(base_ + from, members, index_at,
                   [copy, from](std::size_t raw) { return copy + (raw - from); });
  }

  // Writes `m0,m1,...` at w in the given order, each member's bytes taken
  // from source_at(its raw begin); returns the end.
  template <class IndexAt, class SourceAt>
  static char* write_in_order(char* w, std::span<const Member> members, IndexAt index_at,
                              SourceAt source_at) {
    for (std::size_t k = 0; k < members.size(); ++k) {
      if (k != 0) *w++ = ',';
      const Member& m = members[index_at(k)];
      copy_small(w, source_at(m.begin), m.end - m.begin);
      w += m.end - m.begin;
    }
    return w;
  }

  const unsigned char* p_;
  std::size_t n_;
  std::size_t i_ = 0;
  std::ptrdiff_t offset_ = 0;  // raw position minus text position (see raw_pos)
  std::size_t depth_ = 0;
  bool skip_digest_key_;
  HashPipe* stream_;  // null, or where a root array's text may go while it is read
  std::size_t changed_ = 0;  // records kept so far: a rise means a change below
  std::size_t reordered_ = 0;  // objects reordered in place so far, likewise
  std::ptrdiff_t size_change_ = 0;  // emitted size minus raw size, tagged forms so far
  bool dropped_members_ = false;    // root "digest" members left out
  DirectText& doc_;
  char* base_;   // the raw text buffer, its write cursor and its end
  char* w_;
  char* w_end_;
  decltype(DirectText::objects_)& objects_;
  decltype(DirectText::members_)& sorted_;
  // Working storage, kept by the DirectText between reads:
  GrowableArray<Member>& members_;  // a stack: each open object's members on top
  std::string& keys_;             // decoded keys that had escapes
  std::string& encoded_key_;      // such a key in canonical form
  std::vector<KeyRef>& order_;   // the sort order of the object being closed
  std::string& reorder_copy_;     // the members of the object reordered in place
  ShortShapes& short_shapes_;
  std::unique_ptr<LongShapes>& long_shapes_;
  json::SpecialIndex::Cursor specials_;
  SiblingKeys (&siblings_)[kSiblingSlots];
  std::uint64_t (&sibling_reads_)[kSiblingSlots];
  SiblingKey (&sibling_pool_)[kSiblingPool];
  std::size_t pool_used_ = 0;  // keys handed out in this read
  const std::uint64_t read_;  // this read's number
  const std::size_t raw_wanted_;
};

// Writes the canonical text by copying the raw text and stepping into each
// recorded object. Recursion follows the nesting, at most the raw depth.
template <class Sink>
class DirectEmitter {
 public:
  DirectEmitter(const DirectText& doc, Sink& sink) : doc_(doc), sink_(sink) {}

  void run() { span(0, doc_.raw_size_, 0, doc_.objects_.size()); }

 private:
  void put(std::size_t from, std::size_t to) { sink_.put(doc_.raw_data() + from, to - from); }

  // Text of the emitter's own, which has no room past its end to read.
  template <std::size_t N>
  void literal(const char (&text)[N]) {
    if constexpr (requires { sink_.put_exact(text, N - 1); }) {
      sink_.put_exact(text, N - 1);
    } else {
      sink_.put(text, N - 1);
    }
  }

  // The raw text [from, to), with the recorded objects [k, k_end) inside it.
  void span(std::size_t from, std::size_t to, std::size_t k, std::size_t k_end) {
    while (k < k_end) {
      const ObjectRecord& o = doc_.objects_[k];
      put(from, o.begin);
      object(k);
      from = o.end;
      k = o.next;
    }
    put(from, to);
  }

  void object(std::size_t k) {
    const ObjectRecord& o = doc_.objects_[k];
    switch (o.kind) {
      case ObjectRecord::Kind::Span:
        span(o.begin, o.end, k + 1, o.next);
        break;
      case ObjectRecord::Kind::Sorted:
        literal("{");
        for (std::size_t m = o.first; m < o.last; ++m) {
          if (m != o.first) literal(",");
          const MemberRecord& r = doc_.members_[m];
          // Most members hold no recorded object: one copy, no walk.
          if (r.obj_first == r.obj_end) {
            put(r.begin, r.end);
          } else {
            span(r.begin, r.end, r.obj_first, r.obj_end);
          }
        }
        literal("}");
        break;
      case ObjectRecord::Kind::Lift:
        span(o.a, o.b, o.first, o.last);
        break;
      case ObjectRecord::Kind::Int:
        if (o.negative) literal("-");
        put(o.a, o.b);
        break;
      case ObjectRecord::Kind::Zero:
        literal("0");
        break;
      case ObjectRecord::Kind::Null:
        literal("null");
        break;
    }
  }

  const DirectText& doc_;
  Sink& sink_;
};

namespace {

struct StringSink {
  std::string& out;
  void put(const char* data, std::size_t size) { out.append(data, size); }
};

struct CountSink {
  std::size_t size = 0;
  void put(const char*, std::size_t n) { size += n; }
};

struct BufferSink {
  char* dst;
  void put(const char* data, std::size_t n) {
    copy_small(dst, data, n);
    dst += n;
  }
};

// Copies in whole 16-byte blocks, up to 15 bytes past each piece: the next
// piece overwrites them, and both the raw text and the buffer have room
// past their ends. A short piece costs one block and one well-predicted
// branch.
struct PaddedBufferSink {
  char* dst;
  void put(const char* data, std::size_t n) {
    constexpr std::size_t kBlock = 16;
    static_assert(DirectText::kTextPadding >= kBlock);
    for (std::size_t k = 0; k < n; k += kBlock) std::memcpy(dst + k, data + k, kBlock);
    dst += n;
  }
  // For a source with no room past its end.
  void put_exact(const char* data, std::size_t n) {
    std::memcpy(dst, data, n);
    dst += n;
  }
};

// Gathers the many small pieces (braces, commas, short spans) so that the
// hash (a Sha256 or a HashPipe) is fed in large runs.
template <class Hash>
class HashSink {
 public:
  explicit HashSink(Hash& hash) : hash_(hash) {}
  ~HashSink() { flush(); }
  HashSink(const HashSink&) = delete;
  HashSink& operator=(const HashSink&) = delete;

  void put(const char* data, std::size_t size) {
    if (size > sizeof buf_ - used_) {
      flush();
      if (size >= sizeof buf_) {
        hash_.feed(data, size);
        return;
      }
    }
    copy_small(buf_ + used_, data, size);
    used_ += size;
  }

 private:
  void flush() {
    hash_.feed(buf_, used_);
    used_ = 0;
  }
  Hash& hash_;
  char buf_[4096];
  std::size_t used_ = 0;
};

}  // namespace

bool DirectText::read(std::string_view text, bool skip_digest_key, HashPipe* stream) {
  source_ = nullptr;
  raw_size_ = 0;
  text_size_known_ = false;
  objects_.clear();
  members_.clear();
  // The canonical text is seldom longer than its source (only escapes such
  // as \n, which grow to six bytes). A heap buffer starts a quarter larger,
  // which covers documents that use them without growing (growth in a heap
  // the process has churned can mean a copy, both blocks resident at once);
  // pages reserved but never written cost no memory. A buffer large enough
  // to be mapped grows by remapping, without a copy: it starts at the
  // source's size.
  const std::size_t headroom = text.size() >= kMappedBufferBytes ? 0 : text.size() / 4;
  std::size_t capacity = text.size() + headroom + kRawSlack + DirectText::kTextPadding;
  // A root array read for a hash needs room for what waits between two
  // hand-overs (the buffer grows for a larger element).
  if (stream != nullptr) {
    const std::size_t first =
        skip_whitespace(reinterpret_cast<const unsigned char*>(text.data()), 0, text.size());
    if (first == text.size() || text[first] != '[') stream = nullptr;
  }
  const bool streamed = stream != nullptr;
  const std::size_t streamed_capacity = 2 * kStreamBytes + kRawSlack + DirectText::kTextPadding;
  if (streamed) capacity = std::min(capacity, streamed_capacity);
  // Made with the first byte written: a text that stays its own raw text
  // (see text_stays_uncopied) reserves no copy of itself.
  if (raw_capacity_ < capacity) {
    raw_.reset();
    raw_capacity_ = 0;
  }
  // Room for the records of documents seen in practice (an eighth of the
  // source's size for objects, a quarter for sorted members), so that they
  // seldom grow: growing a heap block can mean a copy, both resident at
  // once. Pages reserved but never written cost no memory, but a block's
  // first page does: the room is taken once the first few records are
  // spent.
  const std::size_t recorded = std::min(text.size(), capacity);
  const std::size_t object_room = recorded / kRecordShareOfText / sizeof(direct_detail::ObjectRecord) + 1;
  const std::size_t member_room = recorded / kMemberShareOfText / sizeof(direct_detail::MemberRecord) + 1;
  objects_.reserve_in_steps(std::min(object_room, kFirstRecords), object_room);
  members_.reserve_in_steps(std::min(member_room, kFirstRecords), member_room);
  if (!reader_) reader_.reset(new direct_detail::ReaderScratch);
  reader_->clear();
  DirectReader reader(text, skip_digest_key, stream, *this, capacity);
  return reader.run();
}

std::string DirectText::take_text() {
  if (objects_.empty()) return std::string(raw());
  std::string out;
  out.reserve(raw_size_);
  StringSink sink{out};
  DirectEmitter<StringSink>(*this, sink).run();
  return out;
}

std::size_t DirectText::text_size() const {
  if (text_size_known_) return text_size_;
  CountSink sink;
  DirectEmitter<CountSink>(*this, sink).run();
  return sink.size;
}

void DirectText::write_text(char* dst) const {
  BufferSink sink{dst};
  DirectEmitter<BufferSink>(*this, sink).run();
}

void DirectText::write_text_padded(char* dst) const {
  // The source text has no room past its pieces to read.
  if (source_ != nullptr) return write_text(dst);
  PaddedBufferSink sink{dst};
  DirectEmitter<PaddedBufferSink>(*this, sink).run();
}

template <class Hash>
void DirectText::feed_text_to(Hash& hash) const {
  if (objects_.empty()) {
    hash.feed(raw_data(), raw_size_);
    return;
  }
  HashSink<Hash> sink(hash);
  DirectEmitter<HashSink<Hash>>(*this, sink).run();
}

void DirectText::feed_text(Sha256& hash) const { feed_text_to(hash); }
void DirectText::feed_text(HashPipe& hash) const { feed_text_to(hash); }

std::size_t DirectText::held_bytes() const noexcept {
  return raw_capacity_ + objects_.capacity() * sizeof(direct_detail::ObjectRecord) +
         members_.capacity() * sizeof(direct_detail::MemberRecord) +
         (reader_ ? reader_->held_bytes() : 0);
}

void DirectText::release() noexcept { *this = DirectText(); }

bool direct_canonical(std::string_view text, bool skip_digest_key, std::string& out) {
  DirectText doc;
  if (!doc.read(text, skip_digest_key)) return false;
  out = doc.take_text();
  return true;
}

}  // namespace quorl
