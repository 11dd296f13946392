// What a read of the direct path records for the emitter: the objects of
// the raw text that the canonical text changes, and the members of those it
// puts in key order. Offsets are into the raw text, indexes into the record
// arrays; 32 bits keep the records small, and a raw text that outgrows them
// goes to the exact path.
#pragma once

#include <cstdint>

namespace quorl::direct_detail {

using Offset = std::uint32_t;

// An object of the raw text that the canonical text changes.
struct ObjectRecord {
  enum class Kind : std::uint8_t {
    Span,    // in key order itself; only objects inside it change
    Sorted,  // its members, from the member records, in key order
    Lift,    // a wrapper ("$str", "$arr", "$obj", "$bool"): its payload instead
    Int,     // an "$int" wrapper: '-' when negative, then its digits
    Zero,    // an "$int" wrapper of zero: "0"
    Null     // a "$null" wrapper: "null"
  };
  // Sorted: the member records [first, last).
  struct Members {
    Offset first, last;
  };
  // Lift: the payload's raw text, and the object records inside it.
  struct Payload {
    Offset begin, end;
    Offset records_first, records_end;
  };
  // Int: the digits' raw text, without leading zeros.
  struct Digits {
    Offset begin, end;
  };

  Kind kind = Kind::Span;
  bool negative = false;  // Int
  Offset begin = 0;       // '{' in the raw text
  Offset end = 0;         // just after '}'
  Offset next = 0;        // the record after this object's descendants
  union {
    Members members{};
    Payload payload;
    Digits digits;
  };
};

// A member of a Sorted object: its `"key":value` span in the raw text and
// the records of the objects inside its value.
struct MemberRecord {
  Offset begin, end;
  Offset records_first, records_end;
};

}  // namespace quorl::direct_detail
