// Process-wide cache of the code objects that traceback entries use, keyed by
// failure site (source line, function name, file name).
//
// The cache is written for concurrent use without ever blocking: one atomic
// accessor count guards it. Readers share it (count above 0); a writer holds
// it exclusively (count at INT32_MIN plus readers passing through). A reader
// that meets a writer reports a miss; a writer that meets anyone skips the
// insertion. Nobody waits or retries.
//
// The cache knows nothing of Python: `Traits` supplies the handle type and
// its reference counting and memory, so the protocol can be tested with plain
// threads and no interpreter.
//
//   struct Traits {
//     using Handle = ...;                       // pointer-like, null = none
//     static void retain(Handle);               // take a reference
//     static void release(Handle);              // drop a reference
//     static void* allocate(size_t bytes);      // null on failure
//     static void* reallocate(void*, size_t);   // null on failure, old block kept
//   };
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tovren {

// Where a failure happened. Both strings live for the whole process.
struct FailureSite {
  const char* function;
  int line;
  const char* file;
};

// Orders sites by line, then function name, then file name.
inline int compare_sites(const FailureSite& a, const FailureSite& b) noexcept {
  if (a.line != b.line) return a.line < b.line ? -1 : 1;
  if (a.function != b.function) {
    int by_function = std::strcmp(a.function, b.function);
    if (by_function != 0) return by_function;
  }
  if (a.file != b.file) return std::strcmp(a.file, b.file);
  return 0;
}

template <typename Traits>
class CodeObjectCache {
 public:
  using Handle = typename Traits::Handle;
  static constexpr std::int32_t kGrowth = 64;
  static constexpr std::int32_t kWriterHeld = INT32_MIN;

  struct Entry {
    Handle code;
    FailureSite site;
  };

  // Returns a new reference to the code object cached for `site`, or a null
  // handle on a miss (also when a writer holds the cache).
  Handle find(const FailureSite& site) noexcept {
    if (accessors_.fetch_add(1) < 0) {
      accessors_.fetch_sub(1);
      return Handle{};
    }
    Handle found{};
    if (site.line != 0 && entries_ != nullptr) {
      std::int32_t position = lower_bound(site);
      if (position < count_ && compare_sites(entries_[position].site, site) == 0) {
        found = entries_[position].code;
        // Referenced before the count drops, so no writer can replace and
        // release it in between.
        Traits::retain(found);
      }
    }
    accessors_.fetch_sub(1);
    return found;
  }

  // Caches `code` for `site` (taking a reference of its own) unless someone
  // else is using the cache right now or memory runs out; either way the
  // caller keeps using its own reference.
  void insert(const FailureSite& site, Handle code) noexcept {
    std::int32_t idle = 0;
    if (!accessors_.compare_exchange_strong(idle, kWriterHeld)) return;
    insert_writer_held(site, code);
    accessors_.fetch_add(kWriterHeld);
  }

  // Inspection for tests; only meaningful while no other thread inserts.
  std::int32_t count() const noexcept { return count_; }
  std::int32_t capacity() const noexcept { return capacity_; }
  const Entry& entry(std::int32_t index) const noexcept { return entries_[index]; }
  std::int32_t accessors() const noexcept { return accessors_.load(); }

 private:
  void insert_writer_held(const FailureSite& site, Handle code) noexcept {
    if (site.line == 0) return;
    if (entries_ == nullptr) {
      auto* fresh = static_cast<Entry*>(Traits::allocate(sizeof(Entry) * kGrowth));
      if (fresh == nullptr) return;
      entries_ = fresh;
      capacity_ = kGrowth;
      count_ = 1;
      entries_[0] = Entry{code, site};
      Traits::retain(code);
      return;
    }
    std::int32_t position = lower_bound(site);
    if (position < count_ && compare_sites(entries_[position].site, site) == 0) {
      Handle previous = entries_[position].code;
      Traits::retain(code);
      entries_[position].code = code;
      Traits::release(previous);
      return;
    }
    if (count_ == capacity_) {
      std::int32_t grown = capacity_ + kGrowth;
      auto* moved = static_cast<Entry*>(
          Traits::reallocate(entries_, sizeof(Entry) * static_cast<std::size_t>(grown)));
      if (moved == nullptr) return;
      entries_ = moved;
      capacity_ = grown;
    }
    for (std::int32_t i = count_; i > position; --i) entries_[i] = entries_[i - 1];
    entries_[position] = Entry{code, site};
    ++count_;
    Traits::retain(code);
  }

  // Index of the first entry not below `site`, or the count when all are.
  // A key above the last entry is placed at the end without a search.
  std::int32_t lower_bound(const FailureSite& site) const noexcept {
    if (count_ > 0 && compare_sites(site, entries_[count_ - 1].site) > 0) return count_;
    std::int32_t start = 0;
    std::int32_t end = count_ - 1;
    std::int32_t mid = 0;
    while (start < end) {
      mid = start + (end - start) / 2;
      int order = compare_sites(site, entries_[mid].site);
      if (order < 0) {
        end = mid;
      } else if (order > 0) {
        start = mid + 1;
      } else {
        return mid;
      }
    }
    if (count_ == 0) return 0;
    return compare_sites(site, entries_[mid].site) <= 0 ? mid : mid + 1;
  }

  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
  Entry* entries_ = nullptr;
  std::atomic<std::int32_t> accessors_{0};
};

}  // namespace tovren
