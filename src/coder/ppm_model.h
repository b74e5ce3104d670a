// PPM (prediction by partial matching) context model over bytes.
//
// For each byte the model starts in the longest context reached so far
// (max_context). If the byte is not predicted there it codes an escape and
// falls back along suffix links to ever shorter contexts, masking the symbols
// already ruled out, until the byte is found; the root (order 0) holds all
// 256 values. Three kinds of step: a binary context (one symbol) is coded
// with an adaptive probability from bin_summ out of 2^14; the first context
// tried, with two or more symbols, with its own frequencies and the escape
// implied by summ_freq; every later context with its unmasked symbols and an
// escape estimated by an adaptive See2Context. After each byte the tree is
// extended (ppm_update.cpp); when the heap runs out the model restarts or
// cuts its tree back (ppm_start.cpp). Encoder and decoder run the same code
// and change the model identically, byte for byte.
//
// The whole model lives in one heap owned by its SubAllocator; the records
// there are addressed by 32-bit offsets and converted to pointers only for
// the moment they are used, so nothing in the heap depends on the platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder/ppm_records.h"
#include "coder/range_coder.h"
#include "coder/suballocator.h"
#include "common/speed_hints.h"

namespace tarn {

class PpmModel {
  friend struct PpmModelTestAccess;  // the pruning against its reference, in the tests

 public:
  PpmModel();
  ~PpmModel();
  PpmModel(const PpmModel&) = delete;
  PpmModel& operator=(const PpmModel&) = delete;

  // Starts the model with the given maximum order and a heap of heap_bytes
  // (megabytes * 2^20 for the archive methods; tests pass small heaps to
  // force exhaustion). cut_off selects the memory-exhaustion rule. A held
  // heap of the same size is kept as it is.
  // Raises OUT_OF_MEMORY when the heap cannot be obtained, HEADER_DAMAGE for
  // an order or heap size no method has.
  void start(unsigned max_order, uint32_t heap_bytes, bool cut_off);

  // Releases the heap; the next start obtains a fresh, zeroed one.
  void stop_suballocator();
  // Ends the stream but keeps the heap, zeroing what the stream wrote: a
  // next start of the same size begins exactly as on a fresh heap.
  void keep_heap_for_next_stream();

  void encode_block(RangeEncoder& coder, const uint8_t* data, size_t length);
  void decode_block(RangeDecoder& coder, uint8_t* data, size_t length);

  // Inspection for tests.
  const SubAllocator& allocator() const { return alloc_; }
  unsigned restarts() const { return restarts_; }
  unsigned cut_offs() const { return cut_offs_; }

 private:
  static constexpr uint32_t MAX_FREQ = 124;
  static constexpr unsigned BIN_TOTAL_BITS = 14;
  static constexpr uint32_t BIN_INTERVAL = 128;
  static constexpr uint8_t SEE_PERIOD_BITS = 7;
  static constexpr uint8_t BIN_FREQ_LIMIT = 196;
  static constexpr int MAX_ORDER_LIMIT = 15;  // create_successors keeps at most 16 states
  static constexpr int CHAIN_BATCH = 8;       // sibling chains the cut-off reads ahead together

  // The interval of the symbol or escape just modelled.
  struct Interval {
    uint32_t low;
    uint32_t high;
    uint32_t scale;
  };

  // Heap access.
  uint8_t* heap() const { return alloc_.heap(); }
  PpmContext* context_at(uint32_t ref) const { return reinterpret_cast<PpmContext*>(heap() + ref); }
  PpmState* state_at(uint32_t ref) const { return reinterpret_cast<PpmState*>(heap() + ref); }
  PpmState* stats_of(const PpmContext* ctx) const { return state_at(ctx->stats()); }
  uint32_t ref_of(const void* p) const {
    return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - heap());
  }
  bool is_context(uint32_t successor) const { return successor >= alloc_.units_start(); }
  // The found state's successor is read soon after a symbol is found: the
  // next context, or the text byte that create_successors copies. Asking for
  // it early lets the miss overlap the coder's and the statistics' work.
  void prefetch_successor(const PpmState* s) const { prefetch_ref(s->successor()); }
  void prefetch_ref(uint32_t ref) const { prefetch_for_read(heap() + ref); }
  // A state's successor when it is a context (text positions stay cold).
  void prefetch_child(const PpmState& s) const {
    const uint32_t successor = s.successor();
    if (is_context(successor)) prefetch_ref(successor);
  }
  // What the walk of that context reads after its record: its state array,
  // or the successor of its one state.
  void prefetch_grandchild(const PpmState& s) const {
    const uint32_t successor = s.successor();
    if (!is_context(successor) || successor >= alloc_.heap_size()) return;
    PpmContext* child = context_at(successor);
    const uint32_t next = child->num_stats != 0 ? child->stats() : child->one_state()->successor();
    if (next < alloc_.heap_size()) prefetch_ref(next);
  }

