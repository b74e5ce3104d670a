// PPM symbol coding: the block loops, the three kinds of context step, the
// escape estimators (SEE) and the frequency statistics.
//
// A context's states are kept roughly sorted by frequency (update1 swaps a
// state ahead of a less frequent predecessor, rescale sorts them), so the
// first state is tested on its own and most symbols are found after a few
// comparisons. Masking uses generations: a symbol is masked when its
// char_mask entry equals esc_count, and raising esc_count after a symbol was
// found past an escape unmasks everything at once.
//
// Every step leaves the interval of the symbol or the escape in coded_; the
// block loop hands it to the range coder. A decoder count beyond the coded
// total selects the escape, and an escape past the root ends the block early,
// so damaged input can never steer the model out of its heap.
#include "coder/ppm_model.h"

#include <algorithm>
#include <cstring>

#include "common/error.h"

namespace tarn {

// The per-symbol steps are small and called from the two block loops only;
// inlining them there keeps the common path free of calls.
#if defined(__GNUC__)
#define PPM_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define PPM_INLINE __forceinline
#else
#define PPM_INLINE inline
#endif

using ppm_tables::EXP_ESCAPE;
using ppm_tables::NS_TO_BS_INDEX;
using ppm_tables::QUANT_TABLE;

PpmModel::PpmModel() {
  std::memset(char_mask_, 0, sizeof char_mask_);
  std::memset(bin_summ_, 0, sizeof bin_summ_);
  std::memset(see2_cont_, 0, sizeof see2_cont_);
  dummy_see2_ = See2Context{0, 70, 0};  // never adapts: its mean is always 1
}

PpmModel::~PpmModel() = default;

void PpmModel::stop_suballocator() {
  alloc_.stop_suballocator();
  max_context_ = root_ = nullptr;
  found_state_ = nullptr;
}

void PpmModel::keep_heap_for_next_stream() {
  alloc_.clear_written();
  max_context_ = root_ = nullptr;
  found_state_ = nullptr;
}

void PpmModel::clear_mask() {
  esc_count_ = 1;
  std::memset(char_mask_, 0, sizeof char_mask_);
}

PPM_INLINE void PpmModel::finish_symbol(PpmContext* min_context) {
  uint32_t successor = found_state_->successor();
  if (order_fall_ == 0 && is_context(successor)) {
    max_context_ = context_at(successor);
  } else {
    update_model(min_context);
    if (esc_count_ == 0) clear_mask();
  }
}

// ------------------------------------------------------------ binary context

PPM_INLINE uint16_t& PpmModel::bin_summ_entry(PpmContext* ctx, const PpmContext* suffix) {
  PpmState* s = ctx->one_state();
  unsigned index = (prev_success_ + NS_TO_BS_INDEX[suffix->num_stats] + ctx->flags) & 0xFF;
  if (run_length_ < 0) index += 32;
  unsigned row = QUANT_TABLE[s->freq - 1u];
  return bin_summ_[row][index];
}

PPM_INLINE void PpmModel::bin_hit(PpmState* s, uint16_t& b) {
  found_state_ = s;
  prefetch_successor(s);
  if (s->freq < BIN_FREQ_LIMIT) s->freq += 1;
  coded_.low = 0;
  coded_.high = b;
  b = static_cast<uint16_t>(b + BIN_INTERVAL - ((b + 32u) >> 7));
  prev_success_ = 1;
  run_length_ = static_cast<int32_t>(static_cast<uint32_t>(run_length_) + 1u);
}

PPM_INLINE void PpmModel::bin_miss(PpmState* s, uint16_t& b) {
  coded_.low = b;
  b = static_cast<uint16_t>(b - ((b + 32u) >> 7));
  coded_.high = 1u << BIN_TOTAL_BITS;
  init_esc_ = EXP_ESCAPE[b >> 10];
  char_mask_[s->symbol] = esc_count_;
  prev_success_ = 0;
  num_masked_ = 0;
  found_state_ = nullptr;
}

// After a hit the next context is usually the found state's successor, and
// the binary step there reads that context's suffix: the successor of the
// same symbol in this context's suffix. When that suffix is binary too, its
// state is in the record just read, so the second miss of the next step can
// be asked for now, beside the first.
PPM_INLINE void PpmModel::prefetch_next_suffix(const PpmState& s, const PpmContext* suffix) const {
  if (suffix->num_stats == 0 && suffix->one_state()->symbol == s.symbol) prefetch_child(*suffix->one_state());
}

PPM_INLINE void PpmModel::encode_bin_symbol(PpmContext* ctx, int sym) {
  PpmState* s = ctx->one_state();
  const PpmContext* suffix = context_at(ctx->suffix());
  uint16_t& b = bin_summ_entry(ctx, suffix);
  if (s->symbol == sym) {
    bin_hit(s, b);
    prefetch_next_suffix(*s, suffix);
  } else {
    bin_miss(s, b);
  }
}

PPM_INLINE void PpmModel::decode_bin_symbol(PpmContext* ctx, RangeDecoder& coder) {
  PpmState* s = ctx->one_state();
  const PpmContext* suffix = context_at(ctx->suffix());
  uint16_t& b = bin_summ_entry(ctx, suffix);
  if (coder.below(coder.shift_range(BIN_TOTAL_BITS), b)) {
    bin_hit(s, b);
    prefetch_next_suffix(*s, suffix);
  } else {
    bin_miss(s, b);
  }
}

// -------------------------------------------------------------- first context

PPM_INLINE void PpmModel::first_symbol_hit(PpmContext* ctx, PpmState* p) {
  coded_.high = p->freq;
  prev_success_ = (2u * p->freq >= coded_.scale) ? 1 : 0;
  found_state_ = p;
  prefetch_successor(p);
  p->freq += 4;
  ctx->set_summ_freq(ctx->summ_freq() + 4u);
  run_length_ = static_cast<int32_t>(static_cast<uint32_t>(run_length_) + prev_success_);
  if (p->freq > MAX_FREQ) rescale(ctx);
  coded_.low = 0;
}

PPM_INLINE void PpmModel::encode_symbol1(PpmContext* ctx, int sym) {
  coded_.scale = ctx->summ_freq();
  PpmState* p = stats_of(ctx);
  if (p->symbol == sym) {
    first_symbol_hit(ctx, p);
    return;
  }
  prev_success_ = 0;
  uint32_t cum = p->freq;
  for (int i = ctx->num_stats; i > 0; --i) {
    ++p;
    if (p->symbol == sym) {
      coded_.low = cum;
      coded_.high = cum + p->freq;
      update1(ctx, p);
      return;
    }
    cum += p->freq;
  }
  coded_.low = cum;
  coded_.high = coded_.scale;
  mask_all(ctx);
}

PPM_INLINE void PpmModel::decode_symbol1(PpmContext* ctx, RangeDecoder& coder) {
  coded_.scale = ctx->summ_freq();
  PpmState* p = stats_of(ctx);
  const uint32_t offset = coder.scale_range(coded_.scale);
  uint32_t hi = p->freq;
  if (coder.below(offset, hi)) {
    first_symbol_hit(ctx, p);
    return;
  }
  prev_success_ = 0;
  for (int i = ctx->num_stats; i > 0; --i) {
    ++p;
    hi += p->freq;
    if (coder.below(offset, hi)) {
      coded_.low = hi - p->freq;
      coded_.high = hi;
      update1(ctx, p);
      return;
    }
  }
  coded_.low = hi;
  coded_.high = coded_.scale;
  mask_all(ctx);
}

void PpmModel::mask_all(PpmContext* ctx) {
  uint8_t* const mask = char_mask_;
  const uint8_t esc = esc_count_;
  const int ns = ctx->num_stats;
  PpmState* s = stats_of(ctx);
  for (int i = ns; i >= 0; --i, ++s) mask[s->symbol] = esc;
  num_masked_ = ns;
  found_state_ = nullptr;
}

void PpmModel::update1(PpmContext* ctx, PpmState* p) {
  found_state_ = p;
  prefetch_successor(p);
  p->freq += 4;
  ctx->set_summ_freq(ctx->summ_freq() + 4u);
  if (p[0].freq > p[-1].freq) {
    std::swap(p[0], p[-1]);
    found_state_ = --p;
    if (p->freq > MAX_FREQ) rescale(ctx);
  }
}

// ------------------------------------------------------------ masked contexts

See2Context* PpmModel::make_esc_freq2(PpmContext* ctx) {
  const int ns = ctx->num_stats;
  if (ns == 255) {
    coded_.scale = 1;
    return &dummy_see2_;
  }
  unsigned row = QUANT_TABLE[ns + 2] - 3u;
  unsigned column = (ctx->summ_freq() > 11 * (ns + 1) ? 1u : 0u) +
                    (2 * ns < context_at(ctx->suffix())->num_stats + num_masked_ ? 2u : 0u) + ctx->flags;
  See2Context* e = &see2_cont_[row][column];
  coded_.scale = see2_get_mean(e);
  return e;
}

uint32_t PpmModel::see2_get_mean(See2Context* e) {
  // A shift of 16 or more (the dummy's 70) leaves nothing.
  uint32_t r = e->shift < 16 ? static_cast<uint32_t>(e->summ >> e->shift) : 0u;
  e->summ = static_cast<uint16_t>(e->summ - r);
  return r != 0 ? r : 1u;
}

void PpmModel::see2_update(See2Context* e) {
  if (e->shift < SEE_PERIOD_BITS && --e->count == 0) {
    e->summ = static_cast<uint16_t>(e->summ * 2u);
    e->count = static_cast<uint8_t>(3u << e->shift);
    e->shift += 1;
  }
}

// The unmasked states are visited in array order, at most
// num_stats - num_masked of them and never past the end of the array; the
// encoder and the decoder apply the same bound, so they agree even where a
// suffix lacks some symbol of a longer context.
void PpmModel::encode_symbol2(PpmContext* ctx, int sym) {
  prefetch_ref(ctx->stats());  // overlaps with the suffix read of the SEE choice
  See2Context* e = make_esc_freq2(ctx);
  // Locals: stores through the byte-typed mask and heap records would
  // otherwise force the members to be reloaded on every step.
  uint8_t* const mask = char_mask_;
  const uint8_t esc = esc_count_;
  int remaining = ctx->num_stats - num_masked_;
  uint32_t cum = 0;
  PpmState* p = stats_of(ctx);
  PpmState* const end = p + ctx->num_stats + 1;
  // The mask is tested without a branch (see decode_symbol2); marking a
  // masked entry again changes nothing.
  for (; remaining > 0 && p != end; ++p) {
    const int live = mask[p->symbol] != esc ? 1 : 0;
    mask[p->symbol] = esc;
    remaining -= live;
    if (live != 0 && p->symbol == sym) {
      uint32_t total = cum + p->freq;
      for (PpmState* q = p + 1; remaining > 0 && q != end; ++q) {
        const int more = mask[q->symbol] != esc ? 1 : 0;
        total += q->freq & (0u - static_cast<uint32_t>(more));
        remaining -= more;
      }
      coded_.low = cum;
      coded_.high = cum + p->freq;
      coded_.scale += total;
      see2_update(e);
      update2(ctx, p);
      return;
    }
    cum += p->freq & (0u - static_cast<uint32_t>(live));
  }
  coded_.low = cum;
  coded_.scale += cum;
  coded_.high = coded_.scale;
  e->summ = static_cast<uint16_t>(e->summ + coded_.scale);
  num_masked_ = ctx->num_stats;
  found_state_ = nullptr;
}

void PpmModel::decode_symbol2(PpmContext* ctx, RangeDecoder& coder) {
  prefetch_ref(ctx->stats());  // overlaps with the suffix read of the SEE choice
  See2Context* e = make_esc_freq2(ctx);
  PpmState* collected[256];
  int n = 0;
  int remaining = ctx->num_stats - num_masked_;
  uint32_t hi = 0;
  PpmState* p = stats_of(ctx);
  PpmState* const end = p + ctx->num_stats + 1;
  const uint8_t* const mask = char_mask_;
  const uint8_t esc = esc_count_;
  // Without a branch on the mask: which states are masked follows no
  // pattern the processor could learn.
  for (; remaining > 0 && p != end; ++p) {
    const int live = mask[p->symbol] != esc ? 1 : 0;
    collected[n] = p;
    n += live;
    hi += p->freq & (0u - static_cast<uint32_t>(live));
    remaining -= live;
  }
  coded_.scale += hi;
  const uint32_t offset = coder.scale_range(coded_.scale);
  if (coder.below(offset, hi)) {
    uint32_t sum = 0;
    int k = 0;
    for (;; ++k) {
      sum += collected[k]->freq;
      if (coder.below(offset, sum)) break;
    }
    PpmState* s = collected[k];
    coded_.low = sum - s->freq;
    coded_.high = sum;
    see2_update(e);
    update2(ctx, s);
    return;
  }
  coded_.low = hi;
  coded_.high = coded_.scale;
  num_masked_ = ctx->num_stats;
  for (int k = 0; k < n; ++k) char_mask_[collected[k]->symbol] = esc_count_;
  e->summ = static_cast<uint16_t>(e->summ + coded_.scale);
  found_state_ = nullptr;
}

void PpmModel::update2(PpmContext* ctx, PpmState* p) {
  found_state_ = p;
  prefetch_successor(p);
  p->freq += 4;
  ctx->set_summ_freq(ctx->summ_freq() + 4u);
  if (p->freq > MAX_FREQ) rescale(ctx);
  esc_count_ += 1;  // 8-bit generation; wraps to 0 and the block loop clears the mask
  run_length_ = init_run_length_;
}

// -------------------------------------------------------------------- rescale

void PpmModel::rescale(PpmContext* ctx) {
  PpmState* stats = stats_of(ctx);
  const int old_ns = ctx->num_stats;

  // Bring found_state to the front.
  for (PpmState* p = found_state_; p != stats; --p) std::swap(p[0], p[-1]);

  stats[0].freq += 4;
  ctx->set_summ_freq(ctx->summ_freq() + 4u);
  int esc = ctx->summ_freq() - stats[0].freq;
  const int adder = order_fall_ != 0 ? 1 : 0;
  stats[0].freq = static_cast<uint8_t>((stats[0].freq + adder) >> 1);
  uint32_t summ = stats[0].freq;

  for (int i = 1; i <= old_ns; ++i) {
    PpmState* p = &stats[i];
    esc -= p->freq;
    p->freq = static_cast<uint8_t>((p->freq + adder) >> 1);
    summ += p->freq;
    if (p->freq > p[-1].freq) {
      PpmState tmp = *p;
      PpmState* q = p;
      do {
        q[0] = q[-1];
        --q;
      } while (q != stats && tmp.freq > q[-1].freq);
      *q = tmp;
    }
  }
  ctx->set_summ_freq(summ);

  if (stats[old_ns].freq == 0) {
    int k = 0;
    while (k <= old_ns && stats[old_ns - k].freq == 0) ++k;
    esc += k;
    const int new_ns = old_ns - k;
    ctx->num_stats = static_cast<uint8_t>(new_ns);
    if (new_ns == 0) {
      PpmState s = stats[0];
      int f = esc != 0 ? (2 * s.freq + esc - 1) / esc : 41;
      s.freq = static_cast<uint8_t>(std::min(41, f));
      alloc_.free_units(ref_of(stats), (old_ns + 2) / 2);
      *ctx->one_state() = s;
      ctx->flags = static_cast<uint8_t>((ctx->flags & 0x10) + (s.symbol >= 0x40 ? 0x08 : 0));
      found_state_ = ctx->one_state();
      return;
    }
    ctx->set_stats(alloc_.shrink_units(ref_of(stats), (old_ns + 2) / 2, (new_ns + 2) / 2));
    stats = stats_of(ctx);
    uint8_t flags = ctx->flags & ~0x08;
    for (int i = 0; i <= new_ns; ++i)
      if (stats[i].symbol >= 0x40) flags |= 0x08;
    ctx->flags = flags;
  }
  ctx->set_summ_freq(ctx->summ_freq() + static_cast<uint32_t>(esc - (esc >> 1)));
  ctx->flags |= 0x04;
  found_state_ = stats;
}

// ---------------------------------------------------------------- block loops

void PpmModel::encode_block(RangeEncoder& coder, const uint8_t* data, size_t length) {
  if (max_context_ == nullptr) return;  // not started
  for (size_t n = 0; n < length; ++n) {
    const int sym = data[n];
    PpmContext* ctx = max_context_;
    if (ctx->num_stats != 0) {
      encode_symbol1(ctx, sym);
      coder.encode(coded_.low, coded_.high, coded_.scale);
    } else {
      encode_bin_symbol(ctx, sym);
      coder.encode_shift(coded_.low, coded_.high, BIN_TOTAL_BITS);
    }
    while (found_state_ == nullptr) {
      coder.normalize();
      do {
        ++order_fall_;
        uint32_t suffix = ctx->suffix();
        if (suffix == 0) return;  // only a broken model escapes past the root
        ctx = context_at(suffix);
      } while (ctx->num_stats == num_masked_);
      encode_symbol2(ctx, sym);
      coder.encode(coded_.low, coded_.high, coded_.scale);
    }
    finish_symbol(ctx);
    coder.normalize();
  }
}

void PpmModel::decode_block(RangeDecoder& coder, uint8_t* data, size_t length) {
  if (max_context_ == nullptr || damaged_) {
    std::fill(data, data + length, uint8_t{0});
    return;
  }
  for (size_t n = 0; n < length; ++n) {
    PpmContext* ctx = max_context_;
    if (ctx->num_stats != 0)
      decode_symbol1(ctx, coder);
    else
      decode_bin_symbol(ctx, coder);
    coder.update(coded_.low, coded_.high);
    while (found_state_ == nullptr) {
      coder.normalize();
      do {
        ++order_fall_;
        uint32_t suffix = ctx->suffix();
        if (suffix == 0) {  // damaged input: end the block early
          damaged_ = true;
          std::fill(data + n, data + length, uint8_t{0});
          return;
        }
        ctx = context_at(suffix);
      } while (ctx->num_stats == num_masked_);
      decode_symbol2(ctx, coder);
      coder.update(coded_.low, coded_.high);
    }
    data[n] = found_state_->symbol;
    finish_symbol(ctx);
    coder.normalize();
  }
}

}  // namespace tarn
