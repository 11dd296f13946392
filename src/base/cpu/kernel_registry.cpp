#include "base/cpu/kernel_registry.h"

#include <cstdlib>

#include "base/cpu/cpu_features.h"

namespace quorl::cpu {

namespace {

constexpr Tier kTargetTiers[] = {
    Tier::Portable,
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
    Tier::Sse2,     Tier::Sse41, Tier::Avx2, Tier::Avx512bw,
#elif defined(__aarch64__) && defined(__ARM_NEON)
    Tier::Neon,
#endif
};

std::size_t rank(Tier tier) noexcept {
  for (std::size_t k = 0; k < std::size(kTargetTiers); ++k) {
    if (kTargetTiers[k] == tier) return k;
  }
  return std::size(kTargetTiers);  // not this target's: above every cap
}

}  // namespace

std::string_view tier_name(Tier tier) noexcept {
  switch (tier) {
    case Tier::Portable:
      return "portable";
    case Tier::Sse2:
      return "sse2";
    case Tier::Sse41:
      return "sse4.1";
    case Tier::Avx2:
      return "avx2";
    case Tier::Avx512bw:
      return "avx512bw";
    case Tier::Neon:
      return "neon";
  }
  return "portable";
}

std::span<const Tier> target_tiers() noexcept {
  return kTargetTiers;
}

bool runs(Tier tier) noexcept {
  if (rank(tier) == std::size(kTargetTiers)) return false;
  switch (tier) {
    case Tier::Portable:
      return true;
    case Tier::Sse2:
      return true;  // part of the target
    case Tier::Sse41:
      return has_sse41();
    case Tier::Avx2:
      return has_avx2();
    case Tier::Avx512bw:
      return has_avx512bw();
    case Tier::Neon:
      return true;  // part of the target
  }
  return false;
}

std::optional<Tier> engine_cap() noexcept {
  static const std::optional<Tier> cap = []() -> std::optional<Tier> {
    const char* wanted = std::getenv("QUORL_ENGINE");
    if (wanted == nullptr) return std::nullopt;
    for (Tier tier : kTargetTiers) {
      if (tier_name(tier) == wanted) return tier;
    }
    return std::nullopt;
  }();
  return cap;
}

bool within_cap(Tier tier) noexcept {
  const std::optional<Tier> cap = engine_cap();
  return !cap || rank(tier) <= rank(*cap);
}

}  // namespace quorl::cpu
