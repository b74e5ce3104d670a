// x86 executable filter: makes 32-bit machine code more predictable.
//
// The block is walked instruction by instruction with a small table-driven
// length decoder (prefixes, one- and two-byte opcode tables, ModRM and SIB).
// Those bytes pass unchanged, so the decoder finds exactly the same
// instruction boundaries in the filtered block. Operand fields are rewritten:
// the 32-bit targets of CALL (E8) and JMP (E9) become stream-absolute
// addresses (the target plus the stream position of the byte after the
// field), so repeated calls of one routine give identical bytes; every other
// 2- or 4-byte displacement or immediate is stored most significant byte
// first. One-byte fields and the "fixed" fields of far pointers and
// ENTER/RET n are copied.
//
// The tables are the format's own and differ from the processor's decoding
// in places (82 takes no operands, E8/E9 fields follow the address size, far
// forms copy address size + 2 bytes); they are followed exactly.
//
// Six zero bytes are appended before the walk and kept in the filtered block,
// so every field starting inside the block ends inside the block as coded.
// The walk writes its output right behind the (padded) block: an instruction
// running past the end reads the walk's own first output bytes there, which
// fixes the values that land in the kept padding.
#include <array>
#include <cstddef>
#include <cstring>

#include "common/byte_order.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"

namespace tarn {

namespace {

constexpr uint32_t PADDING = 6;
constexpr uint32_t MIN_CODE_BLOCK = 100;

// Operand flags.
constexpr uint8_t MODRM = 1;
constexpr uint8_t FIELD = 2;
constexpr uint8_t FIELD8 = 4;
constexpr uint8_t FIXED = 8;
constexpr uint8_t IMM = 16;
constexpr uint8_t IMM8 = 32;
constexpr uint8_t PREFIX = 64;
constexpr uint8_t NONE = 0;

struct OpcodeRange {
  uint8_t first;
  uint8_t last;
  uint8_t flags;
};

// One-byte opcodes by class; every byte value is listed once.
constexpr OpcodeRange ONE_BYTE_OPCODES[] = {
    // prefixes
    {0x26, 0x26, PREFIX}, {0x2E, 0x2E, PREFIX}, {0x36, 0x36, PREFIX}, {0x3E, 0x3E, PREFIX},
    {0x64, 0x67, PREFIX}, {0xF0, 0xF0, PREFIX}, {0xF2, 0xF3, PREFIX},
    // no operands
    {0x06, 0x07, NONE}, {0x0E, 0x0F, NONE}, {0x16, 0x17, NONE}, {0x1E, 0x1F, NONE},
    {0x27, 0x27, NONE}, {0x2F, 0x2F, NONE}, {0x37, 0x37, NONE}, {0x3F, 0x61, NONE},
    {0x6C, 0x6F, NONE}, {0x82, 0x82, NONE}, {0x90, 0x99, NONE}, {0x9B, 0x9F, NONE},
    {0xA4, 0xA7, NONE}, {0xAA, 0xAF, NONE}, {0xC3, 0xC3, NONE}, {0xC9, 0xC9, NONE},
    {0xCB, 0xCC, NONE}, {0xCE, 0xCF, NONE}, {0xD6, 0xD7, NONE}, {0xEC, 0xEF, NONE},
    {0xF1, 0xF1, NONE}, {0xF4, 0xF5, NONE}, {0xF8, 0xFD, NONE},
    // ModRM
    {0x00, 0x03, MODRM}, {0x08, 0x0B, MODRM}, {0x10, 0x13, MODRM}, {0x18, 0x1B, MODRM},
    {0x20, 0x23, MODRM}, {0x28, 0x2B, MODRM}, {0x30, 0x33, MODRM}, {0x38, 0x3B, MODRM},
    {0x62, 0x63, MODRM}, {0x84, 0x8F, MODRM}, {0xC4, 0xC5, MODRM}, {0xD0, 0xD3, MODRM},
    {0xD8, 0xDF, MODRM}, {0xF6, 0xF7, MODRM}, {0xFE, 0xFF, MODRM},
    // Imm + Imm8
    {0x04, 0x04, IMM | IMM8}, {0x0C, 0x0C, IMM | IMM8}, {0x14, 0x14, IMM | IMM8},
    {0x1C, 0x1C, IMM | IMM8}, {0x24, 0x24, IMM | IMM8}, {0x2C, 0x2C, IMM | IMM8},
    {0x34, 0x34, IMM | IMM8}, {0x3C, 0x3C, IMM | IMM8}, {0x6A, 0x6A, IMM | IMM8},
    {0xA8, 0xA8, IMM | IMM8}, {0xB0, 0xB7, IMM | IMM8}, {0xCD, 0xCD, IMM | IMM8},
    {0xD4, 0xD5, IMM | IMM8}, {0xE4, 0xE7, IMM | IMM8},
    // Imm
    {0x05, 0x05, IMM}, {0x0D, 0x0D, IMM}, {0x15, 0x15, IMM}, {0x1D, 0x1D, IMM},
    {0x25, 0x25, IMM}, {0x2D, 0x2D, IMM}, {0x35, 0x35, IMM}, {0x3D, 0x3D, IMM},
    {0x68, 0x68, IMM}, {0xA9, 0xA9, IMM}, {0xB8, 0xBF, IMM},
    // ModRM + Imm
    {0x69, 0x69, MODRM | IMM}, {0x81, 0x81, MODRM | IMM}, {0xC7, 0xC7, MODRM | IMM},
    // ModRM + Imm + Imm8
    {0x6B, 0x6B, MODRM | IMM | IMM8}, {0x80, 0x80, MODRM | IMM | IMM8},
    {0x83, 0x83, MODRM | IMM | IMM8}, {0xC0, 0xC1, MODRM | IMM | IMM8},
    {0xC6, 0xC6, MODRM | IMM | IMM8},
    // Field + Field8
    {0x70, 0x7F, FIELD | FIELD8}, {0xE0, 0xE3, FIELD | FIELD8}, {0xEB, 0xEB, FIELD | FIELD8},
    // Field
    {0xA0, 0xA3, FIELD}, {0xE8, 0xE9, FIELD},
    // Fixed + Field
    {0x9A, 0x9A, FIXED | FIELD}, {0xEA, 0xEA, FIXED | FIELD},
    // Fixed
    {0xC2, 0xC2, FIXED}, {0xCA, 0xCA, FIXED},
    // Fixed + Imm + Imm8
    {0xC8, 0xC8, FIXED | IMM | IMM8},
};

// Second bytes after 0F by class. Bytes not listed take no operands.
constexpr OpcodeRange TWO_BYTE_OPCODES[] = {
    // ModRM
    {0x00, 0x03, MODRM}, {0x20, 0x24, MODRM}, {0x26, 0x26, MODRM}, {0x40, 0x4F, MODRM},
    {0x60, 0x6A, MODRM}, {0x6E, 0x6F, MODRM}, {0x74, 0x76, MODRM}, {0x7E, 0x7F, MODRM},
    {0x90, 0x9F, MODRM}, {0xA3, 0xA3, MODRM}, {0xA5, 0xA7, MODRM}, {0xAB, 0xAB, MODRM},
    {0xAD, 0xAF, MODRM}, {0xB2, 0xB7, MODRM}, {0xBB, 0xBE, MODRM}, {0xC0, 0xC1, MODRM},
    {0xC7, 0xC8, MODRM}, {0xD1, 0xD3, MODRM}, {0xD5, 0xD5, MODRM}, {0xD8, 0xD9, MODRM},
    {0xDB, 0xDD, MODRM}, {0xDF, 0xDF, MODRM}, {0xE1, 0xE2, MODRM}, {0xE5, 0xE5, MODRM},
    {0xE8, 0xE9, MODRM}, {0xEB, 0xED, MODRM}, {0xEF, 0xEF, MODRM}, {0xF1, 0xF3, MODRM},
    {0xF5, 0xF5, MODRM}, {0xF8, 0xFA, MODRM}, {0xFC, 0xFE, MODRM},
    // ModRM + Imm + Imm8
    {0x71, 0x73, MODRM | IMM | IMM8}, {0xA4, 0xA4, MODRM | IMM | IMM8},
    {0xAC, 0xAC, MODRM | IMM | IMM8}, {0xBA, 0xBA, MODRM | IMM | IMM8},
    // Field
    {0x80, 0x8F, FIELD},
};

using OpcodeTable = std::array<uint8_t, 256>;

template <size_t N>
constexpr OpcodeTable build_opcode_table(const OpcodeRange (&ranges)[N]) {
  OpcodeTable table{};
  for (const OpcodeRange& r : ranges)
    for (unsigned c = r.first; c <= r.last; ++c) table[c] = r.flags;
  return table;
}

// Every byte value stands in exactly one class of the one-byte table.
template <size_t N>
constexpr bool lists_each_byte_once(const OpcodeRange (&ranges)[N]) {
  unsigned seen[256] = {};
  for (const OpcodeRange& r : ranges)
    for (unsigned c = r.first; c <= r.last; ++c) ++seen[c];
  for (unsigned count : seen)
    if (count != 1) return false;
  return true;
}
static_assert(lists_each_byte_once(ONE_BYTE_OPCODES));

constexpr OpcodeTable ONE_BYTE_FLAGS = build_opcode_table(ONE_BYTE_OPCODES);
constexpr OpcodeTable TWO_BYTE_FLAGS = build_opcode_table(TWO_BYTE_OPCODES);

// Reads the block from the front of the work buffer and writes its output
// behind the m walked bytes. Reads past the buffer give 0 and writes past it
// are dropped; only corrupt blocks get near there.
class X86Walker {
 public:
  X86Walker(uint8_t* work, uint32_t m, uint32_t stream_position, X86Direction direction)
      : work_(work), m_(m), out_(m), stream_position_(stream_position), direction_(direction) {}

