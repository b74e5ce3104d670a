// The PPM heap's rare paths: merging, splitting, moving and the text area.
//
// Free blocks are not merged when freed; merging is batched in
// glue_free_blocks, which runs when a rare allocation finds glue_count at 0
// and then lets 8192 further misses pass before it runs again. The merge
// collects every listed block, absorbs the free blocks lying right behind
// it (stamp all ones), and hands the merged runs back to the lists cut to
// ladder sizes. During a cut-off, move_units_up lifts state arrays out of the
// bottom of the unit area and expand_text_area gives free blocks found at
// units_start back to the text area.
#include "coder/suballocator.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "common/speed_hints.h"
#include "platform/memory.h"

namespace tarn {

using ppm_tables::INDEX_TO_UNITS;
using ppm_tables::N_INDEXES;
using ppm_tables::UNITS_TO_INDEX;

SubAllocator::~SubAllocator() { stop_suballocator(); }

bool SubAllocator::start_suballocator(uint32_t size) {
  if (size == heap_size_ && heap_ != nullptr) return true;
  stop_suballocator();
  // One extra unit on top: its stamp is read by the merge and stays zero.
  void* mem = platform::allocate_zeroed(static_cast<size_t>(size) + UNIT_SIZE);
  if (mem == nullptr) return false;
  heap_ = static_cast<uint8_t*>(mem);
  heap_size_ = size;
  initialised_ = false;
  return true;
}

void SubAllocator::stop_suballocator() {
  platform::release_zeroed(heap_, static_cast<size_t>(heap_size_) + UNIT_SIZE);
  heap_ = nullptr;
  heap_size_ = 0;
  initialised_ = false;
}

void SubAllocator::init_suballocator() {
  note_written();
  heads_.fill(ListHead{});
  listed_ = 0;
  forget_withdrawn();
  stop_marking();
  walked_past_units_ = false;
  text_ptr_ = 0;
  hi_unit_ = heap_size_;
  units_start_ = lo_unit_ = hi_unit_ - UNIT_SIZE * ((heap_size_ / 8 / UNIT_SIZE) * 7);
  glue_count_ = 0;
  if (!initialised_) {
    initialised_ = true;
    text_high_ = 0;
    units_low_ = lo_high_ = units_start_;
    hi_low_ = hi_unit_;
  }
}

void SubAllocator::note_written() {
  if (!initialised_) return;
  text_high_ = std::max(text_high_, text_ptr_);
  units_low_ = std::min(units_low_, units_start_);
  lo_high_ = std::max(lo_high_, lo_unit_);
  hi_low_ = std::min(hi_low_, hi_unit_);
}

void SubAllocator::clear_written() {
  if (heap_ == nullptr || !initialised_) return;
  note_written();
  const size_t top = static_cast<size_t>(heap_size_) + UNIT_SIZE;
  std::memset(heap_, 0, std::min<size_t>(text_high_, top));
  if (units_low_ < lo_high_) std::memset(heap_ + units_low_, 0, std::min<size_t>(lo_high_, top) - units_low_);
  if (hi_low_ < top) std::memset(heap_ + hi_low_, 0, top - hi_low_);
  initialised_ = false;
}

uint32_t SubAllocator::alloc_units_rare(unsigned index) {
  if (glue_count_ == 0) {
    glue_free_blocks();
    if (heads_[index].next) return remove_node(index);
  }
  const unsigned j = first_listed_above(index);
  if (j < N_INDEXES) {
    uint32_t block = remove_node(j);
    split_block(block, j, index);
    return block;
  }
  glue_count_ -= 1;
  // The text area is about to shrink over the withdrawn blocks' addresses.
  if (withdrawn_span_ != 0) settle_withdrawn();
  uint32_t bytes = UNIT_SIZE * INDEX_TO_UNITS[index];
  if (units_start_ - text_ptr_ > bytes) {
    units_start_ -= bytes;
    units_low_ = std::min(units_low_, units_start_);
    return units_start_;
  }
  return 0;
}

unsigned SubAllocator::first_listed_above(unsigned index) {
  static_assert(N_INDEXES < 64);
  // Every non-empty list has its bit set, so the lowest set bit above
  // `index` whose list is non-empty is the first non-empty list above it.
  uint64_t candidates = listed_ & ~((uint64_t{2} << index) - 1);
  while (candidates != 0) {
    const auto j = static_cast<unsigned>(std::countr_zero(candidates));
    if (heads_[j].next) return j;
    listed_ &= ~(uint64_t{1} << j);
    candidates &= candidates - 1;
  }
  return N_INDEXES;
}

void SubAllocator::split_block(uint32_t block, unsigned old_index, unsigned new_index) {
  uint32_t diff = INDEX_TO_UNITS[old_index] - INDEX_TO_UNITS[new_index];
  uint32_t p = block + UNIT_SIZE * INDEX_TO_UNITS[new_index];
  unsigned k = UNITS_TO_INDEX[diff - 1];
  if (INDEX_TO_UNITS[k] != diff) {
    uint32_t first = INDEX_TO_UNITS[k - 1];
    insert_node(p, k - 1, first);
    p += UNIT_SIZE * first;
    diff -= first;
    k = UNITS_TO_INDEX[diff - 1];
  }
  insert_node(p, k, diff);
}

uint32_t SubAllocator::expand_units(uint32_t block, uint32_t old_nu) {
  if (old_nu >= ppm_tables::MAX_UNITS) return 0;  // a full 256-symbol array cannot grow
  unsigned i0 = UNITS_TO_INDEX[old_nu - 1];
  unsigned i1 = UNITS_TO_INDEX[old_nu];
  if (i0 == i1) return block;
  uint32_t fresh = alloc_units(old_nu + 1);
  if (fresh != 0) {
    std::memcpy(heap_ + fresh, heap_ + block, old_nu * UNIT_SIZE);
    insert_node(block, i0, old_nu);
  }
  return fresh;
}

uint32_t SubAllocator::shrink_units(uint32_t block, uint32_t old_nu, uint32_t new_nu) {
  unsigned i0 = UNITS_TO_INDEX[old_nu - 1];
  unsigned i1 = UNITS_TO_INDEX[new_nu - 1];
  if (i0 == i1) return block;
  if (heads_[i1].next) {
    uint32_t fresh = remove_node(i1);
    std::memcpy(heap_ + fresh, heap_ + block, new_nu * UNIT_SIZE);
    insert_node(block, i0, INDEX_TO_UNITS[i0]);
    return fresh;
  }
  split_block(block, i0, i1);
  return block;
}

void SubAllocator::free_units(uint32_t block, uint32_t nu) {
  unsigned i = UNITS_TO_INDEX[nu - 1];
  insert_node(block, i, INDEX_TO_UNITS[i]);
}

void SubAllocator::special_free_unit(uint32_t unit) {
  if (unit == units_start_) {
    block_at(unit)->set_stamp(FREE_STAMP);
    units_start_ += UNIT_SIZE;
  } else {
    insert_node(unit, 0, 1);
  }
}

uint32_t SubAllocator::move_units_up_near(uint32_t block, uint32_t nu) {
  unsigned i = UNITS_TO_INDEX[nu - 1];
  // An empty list has first block 0, below every block: nothing to move to.
  if (block > heads_[i].next) return block;
  uint32_t fresh = remove_node(i);
  std::memcpy(heap_ + fresh, heap_ + block, nu * UNIT_SIZE);
  if (block == units_start_)
    units_start_ += UNIT_SIZE * INDEX_TO_UNITS[i];
  else
    insert_node(block, i, INDEX_TO_UNITS[i]);
  return fresh;
}

void SubAllocator::mark_lists() {
  if constexpr (!SPEED_HINTS) return;
  if (!marks_) {
    marks_.reset(new (std::nothrow) ListMark[MAX_MARKS]);
    if (!marks_) return;  // the merge then walks as it always could
  }
  marking_ = true;
  mark_count_ = 0;
  taken_.fill(0);
}

// Reads a list ahead of the merge's walk down it. A list hands out its
// newest blocks first, so its marks, newest first, cut it into stretches of
// about MARK_SPACING blocks in list order. READERS readers follow the links
// of the next READERS stretches ahead of the walk, each from its mark, and ask
// for every header on the way and the header right behind each block: the
// walk's two reads. Each reader waits on its own chain only, so READERS misses
// are in flight where the walk alone had one. When the walk meets the mark
// a reader started from, the readers of that stretch and of any before it
// move on to the next marks. A mark whose block left the list before the
// merge is never met, but a later one is. The readers only read, and only
// within the heap, so whatever the marks say, the merge does what it did.
class SubAllocator::ListReadAhead {
 public:
  static constexpr unsigned READERS = 8;
  static constexpr unsigned WALK_PER_STEP = 8;  // blocks the walk takes per step of the readers

