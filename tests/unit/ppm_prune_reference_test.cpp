// The cut-off rule's pruning and the allocator's rare paths decide the
// heap's layout, and so every byte coded after them. Here the production
// passes run against straightforward reference versions, kept in this file,
// on the heaps of models grown to exhaustion at many orders and heap sizes:
// from the same heap both must leave the same bytes and the same allocator
// and model state.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "coder/byte_io.h"
#include "coder/ppm_model.h"
#include "common/speed_hints.h"
#include "test_data.h"

namespace tarn {

using ppm_tables::INDEX_TO_UNITS;
using ppm_tables::N_INDEXES;
using ppm_tables::UNITS_TO_INDEX;

struct SubAllocatorTestAccess {
  // Everything the allocator holds besides the heap bytes, except the hint
  // of possibly non-empty lists (checked on its own: it only has to cover).
  struct Fields {
    uint32_t text_ptr, units_start, lo_unit, hi_unit, glue_count;
    std::array<uint32_t, 2 * N_INDEXES> heads;
    bool initialised;
    uint32_t text_high, units_low, lo_high, hi_low;
    uint32_t withdrawn_count, withdrawn_span;
    bool walked_past_units;
    bool operator==(const Fields&) const = default;
  };
  using Withdrawn = std::array<SubAllocator::Withdrawn, SubAllocator::MAX_WITHDRAWN>;
  static Withdrawn withdrawn(const SubAllocator& a) { return a.withdrawn_; }
  static void set_withdrawn(SubAllocator& a, const Withdrawn& w) { a.withdrawn_ = w; }
  static void settle(SubAllocator& a) { a.settle_withdrawn(); }
  static Fields fields(const SubAllocator& a) {
    Fields f{a.text_ptr_, a.units_start_, a.lo_unit_, a.hi_unit_, a.glue_count_, {}, a.initialised_,
             a.text_high_, a.units_low_, a.lo_high_, a.hi_low_, a.withdrawn_count_, a.withdrawn_span_,
             a.walked_past_units_};
    for (unsigned i = 0; i < N_INDEXES; ++i) {
      f.heads[2 * i] = a.heads_[i].stamp;
      f.heads[2 * i + 1] = a.heads_[i].next;
    }
    return f;
  }
  static void set_fields(SubAllocator& a, const Fields& f) {
    a.text_ptr_ = f.text_ptr;
    a.units_start_ = f.units_start;
    a.lo_unit_ = f.lo_unit;
    a.hi_unit_ = f.hi_unit;
    a.glue_count_ = f.glue_count;
    for (unsigned i = 0; i < N_INDEXES; ++i) a.heads_[i] = {f.heads[2 * i], f.heads[2 * i + 1]};
    a.initialised_ = f.initialised;
    a.text_high_ = f.text_high;
    a.units_low_ = f.units_low;
    a.lo_high_ = f.lo_high;
    a.hi_low_ = f.hi_low;
    a.withdrawn_count_ = f.withdrawn_count;
    a.withdrawn_span_ = f.withdrawn_span;
    a.walked_past_units_ = f.walked_past_units;
  }
  // Every non-empty list must be among those the hint names.
  static bool hint_covers_lists(const SubAllocator& a) {
    for (unsigned i = 0; i < N_INDEXES; ++i)
      if (a.heads_[i].next != 0 && (a.listed_ & (uint64_t{1} << i)) == 0) return false;
    return true;
  }
  static uint64_t hint(const SubAllocator& a) { return a.listed_; }
  static void set_hint(SubAllocator& a, uint64_t h) { a.listed_ = h; }

  // ---- The reference versions -------------------------------------------

  static uint32_t move_units_up(SubAllocator& a, uint32_t block, uint32_t nu) {
    unsigned i = UNITS_TO_INDEX[nu - 1];
    if (block - a.units_start_ > 16384 || block > a.heads_[i].next) return block;
    uint32_t fresh = a.remove_node(i);
    std::memcpy(a.heap_ + fresh, a.heap_ + block, nu * UNIT_SIZE);
    if (block == a.units_start_)
      a.units_start_ += UNIT_SIZE * INDEX_TO_UNITS[i];
    else
      a.insert_node(block, i, INDEX_TO_UNITS[i]);
    return fresh;
  }

