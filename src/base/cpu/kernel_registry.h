// Kernel families and their engines. A family (the byte scans, UTF-8
// validation, SHA-256, the string escapes) has one engine per instruction-set
// tier it is written for; the one in use is the widest this CPU runs, within
// the tier the QUORL_ENGINE environment variable names. One variable caps
// every family at once, so that tests and fuzzing can run each engine of
// each family on a CPU that has wider ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace quorl::cpu {

// Instruction-set tiers. On x86 each needs the ones before it; Neon is
// AArch64's, above Portable alone.
enum class Tier : std::uint8_t { Portable, Sse2, Sse41, Avx2, Avx512bw, Neon };

// Its name, as QUORL_ENGINE spells it: "portable", "sse2", "sse4.1",
// "avx2", "avx512bw", "neon".
std::string_view tier_name(Tier tier) noexcept;
// This target's tiers, narrowest first.
std::span<const Tier> target_tiers() noexcept;
// Whether this process's CPU (and OS) runs the tier's instructions.
bool runs(Tier tier) noexcept;
// The tier QUORL_ENGINE names (read once), or nullopt when it is unset or
// names no tier of this target: no cap.
std::optional<Tier> engine_cap() noexcept;
// Whether an engine of this tier may be chosen under the cap.
bool within_cap(Tier tier) noexcept;

// An engine: its kernels, the tier they are compiled for, and whatever
// else they need of the CPU (the SHA extensions, say), or null.
template <class Kernels>
struct Engine {
  std::string_view name;  // stable: tests and tools report it
  Tier tier;
  bool (*also_needs)() noexcept;
  Kernels kernels;

  bool runnable() const noexcept { return runs(tier) && (also_needs == nullptr || also_needs()); }
};

// Engines in a fixed-size list, the first `count` used.
template <class Kernels, std::size_t N>
struct EngineList {
  std::array<Engine<Kernels>, N> items{};
  std::size_t count = 0;
  std::span<const Engine<Kernels>> span() const noexcept { return {items.data(), count}; }
};

// A family's engines, narrowest first; the first is the portable one,
// which every CPU runs.
template <class Kernels, std::size_t N>
struct KernelFamily {
  std::string_view name;
  std::array<Engine<Kernels>, N> engines;

  // The engines this CPU runs, narrowest first.
  EngineList<Kernels, N> runnable() const noexcept {
    EngineList<Kernels, N> list;
    for (const Engine<Kernels>& e : engines) {
      if (e.runnable()) list.items[list.count++] = e;
    }
    return list;
  }
};
// Spelled out for compilers without deduction for aggregates (clang before 17).
template <class Kernels, std::size_t N>
KernelFamily(std::string_view, std::array<Engine<Kernels>, N>) -> KernelFamily<Kernels, N>;

// What tests and tools see of a family, whatever its kernels.
struct EngineView {
  std::string_view name;
  Tier tier;
};
struct FamilyView {
  static constexpr std::size_t kMaxEngines = 8;
  std::string_view family;
  std::array<EngineView, kMaxEngines> built{};  // every engine of this target
  std::size_t built_count = 0;
  std::array<EngineView, kMaxEngines> runnable{};
  std::size_t runnable_count = 0;
  EngineView chosen{};
};

// The registry's record of one family (a KernelFamily with static storage):
// the engines this CPU runs and the one chosen, each found once per process
// and constant afterwards.
template <const auto& kFamily>
class Registered {
  using Family = std::remove_cvref_t<decltype(kFamily)>;
  using Entry = std::remove_cvref_t<decltype(kFamily.engines[0])>;

 public:
  static std::span<const Entry> runnable() noexcept {
    static const auto list = kFamily.runnable();
    return list.span();
  }
  // The widest runnable engine within the cap.
  static const Entry& chosen() noexcept {
    static const Entry* const pick = [] {
      const std::span<const Entry> list = runnable();
      const Entry* best = &list.front();
      for (const Entry& e : list) {
        if (within_cap(e.tier)) best = &e;
      }
      return best;
    }();
    return *pick;
  }
  // The widest runnable engine, whatever the cap.
  static const Entry& widest() noexcept { return runnable().back(); }

  static FamilyView view() noexcept {
    static_assert(std::tuple_size_v<decltype(Family::engines)> <= FamilyView::kMaxEngines);
    FamilyView v;
    v.family = kFamily.name;
    for (const Entry& e : kFamily.engines) v.built[v.built_count++] = {e.name, e.tier};
    for (const Entry& e : runnable()) v.runnable[v.runnable_count++] = {e.name, e.tier};
    v.chosen = {chosen().name, chosen().tier};
    return v;
  }
};

}  // namespace quorl::cpu
