// Unit tests of the traceback code-object cache (frame/code_object_cache.h),
// without an interpreter: the cache is instantiated with a fake reference-
// counted handle whose counts and memory the tests watch. The concurrent
// cases are meant to run under ThreadSanitizer too (`make tsan-unit`).
#include "frame/code_object_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace tovren {
namespace {

// A fake code object: a reference count and an identity.
struct FakeCode {
  explicit FakeCode(int tag) : tag(tag) {}
  std::atomic<int> references{1};  // the test's own reference
  int tag;
};

// Misuse that the fake records instead of crashing: a retain of an object
// whose count had reached zero, or a release below zero.
std::atomic<int> g_misuse{0};
// Allocation control; only one writer allocates at a time, by the cache's
// protocol, so the block bookkeeping needs no lock of its own (a broken
// protocol would show up as a data race here under ThreadSanitizer).
std::atomic<bool> g_fail_allocation{false};
void* g_live_block = nullptr;
std::function<void()> g_on_allocate;
std::function<void()> g_on_retain;

struct FakeTraits {
  using Handle = FakeCode*;
  static void retain(Handle code) {
    if (g_on_retain) g_on_retain();
    if (code->references.fetch_add(1) <= 0) g_misuse.fetch_add(1);
  }
  static void release(Handle code) {
    if (code->references.fetch_sub(1) <= 0) g_misuse.fetch_add(1);
  }
  static void* allocate(std::size_t bytes) {
    if (g_on_allocate) g_on_allocate();
    if (g_fail_allocation.load()) return nullptr;
    g_live_block = std::malloc(bytes);
    return g_live_block;
  }
  static void* reallocate(void* block, std::size_t bytes) {
    if (g_on_allocate) g_on_allocate();
    if (g_fail_allocation.load()) return nullptr;
    void* moved = std::realloc(block, bytes);
    if (moved != nullptr) g_live_block = moved;
    return moved;
  }
};

using Cache = CodeObjectCache<FakeTraits>;

constexpr const char kFunction[] = "tovren._libs.properties.CachedProperty.__get__";
constexpr const char kOtherFunction[] = "tovren._libs.properties.AxisProperty.__get__";
constexpr const char kFile[] = "tovren/_libs/properties";
constexpr const char kOtherFile[] = "<stringsource>";

FailureSite site_at(int line, const char* function = kFunction, const char* file = kFile) {
  return FailureSite{function, line, file};
}

class CodeObjectCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_misuse = 0;
    g_fail_allocation = false;
    g_live_block = nullptr;
    g_on_allocate = nullptr;
    g_on_retain = nullptr;
    cache_ = std::make_unique<Cache>();
  }
  void TearDown() override {
    // The cache lives for the whole process in the module and never frees
    // its array; here the test returns it.
    cache_.reset();
    std::free(g_live_block);
    g_live_block = nullptr;
    g_on_allocate = nullptr;
    g_on_retain = nullptr;
    EXPECT_EQ(g_misuse.load(), 0) << "retain after the last release, or release below zero";
  }

  FakeCode* make_code(int tag) {
    codes_.push_back(std::make_unique<FakeCode>(tag));
    return codes_.back().get();
  }

  std::vector<int> lines() const {
    std::vector<int> result;
    for (std::int32_t i = 0; i < cache_->count(); ++i) result.push_back(cache_->entry(i).site.line);
    return result;
  }

  Cache& cache() { return *cache_; }

 private:
  std::unique_ptr<Cache> cache_;
  std::vector<std::unique_ptr<FakeCode>> codes_;
};

TEST_F(CodeObjectCacheTest, InsertionKeepsLinesSortedAndReplacesAnEqualSite) {
  FakeCode* code30 = make_code(30);
  FakeCode* code10 = make_code(10);
  FakeCode* first20 = make_code(20);
  FakeCode* second20 = make_code(21);

  cache().insert(site_at(30), code30);
  cache().insert(site_at(10), code10);
  cache().insert(site_at(20), first20);
  cache().insert(site_at(20), second20);

  EXPECT_EQ(cache().count(), 3);
  EXPECT_EQ(cache().capacity(), 64);
  EXPECT_EQ(lines(), (std::vector<int>{10, 20, 30}));
  EXPECT_EQ(cache().entry(1).code, second20);
  // The replaced code object got its reference back; the new one is held.
  EXPECT_EQ(first20->references.load(), 1);
  EXPECT_EQ(second20->references.load(), 2);
  EXPECT_EQ(code10->references.load(), 2);
  EXPECT_EQ(code30->references.load(), 2);
  EXPECT_EQ(cache().accessors(), 0);
}