  static void expand_text_area(SubAllocator& a) {
    uint32_t count[N_INDEXES] = {};
    for (;;) {
      FreeBlock* fb = a.block_at(a.units_start_);
      if (fb->stamp() != FREE_STAMP) break;
      uint32_t nu = fb->nu();
      if (nu == 0 || nu > ppm_tables::MAX_UNITS) break;
      count[UNITS_TO_INDEX[nu - 1]] += 1;
      fb->set_stamp(0);
      a.units_start_ += UNIT_SIZE * nu;
    }
    for (unsigned i = 0; i < N_INDEXES; ++i) {
      uint32_t prev = 0;
      uint32_t b = a.heads_[i].next;
      while (count[i] != 0 && b != 0) {
        uint32_t following = a.block_at(b)->next();
        if (a.block_at(b)->stamp() == 0) {
          if (prev == 0)
            a.heads_[i].next = following;
          else
            a.block_at(prev)->set_next(following);
          a.heads_[i].stamp -= 1;
          count[i] -= 1;
        } else {
          prev = b;
        }
        b = following;
      }
    }
  }

  static void glue_free_blocks(SubAllocator& a) {
    if (a.lo_unit_ != a.hi_unit_) a.heap_[a.lo_unit_] = 0;
    uint32_t chain_head = 0;
    uint32_t chain_tail = 0;
    for (unsigned i = 0; i < N_INDEXES; ++i) {
      uint32_t b = a.heads_[i].next;
      a.heads_[i] = {};
      while (b != 0) {
        FreeBlock* fb = a.block_at(b);
        uint32_t following = fb->next();
        uint32_t nu = fb->nu();
        if (nu != 0) {
          for (;;) {
            uint32_t after = b + UNIT_SIZE * nu;
            if (after > a.heap_size_) break;
            FreeBlock* nb = a.block_at(after);
            if (nb->stamp() != FREE_STAMP || nb->nu() == 0) break;
            nu += nb->nu();
            nb->set_nu(0);
          }
          fb->set_nu(nu);
          fb->set_next(0);
          if (chain_tail != 0)
            a.block_at(chain_tail)->set_next(b);
          else
            chain_head = b;
          chain_tail = b;
        }
        b = following;
      }
    }
    for (uint32_t b = chain_head; b != 0;) {
      uint32_t following = a.block_at(b)->next();
      uint32_t sz = a.block_at(b)->nu();
      if (sz != 0) {
        while (sz > ppm_tables::MAX_UNITS) {
          a.insert_node(b, N_INDEXES - 1, ppm_tables::MAX_UNITS);
          b += UNIT_SIZE * ppm_tables::MAX_UNITS;
          sz -= ppm_tables::MAX_UNITS;
        }
        unsigned i = UNITS_TO_INDEX[sz - 1];
        if (INDEX_TO_UNITS[i] != sz) {
          uint32_t k = sz - INDEX_TO_UNITS[i - 1];
          a.insert_node(b + UNIT_SIZE * (sz - k), k - 1, k);
          i -= 1;
        }
        a.insert_node(b, i, INDEX_TO_UNITS[i]);
      }
      b = following;
    }
    a.glue_count_ = 8192;
  }

  static uint32_t alloc_units_rare(SubAllocator& a, unsigned index) {
    if (a.glue_count_ == 0) {
      glue_free_blocks(a);
      if (a.heads_[index].next) return a.remove_node(index);
    }
    for (unsigned j = index + 1; j < N_INDEXES; ++j) {
      if (a.heads_[j].next) {
        uint32_t block = a.remove_node(j);
        a.split_block(block, j, index);
        return block;
      }
    }
    a.glue_count_ -= 1;
    uint32_t bytes = UNIT_SIZE * INDEX_TO_UNITS[index];
    if (a.units_start_ - a.text_ptr_ > bytes) {
      a.units_start_ -= bytes;
      a.units_low_ = std::min(a.units_low_, a.units_start_);
      return a.units_start_;
    }
    return 0;
  }

