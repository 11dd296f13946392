// quorl_core's two functions run wholly on the calling thread, whatever the
// document's size and whichever path decides it; only the quorl package's
// pipelined digest starts a thread. The test binary is linked with
// --wrap=pthread_create (tests/cpp/CMakeLists.txt), so every thread the core
// starts passes through the counter below.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "core/canonical_text.h"
#include "core/digest.h"

namespace {
std::atomic<int> g_threads_started{0};
}  // namespace

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*start)(void*), void* arg);
extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*start)(void*), void* arg) {
  g_threads_started.fetch_add(1);
  return __real_pthread_create(thread, attr, start, arg);
}

namespace quorl {
namespace {

// A document past the size from which the package's digest hashes on a
// second thread, as a root array of records (streamed to the hash while it
// is read) or a root object; `tail` ends it.
std::string large_document(bool array, const std::string& tail) {
  std::string text = array ? "[" : "{\"items\":[";
  for (std::size_t i = 0; text.size() < kHashThreadFromBytes + (std::size_t{1} << 20); ++i) {
    text += "{\"name\":\"record " + std::to_string(i) + "\",\"id\":" + std::to_string(i) + "},";
  }
  text += tail;
  text += array ? "]" : "],\"digest\":0}";
  return text;
}

struct NoThreadRow {
  const char* label;
  std::string text;
  // Whether the package's digest hashes this document on a second thread
  // (a root array's text goes to the hash while it is read).
  bool pipelined_on_a_thread;
};
void PrintTo(const NoThreadRow& row, std::ostream* out) {
  *out << row.label;
}

class NoThread : public ::testing::TestWithParam<NoThreadRow> {
 protected:
  // How many threads `call` started.
  static int threads_started_by(const std::function<void()>& call) {
    const int before = g_threads_started.load();
    call();
    return g_threads_started.load() - before;
  }
};

TEST_P(NoThread, TheModuleFunctionsStartNone) {
  const std::string& text = GetParam().text;
  DirectText scratch;
  Result<std::string> bytes = fail(QuorlError{});
  Result<std::string> digest = fail(QuorlError{});
  EXPECT_EQ(threads_started_by([&] { bytes = py_canonical_bytes_from_json(text); }), 0);
  EXPECT_EQ(threads_started_by([&] { digest = py_digest_from_json(text, "run", scratch); }), 0);
  ASSERT_TRUE(bytes.ok()) << bytes.error().message;
  ASSERT_TRUE(digest.ok()) << digest.error().message;

  // The count can see a thread: the package's digest of a root array hashes
  // on one (where there is a second core), and agrees.
  Result<std::string> pipelined = fail(QuorlError{});
  const int started = threads_started_by([&] {
    pipelined = pipelined_digest_from_json(text, "run", scratch, /*hash_thread_from=*/0);
  });
  ASSERT_TRUE(pipelined.ok());
  EXPECT_EQ(pipelined.value(), digest.value());
  if (GetParam().pipelined_on_a_thread && std::thread::hardware_concurrency() >= 2) {
    EXPECT_GE(started, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    LargeDocuments, NoThread,
    ::testing::Values(NoThreadRow{"RootArray", large_document(true, "{\"last\":true}"), true},
                      NoThreadRow{"RootObject", large_document(false, "{\"last\":true}"), false},
                      // Duplicate keys: the exact path decides.
                      NoThreadRow{"ExactPath", large_document(true, "{\"a\":1,\"a\":2}"), true}),
    [](const ::testing::TestParamInfo<NoThreadRow>& info) {
      return std::string(info.param.label);
    });

}  // namespace
}  // namespace quorl