  ListReadAhead(const SubAllocator& a, unsigned index)
      : heap_(a.heap_), top_(a.heap_size_), marks_(a.marks_.get()), cursor_(a.mark_count_), index_(index) {
    for (unsigned r = 0; r < READERS; ++r) start_reader(r);
  }

  // Called with every block the walk takes.
  void walked(uint32_t block) {
    unsigned met = READERS;
    for (unsigned r = 0; r < READERS; ++r)
      if (block == start_[r]) met = r;
    if (met != READERS) [[unlikely]] {
      // Readers go in turn: the one after `first_` began at the next mark.
      for (unsigned r = first_;; r = (r + 1) % READERS) {
        start_reader(r);
        if (r == met) break;
      }
      first_ = (met + 1) % READERS;
    }
    if (++walked_ % WALK_PER_STEP == 0) step_readers();
  }

 private:
  struct Reader {
    uint32_t at = 0;  // 0: idle
    uint32_t steps = 0;
  };

  const FreeBlock* block_at(uint32_t ref) const { return reinterpret_cast<const FreeBlock*>(heap_ + ref); }
  bool inside(uint32_t ref) const { return ref != 0 && ref < top_; }

  // The next older mark of this list that still looks listed, or 0. The
  // newest marks are the likeliest to have left the list again, and a block
  // in use no longer carries the free stamp.
  uint32_t next_mark() {
    while (cursor_ > 0) {
      --cursor_;
      const uint32_t mark = marks_[cursor_].block;
      if (marks_[cursor_].index == index_ && inside(mark) && block_at(mark)->stamp() == FREE_STAMP) return mark;
    }
    return 0;
  }