TEST_F(CodeObjectCacheTest, FindHandsOutANewReferenceOrAMiss) {
  FakeCode* code = make_code(7);
  cache().insert(site_at(7), code);

  FakeCode* found = cache().find(site_at(7));
  EXPECT_EQ(found, code);
  EXPECT_EQ(code->references.load(), 3);
  FakeTraits::release(found);

  EXPECT_EQ(cache().find(site_at(8)), nullptr);
  EXPECT_EQ(cache().find(site_at(6)), nullptr);
  EXPECT_EQ(code->references.load(), 2);
  EXPECT_EQ(cache().accessors(), 0);
}

TEST_F(CodeObjectCacheTest, FindOnAnEmptyCacheIsAMiss) {
  EXPECT_EQ(cache().find(site_at(1)), nullptr);
  EXPECT_EQ(cache().capacity(), 0);
  EXPECT_EQ(cache().accessors(), 0);
}

// The key is the whole site: one line reported by two operations, or in two
// files, makes two entries, each found only by its own site.
TEST_F(CodeObjectCacheTest, SitesOnOneLineAreDistinctEntries) {
  FakeCode* by_function = make_code(1);
  FakeCode* by_other_function = make_code(2);
  FakeCode* by_other_file = make_code(3);
  cache().insert(site_at(16, kFunction, kFile), by_function);
  cache().insert(site_at(16, kOtherFunction, kFile), by_other_function);
  cache().insert(site_at(16, kFunction, kOtherFile), by_other_file);

  EXPECT_EQ(cache().count(), 3);
  FakeCode* found[] = {cache().find(site_at(16, kFunction, kFile)),
                       cache().find(site_at(16, kOtherFunction, kFile)),
                       cache().find(site_at(16, kFunction, kOtherFile))};
  EXPECT_EQ(found[0], by_function);
  EXPECT_EQ(found[1], by_other_function);
  EXPECT_EQ(found[2], by_other_file);
  for (FakeCode* code : found) FakeTraits::release(code);
  EXPECT_EQ(cache().find(site_at(16, kOtherFunction, kOtherFile)), nullptr);
  // Sorted by line, then function name, then file name.
  for (std::int32_t i = 1; i < cache().count(); ++i) {
    EXPECT_LT(compare_sites(cache().entry(i - 1).site, cache().entry(i).site), 0);
  }
}

TEST_F(CodeObjectCacheTest, LineZeroIsNeverCached) {
  FakeCode* code = make_code(0);
  cache().insert(site_at(0), code);
  EXPECT_EQ(cache().count(), 0);
  EXPECT_EQ(cache().capacity(), 0) << "no array is allocated for line 0";
  EXPECT_EQ(code->references.load(), 1);

  cache().insert(site_at(5), make_code(5));
  cache().insert(site_at(0), code);
  EXPECT_EQ(cache().count(), 1);
  EXPECT_EQ(cache().find(site_at(0)), nullptr);
  EXPECT_EQ(code->references.load(), 1);
  EXPECT_EQ(cache().accessors(), 0);
}

TEST_F(CodeObjectCacheTest, ArrayGrowsBy64Entries) {
  std::vector<FakeCode*> codes;
  for (int line = 1; line <= 129; ++line) codes.push_back(make_code(line));
  for (int line = 1; line <= 64; ++line) cache().insert(site_at(line), codes[line - 1]);
  EXPECT_EQ(cache().capacity(), 64);
  cache().insert(site_at(65), codes[64]);
  EXPECT_EQ(cache().capacity(), 128);
  for (int line = 66; line <= 128; ++line) cache().insert(site_at(line), codes[line - 1]);
  EXPECT_EQ(cache().capacity(), 128);
  cache().insert(site_at(129), codes[128]);
  EXPECT_EQ(cache().capacity(), 192);
  EXPECT_EQ(cache().count(), 129);
  for (int line = 1; line <= 129; ++line) {
    FakeCode* found = cache().find(site_at(line));
    ASSERT_EQ(found, codes[line - 1]) << "line " << line;
    FakeTraits::release(found);
  }
}

