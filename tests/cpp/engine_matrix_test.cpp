// The engine each kernel family uses follows QUORL_ENGINE: the widest engine
// this CPU runs, by the test's own view of the CPU, at or below the tier the
// variable names (every engine it runs when unset). ctest runs the suite
// once per tier (tests/cpp/CMakeLists.txt), so that every engine of every
// family is exercised.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/cpu/kernel_registry.h"
#include "core/hash/sha256.h"
#include "json/lex/byte_scan.h"
#include "json/lex/string_escape.h"
#include "json/lex/utf8_validate.h"

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace quorl {
namespace {

// This target's tiers, narrowest first, as the variable spells them.
#if defined(__x86_64__)
const std::vector<std::string_view> kTiers = {"portable", "sse2", "sse4.1", "avx2", "avx512bw"};
#elif defined(__aarch64__)
const std::vector<std::string_view> kTiers = {"portable", "neon"};
#else
const std::vector<std::string_view> kTiers = {"portable"};
#endif

std::size_t rank_of(std::string_view tier) {
  for (std::size_t k = 0; k < kTiers.size(); ++k) {
    if (kTiers[k] == tier) return k;
  }
  return kTiers.size();
}

// Whether this CPU runs an engine, by its name, asked of the compiler's CPU
// model and the kernel rather than of the code under test. Unset for an
// engine this view cannot judge (clang 14 lacks "sha").
std::optional<bool> cpu_runs(std::string_view engine) {
  if (engine == "portable") return true;
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool sse41 = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
  const bool avx2 = __builtin_cpu_supports("avx2");
  if (engine == "sse2") return true;
  if (engine == "sse4.1") return sse41;
  if (engine == "avx2") return avx2;
  if (engine == "avx512bw")
    return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#if !defined(__clang__)
  if (engine == "x86-sha-ni") return sse41 && __builtin_cpu_supports("sha");
#endif
#elif defined(__aarch64__)
  if (engine == "neon") return true;
#if defined(__linux__) && defined(HWCAP_SHA2)
  if (engine == "armv8-sha2") return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#endif
#endif
  return std::nullopt;
}

struct FamilyRow {
  const char* label;
  cpu::FamilyView (*view)();
};

const FamilyRow kFamilies[] = {
    {"Scan", &scan_family},
    {"Utf8", &json::utf8_family},
    {"Sha256", &Sha256::family},
    {"Escape", &json::escape_family},
};

class EngineMatrix : public ::testing::TestWithParam<FamilyRow> {};

TEST_P(EngineMatrix, ChosenEngineIsTheWidestTheCpuRunsWithinTheNamedTier) {
  const cpu::FamilyView view = GetParam().view();
  std::printf("[ ENGINE   ] %.*s engine in use: %.*s\n", static_cast<int>(view.family.size()),
              view.family.data(), static_cast<int>(view.chosen.name.size()),
              view.chosen.name.data());
  ASSERT_GE(view.built_count, 1u);
  EXPECT_EQ(view.built[0].name, "portable");
  EXPECT_EQ(cpu::tier_name(view.built[0].tier), "portable");

  // The engines it runs: those built that this CPU runs, in their order.
  std::vector<std::string_view> expected_runnable;
  for (std::size_t k = 0; k < view.built_count; ++k) {
    const std::optional<bool> runs = cpu_runs(view.built[k].name);
    if (!runs) GTEST_SKIP() << "no independent view of the CPU for " << view.built[k].name;
    if (*runs) expected_runnable.push_back(view.built[k].name);
    EXPECT_LT(rank_of(cpu::tier_name(view.built[k].tier)), kTiers.size()) << view.built[k].name;
  }
  std::vector<std::string_view> runnable;
  for (std::size_t k = 0; k < view.runnable_count; ++k) runnable.push_back(view.runnable[k].name);
  EXPECT_EQ(runnable, expected_runnable);

  // The one chosen: the last of them within the tier named.
  const char* wanted = std::getenv("QUORL_ENGINE");
  const std::size_t cap =
      wanted != nullptr && rank_of(wanted) < kTiers.size() ? rank_of(wanted) : kTiers.size() - 1;
  std::string_view expected_chosen = "portable";
  for (std::size_t k = 0; k < view.runnable_count; ++k) {
    if (rank_of(cpu::tier_name(view.runnable[k].tier)) <= cap)
      expected_chosen = view.runnable[k].name;
  }
  EXPECT_EQ(view.chosen.name, expected_chosen) << "QUORL_ENGINE=" << (wanted ? wanted : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(Families, EngineMatrix, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<FamilyRow>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace quorl