  // The production passes, for the comparisons.
  static void production_glue(SubAllocator& a) { a.glue_free_blocks(); }
  // The merge's read-ahead from marks that point anywhere: inside blocks,
  // past the heap, at 0, into any list.
  static void production_glue_from_wild_marks(SubAllocator& a, uint32_t seed) {
    if constexpr (!SPEED_HINTS) return;
    a.mark_lists();
    testdata::Lcg rng(seed);
    for (uint32_t k = 0; k < SubAllocator::MAX_MARKS; ++k) {
      const uint32_t r = rng.next();
      const uint32_t block = r % 4 == 0 ? r : r % 4 == 1 ? 0 : rng.next() % (a.heap_size_ + 64);
      a.marks_[k] = {block, k % 3 == 0 ? 0u : rng.next() % N_INDEXES};
    }
    a.mark_count_ = SubAllocator::MAX_MARKS;
    a.glue_free_blocks();
  }
  static uint32_t production_alloc_units_rare(SubAllocator& a, unsigned index) { return a.alloc_units_rare(index); }
};

struct PpmModelTestAccess {
  static SubAllocator& allocator(PpmModel& m) { return m.alloc_; }
  static std::pair<const PpmContext*, int> fields(const PpmModel& m) { return {m.max_context_, m.order_fall_}; }
  static void set_fields(PpmModel& m, std::pair<const PpmContext*, int> f) {
    m.max_context_ = const_cast<PpmContext*>(f.first);
    m.order_fall_ = f.second;
  }
  static void production_prune(PpmModel& m) { m.prune_tree(); }

  // ---- The reference pruning ---------------------------------------------

  static uint32_t cut_off(PpmModel& m, uint32_t context, unsigned order) {
    SubAllocator& a = m.alloc_;
    PpmContext* ctx = m.context_at(context);
    if (ctx->num_stats == 0) {
      PpmState* s = ctx->one_state();
      if (m.is_context(s->successor())) {
        s->set_successor(order < m.max_order_ ? cut_off(m, s->successor(), order + 1) : 0);
        if (s->successor() != 0 || order <= 9) return context;
      }
      a.special_free_unit(context);
      return 0;
    }
    const uint32_t nu = (ctx->num_stats + 2u) / 2;
    ctx->set_stats(SubAllocatorTestAccess::move_units_up(a, ctx->stats(), nu));
    int i = ctx->num_stats;
    for (int k = ctx->num_stats; k >= 0; --k) {
      PpmState* stats = m.stats_of(ctx);
      PpmState* p = &stats[k];
      if (!m.is_context(p->successor())) {
        p->set_successor(0);
        std::swap(*p, stats[i]);
        --i;
      } else if (order < m.max_order_) {
        p->set_successor(cut_off(m, p->successor(), order + 1));
      } else {
        p->set_successor(0);
      }
    }
    if (i != ctx->num_stats && order != 0) {
      ctx->num_stats = static_cast<uint8_t>(i);
      if (i < 0) {
        a.free_units(ctx->stats(), nu);
        a.special_free_unit(context);
        return 0;
      }
      if (i == 0) {
        uint32_t array = ctx->stats();
        m.make_binary(ctx);
        a.free_units(array, nu);
      } else {
        m.refresh_context(ctx, nu, ctx->summ_freq() > 16u * static_cast<uint32_t>(i) ? 1 : 0);
      }
    }
    return context;
  }

