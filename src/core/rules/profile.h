// Digest profiles: the four names a digest is made under. Each is hashed
// first, in its domain line, so that one document has four unrelated
// digests and a digest made for one purpose cannot pass for another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/messages.h"
#include "base/result.h"

namespace quorl {

enum class Profile : std::uint8_t { Run, Certificate, ArtifactByte, SemanticContent };

// The names, in the order of Profile: what callers pass and what the
// package and the command list.
inline constexpr std::array<std::string_view, 4> kProfileNames = {
    "run", "certificate", "artifact-byte", "semantic-content"};

inline constexpr std::string_view kDomainTag = "spec-quorl:v2:";

constexpr std::string_view profile_name(Profile profile) noexcept {
  return kProfileNames[static_cast<std::size_t>(profile)];
}

// The profile a name stands for, by exact byte comparison (case-sensitive,
// no trimming); nullopt for any other text.
constexpr std::optional<Profile> parse_profile(std::string_view name) noexcept {
  for (std::size_t k = 0; k < kProfileNames.size(); ++k) {
    if (kProfileNames[k] == name) return static_cast<Profile>(k);
  }
  return std::nullopt;
}

namespace profile_detail {
constexpr std::size_t longest_name() noexcept {
  std::size_t longest = 0;
  for (std::string_view name : kProfileNames)
    longest = name.size() > longest ? name.size() : longest;
  return longest;
}
// Room for the longest line: the tag, the longest name and the line feed.
inline constexpr std::size_t kLineRoom = kDomainTag.size() + longest_name() + 1;
struct DomainLine {
  std::array<char, kLineRoom> bytes{};
  std::size_t size = 0;
};
constexpr std::array<DomainLine, kProfileNames.size()> make_domain_lines() {
  std::array<DomainLine, kProfileNames.size()> lines{};
  for (std::size_t k = 0; k < kProfileNames.size(); ++k) {
    DomainLine& line = lines[k];
    for (char c : kDomainTag) line.bytes[line.size++] = c;
    for (char c : kProfileNames[k]) line.bytes[line.size++] = c;
    line.bytes[line.size++] = '\n';
  }
  return lines;
}
inline constexpr auto kDomainLines = make_domain_lines();
}  // namespace profile_detail

// What a digest hashes ahead of the canonical text: the domain tag, the
// profile's name and a line feed, with no length or separator besides.
constexpr std::string_view domain_line(Profile profile) noexcept {
  const profile_detail::DomainLine& line =
      profile_detail::kDomainLines[static_cast<std::size_t>(profile)];
  return {line.bytes.data(), line.size};
}

// The refusal of any other name: the fixed start, then the name's own bytes.
inline QuorlError unknown_profile_error(std::string_view name) {
  QuorlError error{std::string(msg::kUnknownProfilePrefix.text)};
  error.message.append(name);
  error.code = Fault::UnknownProfile;
  return error;
}

}  // namespace quorl
