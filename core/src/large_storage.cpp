#include "large_storage.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <utility>

#include "morva/large_storage.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace morva {
namespace {

#if defined(__linux__)
// Whether the page holding `address` is resident: memory the allocator
// kept from an earlier block is, memory it has just taken from the system
// is not.
bool resident(std::uintptr_t page) {
  unsigned char state = 0;
  return mincore(reinterpret_cast<void*>(page), 1, &state) == 0 && (state & 1) != 0;
}
#endif

// Blocks of released matrices' values, for large_storage. The allocator
// hands a block this large back to the system when it is freed (or trims it
// off its heap), and the next problem of the same shape has the system zero
// and map it again, page by page: at n = 10,000 that costs more than the
// problem's construction itself. A kept block is resident and is written
// over as it is. Only blocks that large_storage handed out are kept, so that
// what is kept is what large_storage asks for again (a matrix of another
// making, such as a factorisation's, would only hold memory).
class KeptBlocks {
 public:
  // Never destroyed: matrices may be released while the process exits.
  static KeptBlocks& instance() {
    static KeptBlocks* const kept = new KeptBlocks;
    return *kept;
  }

  // The smallest kept block with room for `capacity` doubles and at most
  // twice that, emptied unless `as_held`; an empty vector without room when
  // none fits.
  std::vector<double> take(std::size_t capacity, bool as_held = false) {
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return {};
    Slot* best = nullptr;
    for (Slot& slot : slots_) {
      const std::size_t room = slot.values.capacity();
      if (room >= capacity && room / 2 <= capacity && (best == nullptr || room < best->values.capacity()))
        best = &slot;
    }
    if (best == nullptr) return {};
    bytes_ -= best->values.capacity() * sizeof(double);
    std::vector<double> values = std::exchange(best->values, {});
    if (!as_held) values.clear();
    note_issued(values.data());
    return values;
  }

  // Records a block large_storage hands out, displacing the oldest record
  // beyond kIssuedRecords.
  void issued(const double* block) {
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) note_issued(block);
  }

  void keep(std::vector<double>& values) noexcept {
    const std::size_t bytes = values.capacity() * sizeof(double);
    if (bytes > kKeptBytes) return;
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    const auto record = std::ranges::find(issued_, values.data());
    if (record == issued_.end()) return;
    *record = nullptr;
    // Displace the least recently kept until the block fits.
    for (;;) {
      Slot* oldest = nullptr;
      bool free_slot = false;
      for (Slot& slot : slots_) {
        if (slot.values.capacity() == 0) {
          free_slot = true;
        } else if (oldest == nullptr || slot.kept_at < oldest->kept_at) {
          oldest = &slot;
        }
      }
      if (free_slot && bytes_ + bytes <= kKeptBytes) break;
      bytes_ -= oldest->values.capacity() * sizeof(double);
      oldest->values = std::vector<double>();
    }
    for (Slot& slot : slots_) {
      if (slot.values.capacity() != 0) continue;
      slot.values = std::move(values);
      slot.kept_at = ++clock_;
      bytes_ += bytes;
      return;
    }
  }

 private:
  struct Slot {
    std::vector<double> values;
    std::uint64_t kept_at = 0;
  };

  // Under the lock.
  void note_issued(const double* block) {
    issued_[next_issued_] = block;
    next_issued_ = (next_issued_ + 1) % issued_.size();
  }

  static constexpr std::size_t kIssuedRecords = 32;

  // Only ever tried, never waited for: keeping is an economy. A thread that
  // finds it held goes without (a new block, a block not kept), and a child
  // forked while another thread held it never waits on it.
  std::mutex mutex_;
  std::array<Slot, kKeptBlocks> slots_;
  std::array<const double*, kIssuedRecords> issued_{};  // blocks handed out, not yet kept
  std::size_t next_issued_ = 0;
  std::size_t bytes_ = 0;  // the kept blocks' capacity in all
  std::uint64_t clock_ = 0;
};

}  // namespace

void ready_for_writing(const double* block, std::size_t count) {
#if defined(__linux__)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto first = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t last = first + count * sizeof(double);
#if defined(MADV_HUGEPAGE)
  // Only whole huge pages inside the block can be backed by them.
  const std::uintptr_t huge_begin = (first + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t huge_end = last & ~(kHugePage - 1);
  if (huge_end > huge_begin)
    madvise(reinterpret_cast<void*>(huge_begin), huge_end - huge_begin, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
  // Fresh memory from the system would fault in page by page as the block
  // is first written, each fault a trap into the kernel; asking for the
  // pages in one call costs their zeroing alone. Memory the allocator kept
  // is resident already and is left as it is (the call would walk its pages
  // for nothing). Kernels without the advice refuse it, and then the pages
  // fault in as before.
  const std::uintptr_t begin = (first + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = last & ~(kPage - 1);
  if (end >= begin + 16 * kPage && !(resident(begin) && resident(end - kPage))) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }
#endif
#else
  (void)block;
  (void)count;
#endif
}

void keep_storage(std::vector<double>& values) noexcept {
  // Most matrices are small: they never reach the blocks' lock.
  if (values.capacity() * sizeof(double) >= kKeptBlockBytes) KeptBlocks::instance().keep(values);
}

std::vector<double> storage_for_overwrite(std::size_t count) {
  if (count * sizeof(double) >= kKeptBlockBytes) {
    std::vector<double> kept = KeptBlocks::instance().take(count, true);
    if (kept.capacity() >= count) {
      kept.resize(count);  // writes only past what the block held
      return kept;
    }
  }
  std::vector<double> values = large_storage(count);
  values.resize(count);
  return values;
}

std::vector<double> large_storage(std::size_t capacity) {
  const bool keepable = capacity * sizeof(double) >= kKeptBlockBytes;
  if (keepable) {
    std::vector<double> kept = KeptBlocks::instance().take(capacity);
    if (kept.capacity() >= capacity) return kept;
  }
  std::vector<double> values;
  values.reserve(capacity);
  ready_for_writing(values.data(), capacity);
  if (keepable) KeptBlocks::instance().issued(values.data());
  return values;
}

}  // namespace morva
