// The PPM model's memory: one heap cut into 12-byte units.
//
// Layout, low to high: the text area [0, units_start), which fills upward
// from text_ptr with the bytes that followed not-yet-built contexts; then the
// unit area, where state arrays are cut upward at lo_unit and contexts
// downward at hi_unit, the gap between them being untouched memory. Freed
// blocks go to 38 lists, one per block size of the unit ladder; a block of
// n units is served from list UNITS_TO_INDEX[n - 1]. When the gap is used
// up, a request falls back to the rarer paths: merge neighbouring free blocks
// (paced by glue_count), split a larger free block, or take the top of the
// text area. Only when all of these fail does an allocation return null and
// the model restores itself.
//
// Everything is addressed by 32-bit byte offsets from the heap start, so the
// allocator behaves the same on every platform. The heap is obtained zeroed,
// with one extra unit at its top whose stamp stays zero (the merge reads the
// stamp just past a block that ends at the top), and it is never cleared
// again while held: restarts and same-size starts keep what it holds.
//
// Between streams the heap can be handed on instead of released: every
// write lands below the text pointer, in the unit area between units_start
// and lo_unit, or above hi_unit, and those bounds only move outward between
// two initialisations. Their outermost positions since the heap was last
// zeroed therefore cover everything written, and clear_written() zeroes just
// that -- for a small stream a few kilobytes instead of a fresh mapping of
// tens of megabytes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "coder/ppm_records.h"
#include "common/speed_hints.h"
#include "coder/ppm_tables.h"

namespace tarn {

class SubAllocator {
  friend struct SubAllocatorTestAccess;  // the rare paths against their references, in the tests

 public:
  SubAllocator() = default;
  ~SubAllocator();
  SubAllocator(const SubAllocator&) = delete;
  SubAllocator& operator=(const SubAllocator&) = delete;

  // Keeps a held heap of the same size; otherwise obtains a fresh zeroed one.
  bool start_suballocator(uint32_t size);
  void stop_suballocator();
  void init_suballocator();
  // Zeroes every byte written since the heap was obtained or last cleared
  // and keeps it: the next start of the same size finds it as fresh.
  void clear_written();

  uint32_t alloc_context() {
    if (hi_unit_ != lo_unit_) return hi_unit_ -= UNIT_SIZE;
    if (heads_[0].next) return remove_node(0);
    return alloc_units_rare(0);
  }

  uint32_t alloc_units(uint32_t nu) {
    unsigned i = ppm_tables::UNITS_TO_INDEX[nu - 1];
    if (heads_[i].next) return remove_node(i);
    uint32_t block = lo_unit_;
    lo_unit_ += UNIT_SIZE * ppm_tables::INDEX_TO_UNITS[i];
    if (lo_unit_ <= hi_unit_) return block;
    lo_unit_ = block;
    return alloc_units_rare(i);
  }

  uint32_t alloc_units_rare(unsigned index);
  uint32_t expand_units(uint32_t block, uint32_t old_nu);
  uint32_t shrink_units(uint32_t block, uint32_t old_nu, uint32_t new_nu);
  // During a cut-off: moves a state array that lies within 16 KiB above
  // units_start to the first block of its list when that one lies higher.
  // Most arrays lie farther up and stay; that test is made here.
  uint32_t move_units_up(uint32_t block, uint32_t nu) {
    if (block - units_start_ > 16384) return block;
    return move_units_up_near(block, nu);
  }
  void free_units(uint32_t block, uint32_t nu);
  void special_free_unit(uint32_t unit);
  void split_block(uint32_t block, unsigned old_index, unsigned new_index);
  void glue_free_blocks();
  // From now until the next merge, every MARK_SPACING-th block each list
  // takes is noted, so that the merge can read a long list ahead of its walk
  // from several points at once. Only a hint: nothing else reads the notes.
  void mark_lists();
  // How many lists merges have read ahead since the heap was obtained.
  uint32_t lists_read_ahead() const { return lists_read_ahead_; }
  void expand_text_area();
  uint32_t get_used_memory() const;

  uint8_t* heap() const { return heap_; }
  uint32_t heap_size() const { return heap_size_; }
  uint32_t units_start() const { return units_start_; }
  uint32_t text_ptr() const { return text_ptr_; }
  void set_text_ptr(uint32_t p) {
    text_ptr_ = p;
    if (p > text_high_) text_high_ = p;
  }
  uint32_t lo_unit() const { return lo_unit_; }
  uint32_t hi_unit() const { return hi_unit_; }
  uint32_t glue_count() const { return glue_count_; }
  void set_glue_count(uint32_t n) { glue_count_ = n; }
  uint32_t list_count(unsigned index) const { return heads_[index].stamp; }
  uint32_t list_first(unsigned index) const { return heads_[index].next; }

  FreeBlock* block_at(uint32_t ref) const { return reinterpret_cast<FreeBlock*>(heap_ + ref); }

 private:
  struct ListHead {
    uint32_t stamp = 0;  // number of blocks in the list
    uint32_t next = 0;
  };

