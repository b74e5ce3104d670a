// PPM model update: growing the context tree after each coded byte.
//
// The byte is added to every context that was tried and escaped, its count
// is bumped in the suffix of the context where it was found, and max_context
// moves to the context in which the next byte is coded first. Longer contexts
// are built lazily: the first time a context is followed by a byte, its state
// just points into the text area, where the bytes that followed are stored;
// only when that state is used again does create_successors build the real
// chain of (binary) contexts from the stored byte. A state with no successor
// at all inherits one from its suffix (inherit_successor). When the heap or
// the text area runs out, the update stops and restore_model takes over.
#include <algorithm>

#include "coder/ppm_model.h"

namespace tarn {

// The state of sym in a context with two or more symbols. The symbol is
// always there in a consistent tree; the search is bounded all the same.
PpmState* PpmModel::find_state(PpmContext* ctx, int sym) {
  PpmState* p = stats_of(ctx);
  PpmState* const last = p + ctx->num_stats;
  for (; p + 3 <= last; p += 4) {  // unrolled: this search is the update's main cost
    if (p[0].symbol == sym) return p;
    if (p[1].symbol == sym) return p + 1;
    if (p[2].symbol == sym) return p + 2;
    if (p[3].symbol == sym) return p + 3;
  }
  while (p != last && p->symbol != sym) ++p;
  return p;
}

void PpmModel::update_model(PpmContext* min_context) {
  PpmState* fs = found_state_;
  const int fsym = fs->symbol;
  const uint32_t ffreq = fs->freq;
  uint32_t fsucc = fs->successor();
  PpmContext* const stop = max_context_;
  PpmState* p = nullptr;
  // Most often the next context is this successor; its record is needed
  // when the update is done.
  if (is_context(fsucc)) prefetch_ref(fsucc);

  // 1. Bump the symbol in the suffix.
  if (ffreq < 31 && min_context->suffix() != 0) {
    PpmContext* pc = context_at(min_context->suffix());
    if (pc->num_stats != 0) {
      p = find_state(pc, fsym);
      if (p != stats_of(pc) && p[0].freq >= p[-1].freq) {
        std::swap(p[0], p[-1]);
        --p;
      }
      if (p->freq < 115) {
        p->freq += 2;
        pc->set_summ_freq(pc->summ_freq() + 2u);
      }
    } else {
      p = pc->one_state();
      if (p->freq < 32) p->freq += 1;
    }
  }

  // 2. Found at the longest order with a text successor: build the chain.
  if (order_fall_ == 0 && fsucc != 0) {
    uint32_t next = create_successors(true, p, min_context);
    fs->set_successor(next);
    if (next == 0) {
      restore_model(stop, min_context);
      return;
    }
    max_context_ = context_at(next);
    return;
  }

  // 3. Store the byte in the text area.
  uint8_t* text = heap();
  uint32_t text_ptr = alloc_.text_ptr();
  text[text_ptr++] = static_cast<uint8_t>(fsym);
  alloc_.set_text_ptr(text_ptr);
  uint32_t successor = text_ptr;
  if (text_ptr >= alloc_.units_start()) {
    restore_model(stop, min_context);
    return;
  }

  // 4. The context that follows the byte.
  if (fsucc != 0) {
    if (!is_context(fsucc)) {
      fsucc = create_successors(false, p, min_context);
      if (fsucc == 0) {
        restore_model(stop, min_context);
        return;
      }
    }
  } else {
    fsucc = inherit_successor(p, min_context);
    if (fsucc == 0) {
      restore_model(stop, min_context);
      return;
    }
  }

  // 5.
  if (--order_fall_ == 0) {
    successor = fsucc;
    if (max_context_ != min_context) alloc_.set_text_ptr(alloc_.text_ptr() - 1);
  }

  // 6.
  const uint32_t ns = min_context->num_stats;
  const uint32_t s0 = static_cast<uint32_t>(min_context->summ_freq()) - ns - ffreq;  // wraps
  const uint8_t flag = fsym >= 0x40 ? 0x08 : 0;

  // 7-8. Add the byte to every context that escaped.
  for (PpmContext* ctx = stop; ctx != min_context; ctx = context_at(ctx->suffix())) {
    const uint32_t ns1 = ctx->num_stats;
    uint32_t sf;
    if (ns1 != 0) {
      if (ns1 & 1) {
        uint32_t grown = alloc_.expand_units(ctx->stats(), (ns1 + 1) / 2);
        if (grown == 0) {
          restore_model(ctx, min_context);
          return;
        }
        ctx->set_stats(grown);
      }
      sf = ctx->summ_freq() + (3 * ns1 + 1 < ns ? 1u : 0u);
    } else {
      uint32_t q_ref = alloc_.alloc_units(1);
      if (q_ref == 0) {
        restore_model(ctx, min_context);
        return;
      }
      PpmState* q = state_at(q_ref);
      *q = *ctx->one_state();
      ctx->set_stats(q_ref);
      q->freq = q->freq < 30 ? static_cast<uint8_t>(2 * q->freq) : 120;
      sf = q->freq + init_esc_ + (ns > 2 ? 1u : 0u);
    }
    uint32_t cf = 2 * ffreq * (sf + 6);
    const uint32_t t = s0 + sf;
    if (cf < 6 * t) {
      cf = 1 + (cf > t ? 1u : 0u) + (cf >= 4 * t ? 1u : 0u);
      ctx->set_summ_freq(sf + 4);
    } else {
      cf = 4 + (cf > 9 * t ? 1u : 0u) + (cf > 12 * t ? 1u : 0u) + (cf > 15 * t ? 1u : 0u);
      ctx->set_summ_freq(sf + cf);
    }
    PpmState* added = stats_of(ctx) + ns1 + 1;
    added->symbol = static_cast<uint8_t>(fsym);
    added->freq = static_cast<uint8_t>(cf);
    added->set_successor(successor);
    ctx->num_stats = static_cast<uint8_t>(ns1 + 1);
    ctx->flags |= flag;
  }

  // 9. (Also 7, when no context escaped.)
  max_context_ = context_at(fsucc);
}

uint32_t PpmModel::create_successors(bool skip, PpmState* p1, PpmContext* base) {
  PpmState* const fs = found_state_;
  const int fsym = fs->symbol;
  const uint32_t up = fs->successor();
  PpmContext* pc = base;
  PpmState* ps[MAX_ORDER_LIMIT + 1];
  int n = 0;
  PpmState* p = nullptr;

  if (!skip) {
    ps[n++] = fs;
    if (base->suffix() == 0) goto build;
  }
  if (p1 != nullptr) {
    p = p1;
    pc = context_at(base->suffix());
    goto check;
  }
  for (;;) {
    if (pc->suffix() == 0) break;  // cannot happen: callers start below the root
    pc = context_at(pc->suffix());
    if (pc->num_stats != 0) {
      p = find_state(pc, fsym);
      if (p->freq < 115) {
        p->freq += 1;
        pc->set_summ_freq(pc->summ_freq() + 1u);
      }
    } else {
      p = pc->one_state();
      if (context_at(pc->suffix())->num_stats == 0 && p->freq < 24) p->freq += 1;
    }
  check:
    if (p->successor() != up) {
      if (p->successor() == 0) return 0;  // cannot happen in a consistent tree; restore
      pc = context_at(p->successor());
      break;
    }
    if (n == MAX_ORDER_LIMIT + 1) break;  // deeper than any order allows
    ps[n++] = p;
    if (pc->suffix() == 0) break;
  }

build:
  if (n == 0) return ref_of(pc);

  // The template of the new binary contexts.
  const uint8_t b = heap()[up];
  const uint8_t flags = static_cast<uint8_t>((fsym >= 0x40 ? 0x10 : 0) + (b >= 0x40 ? 0x08 : 0));
  uint8_t freq;
  if (pc->num_stats != 0) {
    const uint32_t f = find_state(pc, b)->freq;
    uint32_t s0 = static_cast<uint32_t>(pc->summ_freq()) - pc->num_stats - f + 1;  // wraps
    if (s0 == 0) s0 = 1;  // cannot happen: summ_freq covers every state
    if (s0 < 2 * f - 2)
      freq = static_cast<uint8_t>(1 + (f + 2 * s0 - 4) / s0);
    else
      freq = static_cast<uint8_t>(1 + (5 * f - 5 > s0 ? 1 : 0));
  } else {
    freq = pc->one_state()->freq;
  }

  while (n > 0) {
    uint32_t ref = alloc_.alloc_context();
    if (ref == 0) return 0;
    PpmContext* ctx = context_at(ref);
    ctx->num_stats = 0;
    ctx->flags = flags;
    PpmState* s = ctx->one_state();
    s->symbol = b;
    s->freq = freq;
    s->set_successor(up + 1);
    ctx->set_suffix(ref_of(pc));
    ps[--n]->set_successor(ref);
    pc = ctx;
  }
  return ref_of(pc);
}

uint32_t PpmModel::inherit_successor(PpmState* p, PpmContext* base) {
  PpmState* const fs = found_state_;
  const int sym = fs->symbol;
  const uint32_t up = alloc_.text_ptr();
  PpmContext* pc = base;

  fs->set_successor(up);
  ++order_fall_;
  if (p != nullptr) {
    pc = context_at(base->suffix());
    goto check;
  }
  for (;;) {
    if (pc->suffix() == 0) return ref_of(pc);
    pc = context_at(pc->suffix());
    if (pc->num_stats != 0) {
      p = find_state(pc, sym);
      if (p->freq < 115) {
        p->freq += 2;
        pc->set_summ_freq(pc->summ_freq() + 2u);
      }
    } else {
      p = pc->one_state();
      if (p->freq < 32) p->freq += 1;
    }
  check:
    if (p->successor() != 0) break;
    p->set_successor(up);
    ++order_fall_;
  }

  if (p->successor() <= up) {
    found_state_ = p;
    p->set_successor(create_successors(false, nullptr, pc));
    found_state_ = fs;
  }
  if (order_fall_ == 1 && base == max_context_) {
    fs->set_successor(p->successor());
    alloc_.set_text_ptr(alloc_.text_ptr() - 1);
  }
  return p->successor();
}

}  // namespace tarn