  // Coding (ppm_model.cpp).
  void encode_bin_symbol(PpmContext* ctx, int sym);
  void decode_bin_symbol(PpmContext* ctx, RangeDecoder& coder);
  uint16_t& bin_summ_entry(PpmContext* ctx, const PpmContext* suffix);
  void prefetch_next_suffix(const PpmState& s, const PpmContext* suffix) const;
  void bin_hit(PpmState* s, uint16_t& b);
  void bin_miss(PpmState* s, uint16_t& b);
  void encode_symbol1(PpmContext* ctx, int sym);
  void decode_symbol1(PpmContext* ctx, RangeDecoder& coder);
  void first_symbol_hit(PpmContext* ctx, PpmState* p);
  void mask_all(PpmContext* ctx);  // escape from a first context
  void encode_symbol2(PpmContext* ctx, int sym);
  void decode_symbol2(PpmContext* ctx, RangeDecoder& coder);
  See2Context* make_esc_freq2(PpmContext* ctx);
  static uint32_t see2_get_mean(See2Context* e);
  static void see2_update(See2Context* e);
  void update1(PpmContext* ctx, PpmState* p);
  void update2(PpmContext* ctx, PpmState* p);
  void rescale(PpmContext* ctx);
  void clear_mask();
  // After a symbol is found: move on to its successor or update the tree.
  void finish_symbol(PpmContext* min_context);

  // Update (ppm_update.cpp).
  void update_model(PpmContext* min_context);
  uint32_t create_successors(bool skip, PpmState* p1, PpmContext* base);
  uint32_t inherit_successor(PpmState* p, PpmContext* base);
  PpmState* find_state(PpmContext* ctx, int sym);

  // Start and exhaustion (ppm_start.cpp).
  void start_model(unsigned order, int method);
  void restore_model(PpmContext* stop_context, PpmContext* min_context);
  // The cut-off rule's pruning, repeated until at most three quarters of
  // the heap is in use; the next rare allocation merges the free blocks.
  void prune_tree();
  uint32_t cut_off(uint32_t context, unsigned order);
  // Reads ahead, for the cut-off, down the chains of binary contexts below
  // `count` states from `first` downward, all chains a step at a time.
  void warm_chains(const PpmState* first, int count, unsigned order) const;
  void refresh_context(PpmContext* ctx, uint32_t old_nu, int scale);
  void make_binary(PpmContext* ctx);

  SubAllocator alloc_;

  PpmContext* max_context_ = nullptr;
  // Set when a damaged stream escaped past the root: the tree no longer
  // matches any byte sequence, so the rest of the stream decodes to zeros.
  bool damaged_ = false;
  PpmContext* root_ = nullptr;
  PpmState* found_state_ = nullptr;
  int order_fall_ = 0;
  int num_masked_ = 0;
  uint8_t esc_count_ = 1;
  uint8_t prev_success_ = 0;
  uint8_t init_esc_ = 0;
  int32_t run_length_ = 0;
  int32_t init_run_length_ = 0;
  unsigned max_order_ = 0;
  int restore_method_ = 0;
  Interval coded_{0, 0, 1};

  uint8_t char_mask_[256];
  uint16_t bin_summ_[25][64];
  See2Context see2_cont_[24][32];
  See2Context dummy_see2_;

  unsigned restarts_ = 0;
  unsigned cut_offs_ = 0;
};

}  // namespace tarn