  void run() {
    while (in_ < m_) walk_instruction();
  }

 private:
  uint8_t get() {
    const uint8_t b = in_ < WORK_BUFFER_SIZE ? work_[in_] : 0;
    ++in_;
    return b;
  }
  void put(uint8_t b) {
    if (out_ < WORK_BUFFER_SIZE) work_[out_] = b;
    ++out_;
  }
  uint8_t copy() {
    const uint8_t b = get();
    put(b);
    return b;
  }
  void copy(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) copy();
  }
  void swap2() {
    const uint8_t b0 = get();
    const uint8_t b1 = get();
    put(b1);
    put(b0);
  }
  void reverse4() {
    uint8_t b[4];
    for (uint8_t& x : b) x = get();
    for (int i = 3; i >= 0; --i) put(b[i]);
  }
  // E8/E9 target: relative (little-endian) <-> absolute (big-endian).
  void convert_call_target() {
    uint8_t b[4];
    for (uint8_t& x : b) x = get();
    const uint32_t position = stream_position_ + in_;  // the byte after the field, mod 2^32
    if (direction_ == X86Direction::ENCODE)
      store_be32(b, load_le32(b) + position);
    else
      store_le32(b, load_be32(b) - position);
    for (uint8_t x : b) put(x);
  }

  void walk_instruction() {
    uint32_t operand_size = 4;
    uint32_t address_size = 4;
    uint8_t b = copy();
    while (ONE_BYTE_FLAGS[b] & PREFIX) {
      if (b == 0x66) operand_size = 6 - operand_size;
      if (b == 0x67) address_size = 6 - address_size;
      b = copy();
    }

    uint32_t opcode = b;
    uint8_t flags;
    if (b == 0x0F) {
      const uint8_t second = copy();
      flags = TWO_BYTE_FLAGS[second];
      opcode = 0x0F00 + second;
    } else {
      flags = ONE_BYTE_FLAGS[b];
    }

    if (flags & MODRM) {
      const uint8_t modrm = copy();
      const uint8_t mod = modrm >> 6;
      const uint8_t rm = modrm & 7;
      if (mod == 0 && rm == 5) flags |= FIELD;
      else if (mod == 1) flags |= FIELD | FIELD8;
      else if (mod == 2) flags |= FIELD;
      if (mod != 3 && rm == 4) {
        const uint8_t sib = copy();
        if (mod == 0 && (sib & 7) == 5) flags |= FIELD;
      }
      if ((opcode == 0xF6 || opcode == 0xF7) && ((modrm >> 3) & 7) == 0) {
        flags |= IMM;
        if (opcode == 0xF6) flags |= IMM8;
      }
    }

    if (flags & FIXED) {
      copy((flags & FIELD) ? address_size + 2 : 2);
    } else if (flags & FIELD) {
      if (flags & FIELD8) copy();
      else if (address_size == 2) swap2();
      else if (opcode == 0xE8 || opcode == 0xE9) convert_call_target();
      else reverse4();
    }

    if (flags & IMM) {
      if (flags & IMM8) copy();
      else if (operand_size == 2) swap2();
      else reverse4();
    }
  }