  // A reader with no mark left stays idle, and its start, 0, is never met:
  // the walk never takes block 0.
  void start_reader(unsigned r) {
    const uint32_t mark = next_mark();
    start_[r] = mark;
    readers_[r].at = mark;
    readers_[r].steps = MARK_SPACING + MARK_SPACING / 2;
    if (mark != 0) prefetch_for_read(block_at(mark));
  }

  void step_readers() {
    for (Reader& r : readers_) {
      if (r.at == 0) continue;
      const FreeBlock* f = block_at(r.at);
      const uint32_t behind = r.at + UNIT_SIZE * (f->nu() & 0xFFFFu);
      if (inside(behind)) prefetch_for_read(block_at(behind));
      const uint32_t next = f->next();
      r.at = inside(next) && --r.steps != 0 ? next : 0;
      if (r.at != 0) prefetch_for_read(block_at(next));
    }
  }

  const uint8_t* heap_;
  uint32_t top_;
  const ListMark* marks_;
  uint32_t cursor_;
  unsigned index_;
  Reader readers_[READERS];
  uint32_t start_[READERS] = {};
  unsigned first_ = 0;  // the reader of the nearest stretch ahead
  uint32_t walked_ = 0;
};

namespace {

struct NoReadAhead {
  NoReadAhead(const SubAllocator&, unsigned) {}
  void walked(uint32_t) {}
};

}  // namespace

template <class ReadAhead>
void SubAllocator::collect_list(uint32_t b, unsigned index, uint32_t* chain_head, uint32_t* chain_tail,
                                unsigned& dealt) {
  ReadAhead ahead(*this, index);
  while (b != 0) {
    ahead.walked(b);
    FreeBlock* fb = block_at(b);
    uint32_t following = linked_past_withdrawn(fb);
    // The next block's header is asked for while this one absorbs its
    // neighbours.
    prefetch_for_read(block_at(following));
    uint32_t nu = fb->nu();
    if (nu != 0) {
      for (;;) {
        uint32_t after = b + UNIT_SIZE * nu;
        if (after > heap_size_) break;  // cannot happen: the top unit is never free
        FreeBlock* nb = block_at(after);
        if (nb->stamp() != FREE_STAMP || nb->nu() == 0) break;
        nu += nb->nu();
        nb->set_nu(0);
      }
      fb->set_nu(nu);
      fb->set_next(0);
      const unsigned c = dealt++ % CHAINS;
      if (chain_tail[c] != 0)
        block_at(chain_tail[c])->set_next(b);
      else
        chain_head[c] = b;
      chain_tail[c] = b;
    }
    b = following;
  }
}

void SubAllocator::glue_free_blocks() {
  if (lo_unit_ != hi_unit_) heap_[lo_unit_] = 0;  // the gap must never look free

  // Take every listed block, list by list, absorbing the free blocks right
  // behind it. The survivors are dealt in turn to CHAINS chains, linked
  // through their `next` fields, so that handing them back in the same order
  // can follow several chains at once instead of waiting on one.
  uint32_t chain_head[CHAINS] = {};
  uint32_t chain_tail[CHAINS] = {};
  unsigned dealt = 0;
  for (unsigned i = 0; i < N_INDEXES; ++i) {
    const uint32_t b = heads_[i].next;
    const uint32_t heads_count = heads_[i].stamp;
    heads_[i] = ListHead{};
    if (b == 0) continue;
    // Only a list much longer than the readers' reach is worth reading ahead.
    if (mark_count_ != 0 && heads_count > 4 * ListReadAhead::READERS * MARK_SPACING) {
      ++lists_read_ahead_;
      collect_list<ListReadAhead>(b, i, chain_head, chain_tail, dealt);
    } else {
      collect_list<NoReadAhead>(b, i, chain_head, chain_tail, dealt);
    }
  }
  stop_marking();

  // Hand the merged runs back in the order they were dealt, cut to ladder
  // sizes. A survivor absorbed by a later one has size 0 and gives nothing;
  // it is left linked to the survivor dealt after it, as one chain would
  // have left it.
  for (unsigned c = 0;; c = (c + 1) % CHAINS) {
    uint32_t b = chain_head[c];
    if (b == 0) break;  // dealt in turn: the first chain to run out ends them all
    chain_head[c] = block_at(b)->next();
    prefetch_for_read(block_at(chain_head[c]));
    uint32_t sz = block_at(b)->nu();
    if (sz == 0) {
      block_at(b)->set_next(chain_head[(c + 1) % CHAINS]);
    } else {
      while (sz > ppm_tables::MAX_UNITS) {
        insert_node(b, N_INDEXES - 1, ppm_tables::MAX_UNITS);
        b += UNIT_SIZE * ppm_tables::MAX_UNITS;
        sz -= ppm_tables::MAX_UNITS;
      }
      unsigned i = UNITS_TO_INDEX[sz - 1];
      if (INDEX_TO_UNITS[i] != sz) {
        uint32_t k = sz - INDEX_TO_UNITS[i - 1];
        insert_node(b + UNIT_SIZE * (sz - k), k - 1, k);
        i -= 1;
      }
      insert_node(b, i, INDEX_TO_UNITS[i]);
    }
  }
  forget_withdrawn();
  glue_count_ = 8192;
}

void SubAllocator::expand_text_area() {
  uint32_t count[N_INDEXES] = {};
  // The walk does not stop at lo_unit: when the gap is used up, free
  // contexts at the bottom of the context area go to the text area as well.
  const uint32_t first = units_start_;
  uint32_t pending = withdrawn_count_;
  bool lazily = true;
  for (;;) {
    FreeBlock* fb = block_at(units_start_);
    if (fb->stamp() != FREE_STAMP) break;
    uint32_t nu = fb->nu();
    if (nu == 0 || nu > ppm_tables::MAX_UNITS) break;  // not a listed block
    count[UNITS_TO_INDEX[nu - 1]] += 1;
    // Below lo_unit every block start that looks free is a listed block, so
    // the counts are what leaves each list. At and above it, memory from
    // before the last restart may look free without being listed, and a walk
    // that went there may leave units_start above blocks the gap hands out
    // later: from then until the next restart the lists are walked, as they
    // are when the table is full.
    if (units_start_ >= lo_unit_) walked_past_units_ = true;
    if (walked_past_units_ || pending == MAX_WITHDRAWN)
      lazily = false;
    else
      withdrawn_[pending++] = {units_start_, linked_past_withdrawn(fb)};
    fb->set_stamp(0);
    units_start_ += UNIT_SIZE * nu;
  }
  if (units_start_ == first) return;
  if (lazily) {
    withdrawn_count_ = pending;
    withdrawn_span_ = units_start_ - 1;
    for (unsigned i = 0; i < N_INDEXES; ++i) {
      heads_[i].stamp -= count[i];
      heads_[i].next = skip_withdrawn(heads_[i].next);
    }
    return;
  }

  // Each list gives up as many blocks marked 0 as were counted for it,
  // the first ones in list order.
  settle_withdrawn();
  for (unsigned i = 0; i < N_INDEXES; ++i) {
    if (count[i] == 0) continue;
    uint32_t prev = 0;  // 0: the list head
    uint32_t b = heads_[i].next;
    while (count[i] != 0 && b != 0) {
      uint32_t following = block_at(b)->next();
      prefetch_for_read(block_at(following));
      if (block_at(b)->stamp() == 0) {
        if (prev == 0)
          heads_[i].next = following;
        else
          block_at(prev)->set_next(following);
        heads_[i].stamp -= 1;
        count[i] -= 1;
      } else {
        prev = b;
      }
      b = following;
    }
  }
}

uint32_t SubAllocator::skip_withdrawn(uint32_t ref) const {
  const Withdrawn* begin = withdrawn_.data();
  const Withdrawn* end = begin + withdrawn_count_;
  while (is_withdrawn(ref)) {
    const Withdrawn* w =
        std::lower_bound(begin, end, ref, [](const Withdrawn& x, uint32_t r) { return x.block < r; });
    assert(w != end && w->block == ref);  // every one a list can reach is kept
    if (w == end || w->block != ref) return 0;
    ref = w->next;
  }
  return ref;
}

void SubAllocator::settle_withdrawn() {
  if (withdrawn_span_ == 0) return;
  for (unsigned i = 0; i < N_INDEXES; ++i) {
    for (uint32_t b = heads_[i].next; b != 0;) {
      uint32_t following = linked_past_withdrawn(block_at(b));
      prefetch_for_read(block_at(following));
      b = following;
    }
  }
  forget_withdrawn();
}

uint32_t SubAllocator::get_used_memory() const {
  uint32_t size = heap_size_ - (hi_unit_ - lo_unit_) - (units_start_ - text_ptr_);
  for (unsigned i = 0; i < N_INDEXES; ++i) size -= UNIT_SIZE * INDEX_TO_UNITS[i] * heads_[i].stamp;
  return size;
}

}  // namespace tarn