  static void prune(PpmModel& m) {
    SubAllocator& a = m.alloc_;
    m.max_context_ = m.root_;
    do {
      cut_off(m, m.ref_of(m.root_), 0);
      SubAllocatorTestAccess::expand_text_area(a);
    } while (a.get_used_memory() > 3 * (a.heap_size() / 4));
    a.set_glue_count(0);
    m.order_fall_ = static_cast<int>(m.max_order_);
  }
};

namespace {

using AllocAccess = SubAllocatorTestAccess;
using ModelAccess = PpmModelTestAccess;

// A model's whole state as far as the passes touch it.
struct Snapshot {
  std::vector<uint8_t> heap;
  AllocAccess::Fields alloc;
  uint64_t hint;
  AllocAccess::Withdrawn withdrawn;
  std::pair<const PpmContext*, int> model;
  bool operator==(const Snapshot& o) const { return heap == o.heap && alloc == o.alloc && model == o.model; }
};

Snapshot take(PpmModel& m) {
  SubAllocator& a = ModelAccess::allocator(m);
  return {std::vector<uint8_t>(a.heap(), a.heap() + a.heap_size() + UNIT_SIZE), AllocAccess::fields(a),
          AllocAccess::hint(a), AllocAccess::withdrawn(a), ModelAccess::fields(m)};
}

void put_back(PpmModel& m, const Snapshot& s) {
  SubAllocator& a = ModelAccess::allocator(m);
  std::copy(s.heap.begin(), s.heap.end(), a.heap());
  AllocAccess::set_fields(a, s.alloc);
  AllocAccess::set_hint(a, s.hint);
  AllocAccess::set_withdrawn(a, s.withdrawn);
  ModelAccess::set_fields(m, s.model);
}

// From the state `from`: the production pass and the reference must end in
// the same state; the model is left in the production pass's. Blocks given
// to the text area leave their lists lazily in production: both states are
// compared with their lists settled, and the reference, which knows nothing
// of that, starts from the settled state.
template <class Production, class Reference>
::testing::AssertionResult same_outcome(PpmModel& m, const Snapshot& from, Production production,
                                        Reference reference) {
  SubAllocator& a = ModelAccess::allocator(m);
  put_back(m, from);
  const auto got = production();
  const Snapshot raw = take(m);
  const bool covers = AllocAccess::hint_covers_lists(a);
  AllocAccess::settle(a);
  const Snapshot after = take(m);
  put_back(m, from);
  AllocAccess::settle(a);
  const auto want = reference();
  const Snapshot expected = take(m);
  put_back(m, raw);
  if (!covers) return ::testing::AssertionFailure() << "a non-empty list is missing from the hint";
  if (got != want) return ::testing::AssertionFailure() << "returned " << got << ", reference " << want;
  if (!(after == expected)) {
    size_t k = 0;
    while (k < after.heap.size() && after.heap[k] == expected.heap[k]) ++k;
    return ::testing::AssertionFailure() << "states differ (first heap byte at " << k << " of "
                                         << after.heap.size() << "; fields "
                                         << (after.alloc == expected.alloc ? "equal" : "differ") << ")";
  }
  return ::testing::AssertionSuccess();
}

// Text, words, noise, runs and repeats: deep trees with text successors
// and free blocks of every size once the model has been cut back.
std::vector<uint8_t> growth_data(uint32_t seed) {
  std::vector<uint8_t> data = testdata::mixed_bytes(300000, seed);
  const std::vector<uint8_t> letters = testdata::lcg_letters(200000, seed + 1);
  data.insert(data.end(), letters.begin(), letters.end());
  std::vector<uint8_t> text = testdata::data_bytes("canterbury/alice29.txt");
  text.resize(150000);
  data.insert(data.end(), text.begin(), text.end());
  return data;
}

// Takes every block from every list, as allocations of its size do.
uint32_t drain_lists(SubAllocator& a) {
  uint32_t sum = 0;
  for (unsigned i = 0; i < N_INDEXES; ++i)
    while (a.list_count(i) != 0) sum += a.alloc_units(INDEX_TO_UNITS[i]) / UNIT_SIZE;
  return sum;
}

struct GrowthCase {
  unsigned order;
  uint32_t heap_bytes;
};

class PpmPruneReference : public ::testing::TestWithParam<GrowthCase> {};

// The model grows chunk by chunk (cutting itself back as it runs out, with
// the production passes); once half its heap is in use, every few chunks
// the passes run from its state against the references: the pruning (as
// an exhausted update calls it, with the text given up), then from the
// pruned heap the merge, and rare allocations of every size with and
// without a merge due. The model then grows on from where it was.
TEST_P(PpmPruneReference, ProductionPassesLeaveTheReferenceLayout) {
  const GrowthCase c = GetParam();
  const std::vector<uint8_t> data = growth_data(c.order * 7 + c.heap_bytes / 4096);
  PpmModel model;
  model.start(c.order, c.heap_bytes, true);
  SubAllocator& a = ModelAccess::allocator(model);
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  const size_t chunk = 1500;
  unsigned checks = 0;
  for (size_t pos = 0, n = 0; pos < data.size(); pos += chunk, ++n) {
    model.encode_block(enc, data.data() + pos, std::min(chunk, data.size() - pos));
    if (a.get_used_memory() < a.heap_size() / 2 || n % 5 != 0) continue;
    ++checks;
    const Snapshot grown = take(model);
    a.set_text_ptr(0);
    const Snapshot exhausted = take(model);
    ASSERT_TRUE(same_outcome(
        model, exhausted, [&] { ModelAccess::production_prune(model); return 0u; },
        [&] { ModelAccess::prune(model); return 0u; }))
        << "pruning at " << pos;
    const Snapshot pruned = take(model);
    ASSERT_TRUE(same_outcome(
        model, pruned, [&] { AllocAccess::production_glue(a); return 0u; },
        [&] { AllocAccess::glue_free_blocks(a); return 0u; }))
        << "merge at " << pos;
    ASSERT_TRUE(same_outcome(
        model, pruned, [&] { AllocAccess::production_glue_from_wild_marks(a, static_cast<uint32_t>(pos)); return 0u; },
        [&] { AllocAccess::glue_free_blocks(a); return 0u; }))
        << "merge from wild marks at " << pos;
    ASSERT_TRUE(same_outcome(
        model, pruned, [&] { return drain_lists(a); }, [&] { return drain_lists(a); }))
        << "allocation from every list at " << pos;
    for (const Snapshot* from : {&pruned, &grown}) {
      for (unsigned index = 0; index < N_INDEXES; index += (index < 6 ? 1 : 5)) {
        for (uint32_t glue : {0u, 1u}) {
          Snapshot start = *from;
          start.alloc.glue_count = glue;
          ASSERT_TRUE(same_outcome(
              model, start, [&] { return AllocAccess::production_alloc_units_rare(a, index); },
              [&] { return AllocAccess::alloc_units_rare(a, index); }))
              << "rare allocation of list " << index << " at " << pos;
        }
      }
    }
    put_back(model, grown);
  }
  EXPECT_GT(checks, 3u);
  EXPECT_GT(model.cut_offs(), 0u);
  if (SPEED_HINTS && c.heap_bytes >= (1u << 20)) {
    EXPECT_GT(a.lists_read_ahead(), 0u);  // the merge's read-ahead was tried
  }
}

// Every order the model takes, on heaps small enough to be cut back many
// times, and the order of the extreme method on a larger heap with deeper
// trees and longer free lists.
std::vector<GrowthCase> growth_cases() {
  std::vector<GrowthCase> cases;
  for (unsigned order = 1; order <= 15; ++order)
    cases.push_back({order, order <= 3 ? (1u << 16) : order <= 8 ? (1u << 17) : (1u << 18)});
  cases.push_back({14, 1u << 20});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Orders, PpmPruneReference, ::testing::ValuesIn(growth_cases()),
                         [](const ::testing::TestParamInfo<GrowthCase>& info) {
                           return "order" + std::to_string(info.param.order) + "_" +
                                  std::to_string(info.param.heap_bytes >> 10) + "k";
                         });

}  // namespace
}  // namespace tarn