  void insert_node(uint32_t block, unsigned index, uint32_t nu) {
    if (marking_) [[unlikely]] note_mark(block, index);
    listed_ |= uint64_t{1} << index;
    FreeBlock* b = block_at(block);
    b->set_stamp(FREE_STAMP);
    b->set_next(heads_[index].next);
    b->set_nu(nu);
    heads_[index].next = block;
    heads_[index].stamp += 1;
  }

  uint32_t remove_node(unsigned index) {
    uint32_t block = heads_[index].next;
    const uint32_t next = linked_past_withdrawn(block_at(block));
    heads_[index].next = next;
    heads_[index].stamp -= 1;
    // The list's new first block is read at its next removal; merged lists
    // lie scattered over the heap.
    prefetch_for_read(block_at(next));
    return block;
  }

  // Blocks that expand_text_area gave to the text area leave their lists
  // lazily: they stay linked until a walk or a removal reaches them, which
  // then links past them, writing the link the unlinking would have
  // written. Their own links are kept here (the text may overwrite them),
  // in address order. All of them lie below the lowest listed block, so a
  // link is to a withdrawn block exactly when it is at most withdrawn_span_
  // (0 when none are pending).
  struct Withdrawn {
    uint32_t block;
    uint32_t next;
  };
  static constexpr unsigned MAX_WITHDRAWN = 1024;
  bool is_withdrawn(uint32_t ref) const { return ref - 1u < withdrawn_span_; }
  uint32_t skip_withdrawn(uint32_t ref) const;
  // A block's link, first rewritten past withdrawn blocks if it leads to one.
  uint32_t linked_past_withdrawn(FreeBlock* b) {
    uint32_t next = b->next();
    if (is_withdrawn(next)) [[unlikely]] {
      next = skip_withdrawn(next);
      b->set_next(next);
    }
    return next;
  }
  // Links every list past its withdrawn blocks and forgets them.
  void settle_withdrawn();
  // Once no list can reach them any more.
  void forget_withdrawn() {
    withdrawn_count_ = 0;
    withdrawn_span_ = 0;
  }

  // A block a list took while marking, every MARK_SPACING-th of that list.
  struct ListMark {
    uint32_t block;
    uint32_t index;
  };
  static constexpr uint32_t MARK_SPACING = 256;
  static constexpr uint32_t MAX_MARKS = 16384;  // 128 KiB, once a model has been pruned
  void note_mark(uint32_t block, unsigned index) {
    if (++taken_[index] % MARK_SPACING == 0 && mark_count_ < MAX_MARKS) marks_[mark_count_++] = {block, index};
  }
  void stop_marking() {
    marking_ = false;
    mark_count_ = 0;
  }
  class ListReadAhead;
  // The merge's survivors are dealt in turn to this many chains.
  static constexpr unsigned CHAINS = 8;
  // The merge's walk down one list, from its first block b (the list head
  // is already cleared), absorbing and dealing as glue_free_blocks says.
  template <class ReadAhead>
  void collect_list(uint32_t b, unsigned index, uint32_t* chain_head, uint32_t* chain_tail, unsigned& dealt);

  uint32_t move_units_up_near(uint32_t block, uint32_t nu);
  // The first non-empty list above `index`, or N_INDEXES.
  unsigned first_listed_above(unsigned index);
  // Folds the current bounds into the written extents.
  void note_written();

  uint8_t* heap_ = nullptr;
  uint32_t heap_size_ = 0;
  uint32_t text_ptr_ = 0;
  uint32_t units_start_ = 0;
  uint32_t lo_unit_ = 0;
  uint32_t hi_unit_ = 0;
  uint32_t glue_count_ = 0;
  std::array<ListHead, ppm_tables::N_INDEXES> heads_{};
  // Bit i set for every list that may hold blocks: insert_node sets it, and
  // first_listed_above clears the bits of the lists it finds empty. A rare
  // allocation thus looks only at lists that were given blocks since, not
  // at all the lists above its own.
  uint64_t listed_ = 0;

  std::array<Withdrawn, MAX_WITHDRAWN> withdrawn_{};
  uint32_t withdrawn_count_ = 0;
  uint32_t withdrawn_span_ = 0;
  bool walked_past_units_ = false;  // a text-area walk reached lo_unit since the last restart

  bool marking_ = false;
  uint32_t mark_count_ = 0;
  std::unique_ptr<ListMark[]> marks_;  // in the order they were noted
  std::array<uint32_t, ppm_tables::N_INDEXES> taken_{};
  uint32_t lists_read_ahead_ = 0;

  // What may have been written since the heap was last zeroed: [0,
  // text_high), [units_low, lo_high) and [hi_low, top). Valid once the
  // allocator has been initialised on the current heap.
  bool initialised_ = false;
  uint32_t text_high_ = 0;
  uint32_t units_low_ = 0;
  uint32_t lo_high_ = 0;
  uint32_t hi_low_ = 0;
};

}  // namespace tarn