  uint8_t* work_;
  uint32_t m_;
  uint32_t in_ = 0;
  uint32_t out_;
  uint32_t stream_position_;
  X86Direction direction_;
};

// The largest block the walk can take: it and its output must fit the buffer.
constexpr uint32_t MAX_WALK = WORK_BUFFER_SIZE / 2 - 64;

}  // namespace

bool detect_x86_code(const uint8_t* block, uint32_t n, const ByteCounts& counts) {
  if (n < MIN_CODE_BLOCK) return false;
  // The calls are the E8 and E9 bytes anywhere in the block; their targets
  // are looked at only when there are enough of them, which in most blocks
  // there are not. Counted without branches, so that the loop becomes
  // vector code: E8 and E9 are the bytes that are E8 with the lowest bit
  // cleared, and 00 and FF the bytes that are at most 1 once 1 is added.
  const uint64_t calls = uint64_t{counts.count[0xE8]} + counts.count[0xE9];
  if (!(64 * calls > n)) return false;
  uint32_t near_targets = 0;
  // Only bytes inside the block count: a call among the last four bytes has
  // no target byte to look at.
  const uint32_t body = n - 4;  // n >= MIN_CODE_BLOCK
  for (uint32_t i = 0; i < body; ++i)
    near_targets += ((block[i] & 0xFE) == 0xE8 ? 1 : 0) & (static_cast<uint8_t>(block[i + 4] + 1) <= 1 ? 1 : 0);
  return calls < 4 * uint64_t{near_targets};
}

bool detect_x86_code(const uint8_t* block, uint32_t n) {
  ByteCounts counts;
  count_bytes(block, n, counts);
  return detect_x86_code(block, n, counts);
}

void walk_x86_block(uint8_t* work, uint32_t m, uint32_t stream_position, X86Direction direction) {
  if (m > MAX_WALK) m = MAX_WALK;
  X86Walker(work, m, stream_position, direction).run();
  std::memmove(work, work + m, m);
}

uint8_t try_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position) {
  ByteCounts counts;
  count_bytes(work, length, counts);
  return try_exe_filter(work, length, stream_position, counts);
}

uint8_t try_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position, const ByteCounts& counts) {
  if (!detect_x86_code(work, length, counts)) return 0;
  std::memset(work + length, 0, PADDING);
  length += PADDING;
  walk_x86_block(work, length, stream_position, X86Direction::ENCODE);
  return BLOCK_EXE;
}

void undo_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position) {
  if (length > MAX_WALK) length = MAX_WALK;
  walk_x86_block(work, length, stream_position, X86Direction::DECODE);
  length = length >= PADDING ? length - PADDING : 0;
}

}  // namespace tarn