// Lines inserted in random order end up sorted and each is found again:
// exercises the lower-bound search on every shape of array.
TEST_F(CodeObjectCacheTest, RandomInsertionOrderStaysSortedAndFindable) {
  std::mt19937 random(20261208);
  std::vector<int> order;
  for (int line = 1; line <= 300; ++line) order.push_back(line * 3);
  std::shuffle(order.begin(), order.end(), random);
  std::vector<FakeCode*> codes(301 * 3, nullptr);
  for (int line : order) {
    codes[line] = make_code(line);
    cache().insert(site_at(line), codes[line]);
  }
  EXPECT_EQ(cache().count(), 300);
  EXPECT_EQ(cache().capacity(), 320);
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(lines(), sorted);
  for (int line = 0; line <= 901; ++line) {
    FakeCode* found = cache().find(site_at(line));
    if (line > 0 && line % 3 == 0) {
      ASSERT_EQ(found, codes[line]) << "line " << line;
      FakeTraits::release(found);
    } else {
      ASSERT_EQ(found, nullptr) << "line " << line;
    }
  }
}

TEST_F(CodeObjectCacheTest, FailedFirstAllocationLeavesTheCacheEmpty) {
  FakeCode* code = make_code(3);
  g_fail_allocation = true;
  cache().insert(site_at(3), code);
  EXPECT_EQ(cache().count(), 0);
  EXPECT_EQ(cache().capacity(), 0);
  EXPECT_EQ(code->references.load(), 1);
  EXPECT_EQ(cache().find(site_at(3)), nullptr);
  EXPECT_EQ(cache().accessors(), 0);

  g_fail_allocation = false;
  cache().insert(site_at(3), code);
  EXPECT_EQ(cache().count(), 1);
  EXPECT_EQ(code->references.load(), 2);
}

TEST_F(CodeObjectCacheTest, FailedGrowthLeavesTheCacheUnchanged) {
  std::vector<FakeCode*> codes;
  for (int line = 1; line <= 64; ++line) {
    codes.push_back(make_code(line));
    cache().insert(site_at(line * 2), codes.back());
  }
  const Cache::Entry* array = &cache().entry(0);
  std::vector<int> before = lines();

  FakeCode* extra = make_code(99);
  g_fail_allocation = true;
  cache().insert(site_at(3), extra);  // would go in the middle
  EXPECT_EQ(cache().count(), 64);
  EXPECT_EQ(cache().capacity(), 64);
  EXPECT_EQ(&cache().entry(0), array);
  EXPECT_EQ(lines(), before);
  for (std::int32_t i = 0; i < 64; ++i) EXPECT_EQ(cache().entry(i).code, codes[i]);
  EXPECT_EQ(extra->references.load(), 1);
  EXPECT_EQ(cache().find(site_at(3)), nullptr);

  // Replacing an entry needs no memory, so it still works.
  FakeCode* replacement = make_code(100);
  cache().insert(site_at(4), replacement);
  EXPECT_EQ(cache().entry(1).code, replacement);
  EXPECT_EQ(codes[1]->references.load(), 1);
  EXPECT_EQ(replacement->references.load(), 2);
  EXPECT_EQ(cache().accessors(), 0);
}

// Parks one thread inside the cache (in a traits hook) until released.
class Parking {
 public:
  void park() {
    std::unique_lock lock(mutex_);
    parked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }
  void wait_until_parked() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return parked_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool parked_ = false;
  bool released_ = false;
};

// Runs `work` on another thread and reports whether it finished while the
// cache was held by a parked thread. A generous bound only tells a blocked
// caller from a running one; on failure the parked thread is let go first,
// so a caller that waits for it finishes and the test can end cleanly.
bool finishes_while_parked(Parking& parking, const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  bool finished = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) parking.release();
  runner.join();
  return finished;
}

TEST_F(CodeObjectCacheTest, ReadersAndWritersNeverWaitForAWriter) {
  FakeCode* resident = make_code(1);
  cache().insert(site_at(1), resident);
  // Fill the array so that the next new line makes the writer reallocate,
  // where the hook parks it while it holds the cache exclusively.
  for (int line = 2; line <= 64; ++line) cache().insert(site_at(line), make_code(line));
  Parking parking;
  g_on_allocate = [&parking] { parking.park(); };
  FakeCode* growing = make_code(65);
  std::thread writer([&] { cache().insert(site_at(65), growing); });
  parking.wait_until_parked();
  EXPECT_LT(cache().accessors(), 0) << "the writer holds the cache";

  FakeCode* found = resident;
  EXPECT_TRUE(finishes_while_parked(parking, [&] { found = cache().find(site_at(1)); }))
      << "a reader waited for the writer";
  EXPECT_EQ(found, nullptr) << "a reader that meets a writer reports a miss";

  FakeCode* other = make_code(66);
  EXPECT_TRUE(finishes_while_parked(parking, [&] { cache().insert(site_at(66), other); }))
      << "a second writer waited for the first";
  EXPECT_EQ(other->references.load(), 1) << "the second writer skips the insertion";

  parking.release();
  writer.join();
  g_on_allocate = nullptr;
  EXPECT_EQ(cache().accessors(), 0);
  EXPECT_EQ(cache().count(), 65);
  EXPECT_EQ(cache().capacity(), 128);
  EXPECT_EQ(growing->references.load(), 2);
  FakeCode* again = cache().find(site_at(1));
  EXPECT_EQ(again, resident);
  FakeTraits::release(again);
}

