// PPM model start and memory exhaustion.
//
// start_model lays out a fresh heap, builds the root (all 256 byte values,
// frequency 1 each) and resets the adaptive tables: bin_summ, the binary
// contexts' probabilities, from eight base escape values scaled down per
// frequency row, and see2_cont, the escape estimators, per symbol-count row.
//
// When an update finds the heap or the text area exhausted, restore_model
// first takes back the half-done update (the symbol is removed again from
// the contexts that had received it), then either restarts the model from
// scratch (the heap is reused, not cleared) or, with the cut-off rule and at
// least half of the heap in use, prunes the tree: cut_off drops every branch
// that still ends in the text area, lifts state arrays away from the bottom
// of the unit area so that expand_text_area can give that memory back to the
// text, and repeats until at most three quarters of the heap is in use.
#include "coder/ppm_model.h"

#include <algorithm>
#include <cstring>

#include "common/error.h"

namespace tarn {

using ppm_tables::INIT_BIN_ESC;
using ppm_tables::QUANT_TABLE;

void PpmModel::start(unsigned max_order, uint32_t heap_bytes, bool cut_off) {
  // No method uses an order outside 1..15 or a heap too small for the root
  // and its 256 states (129 units in the unit area); refuse such a start.
  if (max_order < 1 || max_order > static_cast<unsigned>(MAX_ORDER_LIMIT) || heap_bytes < 4096 ||
      heap_bytes > 0xFFFF0000u)
    raise_error(ErrorCode::HEADER_DAMAGE);
  if (!alloc_.start_suballocator(heap_bytes)) {
    max_context_ = root_ = nullptr;
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
  damaged_ = false;
  start_model(max_order, cut_off ? 1 : 0);
}

void PpmModel::start_model(unsigned order, int method) {
  clear_mask();
  max_order_ = order;
  order_fall_ = static_cast<int>(order);
  restore_method_ = method;
  alloc_.init_suballocator();
  init_run_length_ = run_length_ = -static_cast<int32_t>(std::min(order, 12u)) - 1;

  uint32_t root_ref = alloc_.alloc_context();
  root_ = context_at(root_ref);
  root_->set_suffix(0);
  root_->num_stats = 255;
  root_->flags = 0;
  root_->set_summ_freq(257);
  uint32_t stats_ref = alloc_.alloc_units(128);
  root_->set_stats(stats_ref);
  PpmState* s = state_at(stats_ref);
  for (int i = 0; i < 256; ++i) {
    s[i].symbol = static_cast<uint8_t>(i);
    s[i].freq = 1;
    s[i].set_successor(0);
  }
  max_context_ = root_;
  found_state_ = nullptr;
  prev_success_ = 0;

  for (int m = 0, i = 0; m < 25; ++m) {
    while (QUANT_TABLE[i] == m) ++i;
    for (int k = 0; k < 8; ++k) {
      uint16_t v = static_cast<uint16_t>(16384 - INIT_BIN_ESC[k] / (i + 1));
      for (int j = k; j < 64; j += 8) bin_summ_[m][j] = v;
    }
  }
  for (int m = 0, i = 0; m < 24; ++m) {
    while (QUANT_TABLE[i + 3] == m + 3) ++i;
    for (int k = 0; k < 32; ++k) see2_cont_[m][k] = See2Context{static_cast<uint16_t>((2 * i + 5) * 8), 3, 7};
  }
}

// Turns a context whose last remaining state is stats[0] into a binary one;
// the caller releases the array afterwards.
void PpmModel::make_binary(PpmContext* ctx) {
  PpmState first = *stats_of(ctx);
  ctx->flags = static_cast<uint8_t>((ctx->flags & 0x10) + (first.symbol >= 0x40 ? 0x08 : 0));
  first.freq = static_cast<uint8_t>((first.freq + 11) >> 3);
  *ctx->one_state() = first;
}

void PpmModel::restore_model(PpmContext* stop_context, PpmContext* min_context) {
  alloc_.set_text_ptr(0);

  // Take the new symbol back from the contexts that received it.
  PpmContext* ctx = max_context_;
  for (; ctx != stop_context; ctx = context_at(ctx->suffix())) {
    ctx->num_stats -= 1;
    if (ctx->num_stats == 0) {
      uint32_t array = ctx->stats();
      make_binary(ctx);
      alloc_.special_free_unit(array);
    } else {
      refresh_context(ctx, (ctx->num_stats + 3u) / 2, 0);
    }
  }
  // The contexts that escaped without receiving it.
  for (; ctx != min_context; ctx = context_at(ctx->suffix())) {
    if (ctx->num_stats == 0) {
      PpmState* s = ctx->one_state();
      s->freq = static_cast<uint8_t>(s->freq - s->freq / 2);
    } else {
      ctx->set_summ_freq(ctx->summ_freq() + 4u);
      if (ctx->summ_freq() > 128u + 4u * ctx->num_stats) refresh_context(ctx, (ctx->num_stats + 2u) / 2, 1);
    }
  }

  if (restore_method_ == 0 || alloc_.get_used_memory() < alloc_.heap_size() / 2) {
    ++restarts_;
    start_model(max_order_, restore_method_);
    esc_count_ = 0;
    return;
  }
  ++cut_offs_;
  prune_tree();
}

void PpmModel::prune_tree() {
  max_context_ = root_;
  alloc_.mark_lists();  // the pruned blocks make long lists for the next merge
  do {
    cut_off(ref_of(root_), 0);
    alloc_.expand_text_area();
  } while (alloc_.get_used_memory() > 3 * (alloc_.heap_size() / 4));
  alloc_.set_glue_count(0);
  order_fall_ = static_cast<int>(max_order_);
}

// Most contexts the cut-off visits are binary, each reached through the one
// before it: a walk down such a chain waits for every record in turn. The
// chains below a batch of siblings are independent, so they are followed
// together first, a step of each at a time, and the walk then finds their
// records in the cache. At the foot of a chain, a context with several
// states: its array is asked for, and once the chains are done, the records
// of the children the walk takes first.
void PpmModel::warm_chains(const PpmState* first, int count, unsigned order) const {
  if (!SPEED_HINTS) return;
  uint32_t at[CHAIN_BATCH];
  uint32_t foot[CHAIN_BATCH];  // the arrays' last states, where the walk begins
  int live = 0;
  int feet = 0;
  uint32_t reached = 0;
  const uint32_t top = alloc_.heap_size();
  constexpr uint32_t LINE = 64;
  for (int j = 0; j < count; ++j) {
    const uint32_t successor = first[-j].successor();
    if (is_context(successor) && successor < top) {
      prefetch_ref(successor);
      at[live++] = successor;
    }
  }
  // A context of order o is walked into further only below max_order.
  for (unsigned o = order + 1; live > 0; ++o) {
    int kept = 0;
    for (int j = 0; j < live; ++j) {
      const PpmContext* c = context_at(at[j]);
      reached += c->num_stats;
      if (c->num_stats != 0) {
        const uint32_t last = c->stats() + uint32_t{sizeof(PpmState)} * c->num_stats;
        if (o < max_order_ && last < top) {
          prefetch_ref(last);
          foot[feet++] = last;
        }
        continue;
      }
      const uint32_t next = c->one_state()->successor();
      if (o < max_order_ && is_context(next) && next < top) {
        prefetch_ref(next);
        // A chain's contexts were mostly made one after another as the text
        // went on, each from the top of the unit area downward: in about two
        // steps of three the next lies in the same cache line or one or two
        // below. The three lines below the next are asked for too, so that
        // the step after it is usually on its way already.
        if (next >= 3 * LINE) {
          prefetch_ref(next - LINE);
          prefetch_ref(next - 2 * LINE);
          prefetch_ref(next - 3 * LINE);
        }
        at[kept++] = next;
      }
    }
    live = kept;
  }
  for (int j = 0; j < feet; ++j) {
    const PpmState* s = state_at(foot[j]);
    prefetch_child(s[0]);
    prefetch_child(s[-1]);
  }
  keep_value(reached);
}

uint32_t PpmModel::cut_off(uint32_t context, unsigned order) {
  PpmContext* ctx = context_at(context);
  if (ctx->num_stats == 0) {
    PpmState* s = ctx->one_state();
    if (is_context(s->successor())) {
      s->set_successor(order < max_order_ ? cut_off(s->successor(), order + 1) : 0);
      if (s->successor() != 0 || order <= 9) return context;
    }
    alloc_.special_free_unit(context);
    return 0;
  }

  const uint32_t nu = (ctx->num_stats + 2u) / 2;
  ctx->set_stats(alloc_.move_units_up(ctx->stats(), nu));
  // The walk is bound by the memory of the contexts it visits: the records
  // of the next few children are asked for while the current one's subtree
  // is walked, and once a record has come, what its walk reads next. The
  // states below k are not moved by the swaps at k.
  constexpr int AHEAD = 4;
  for (int k = ctx->num_stats, stop = std::max(ctx->num_stats - AHEAD, -1); k > stop; --k)
    prefetch_child(stats_of(ctx)[k]);
  int i = ctx->num_stats;
  for (int k = ctx->num_stats; k >= 0; --k) {
    PpmState* stats = stats_of(ctx);
    if ((ctx->num_stats - k) % CHAIN_BATCH == 0 && order < max_order_)
      warm_chains(&stats[k], std::min(k + 1, CHAIN_BATCH), order);
    if (k >= AHEAD) prefetch_child(stats[k - AHEAD]);
    if (k >= AHEAD / 2) prefetch_grandchild(stats[k - AHEAD / 2]);
    PpmState* p = &stats[k];
    if (!is_context(p->successor())) {
      p->set_successor(0);
      std::swap(*p, stats[i]);
      --i;
    } else if (order < max_order_) {
      p->set_successor(cut_off(p->successor(), order + 1));
    } else {
      p->set_successor(0);
    }
  }

  if (i != ctx->num_stats && order != 0) {
    ctx->num_stats = static_cast<uint8_t>(i);
    if (i < 0) {
      alloc_.free_units(ctx->stats(), nu);
      alloc_.special_free_unit(context);
      return 0;
    }
    if (i == 0) {
      uint32_t array = ctx->stats();
      make_binary(ctx);
      alloc_.free_units(array, nu);
    } else {
      refresh_context(ctx, nu, ctx->summ_freq() > 16u * static_cast<uint32_t>(i) ? 1 : 0);
    }
  }
  return context;
}

void PpmModel::refresh_context(PpmContext* ctx, uint32_t old_nu, int scale) {
  const int n = ctx->num_stats;
  ctx->set_stats(alloc_.shrink_units(ctx->stats(), old_nu, (n + 2u) / 2));
  PpmState* p = stats_of(ctx);
  uint8_t flags = static_cast<uint8_t>((ctx->flags & (0x10 + 0x04 * scale)) + (p->symbol >= 0x40 ? 0x08 : 0));
  int esc = ctx->summ_freq() - p->freq;
  p->freq = static_cast<uint8_t>((p->freq + scale) >> scale);
  uint32_t summ = p->freq;
  for (int k = 0; k < n; ++k) {
    ++p;
    esc -= p->freq;
    p->freq = static_cast<uint8_t>((p->freq + scale) >> scale);
    summ += p->freq;
    if (p->symbol >= 0x40) flags |= 0x08;
  }
  ctx->flags = flags;
  ctx->set_summ_freq(summ + static_cast<uint32_t>((esc + scale) >> scale));
}

}  // namespace tarn