TEST_F(CodeObjectCacheTest, WritersSkipWhileAReaderSearches) {
  FakeCode* resident = make_code(1);
  cache().insert(site_at(1), resident);
  Parking parking;
  std::atomic<bool> park_next{true};
  // The reader takes its reference inside the cache: park it right there.
  g_on_retain = [&] {
    if (park_next.exchange(false)) parking.park();
  };
  FakeCode* found = nullptr;
  std::thread reader([&] { found = cache().find(site_at(1)); });
  parking.wait_until_parked();
  EXPECT_EQ(cache().accessors(), 1);

  FakeCode* replacement = make_code(2);
  EXPECT_TRUE(finishes_while_parked(parking, [&] { cache().insert(site_at(1), replacement); }))
      << "a writer waited for a reader";
  EXPECT_EQ(replacement->references.load(), 1);

  FakeCode* concurrent = nullptr;
  EXPECT_TRUE(finishes_while_parked(parking, [&] { concurrent = cache().find(site_at(1)); }))
      << "readers share the cache";
  EXPECT_EQ(concurrent, resident);
  FakeTraits::release(concurrent);

  parking.release();
  reader.join();
  g_on_retain = nullptr;
  EXPECT_EQ(found, resident);
  FakeTraits::release(found);
  EXPECT_EQ(cache().entry(0).code, resident);
  EXPECT_EQ(cache().accessors(), 0);
}

// Many threads search and insert at once over a fixed set of sites, each
// with a few candidate code objects. Every hit must be a code object made
// for that very site, referenced while in use; at the end the counts of all
// code objects add up to the test's own references plus one per entry.
TEST_F(CodeObjectCacheTest, ConcurrentFindAndInsertStayConsistent) {
  constexpr int kSites = 150;  // more than two growth steps
  constexpr int kCandidates = 3;
  constexpr int kThreads = 8;
  constexpr int kOperations = 20000;
  std::vector<std::vector<FakeCode*>> candidates(kSites + 1);
  for (int line = 1; line <= kSites; ++line) {
    for (int k = 0; k < kCandidates; ++k) candidates[line].push_back(make_code(line));
  }
  std::atomic<int> foreign{0};
  std::atomic<int> hits{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      std::uniform_int_distribution<int> pick_line(0, kSites);
      std::uniform_int_distribution<int> pick_candidate(0, kCandidates - 1);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kOperations; ++i) {
        int line = pick_line(random);
        if (random() % 4 == 0) {
          FakeCode* code = line == 0 ? candidates[1][0] : candidates[line][pick_candidate(random)];
          cache().insert(site_at(line), code);
        } else if (FakeCode* found = cache().find(site_at(line))) {
          hits.fetch_add(1);
          if (found->tag != line || found->references.load() < 2) foreign.fetch_add(1);
          FakeTraits::release(found);
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(foreign.load(), 0);
  EXPECT_GT(hits.load(), 0);
  EXPECT_EQ(cache().accessors(), 0);
  EXPECT_EQ(cache().capacity() % 64, 0);
  EXPECT_LE(cache().count(), cache().capacity());
  int held = 0;
  for (std::int32_t i = 0; i < cache().count(); ++i) {
    const Cache::Entry& entry = cache().entry(i);
    EXPECT_EQ(entry.code->tag, entry.site.line);
    if (i > 0) {
      EXPECT_LT(compare_sites(cache().entry(i - 1).site, entry.site), 0);
    }
  }
  for (int line = 1; line <= kSites; ++line) {
    for (FakeCode* code : candidates[line]) {
      int references = code->references.load();
      EXPECT_TRUE(references == 1 || references == 2) << "line " << line << ": " << references;
      held += references - 1;
    }
  }
  EXPECT_EQ(held, cache().count()) << "one reference per entry, none lost or leaked";
}

}  // namespace
}  // namespace tovren
