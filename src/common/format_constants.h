// The format's constants that every layer shares: the attribute bits and
// flags of a table record, and the compression methods with their model
// parameters.
//
// They live here, below everything else, so that the platform code (which
// turns file modes into attribute bits), the file selection and the codec
// can use them without depending on the archive container, which sits above
// them all.
#pragma once

#include <array>
#include <cstdint>

namespace tarn {

// Flags of a table record. A record with FLAG_SOLID_CONTINUATION belongs to
// the solid group the record before it belongs to; FLAG_STORED marks a piece
// that holds its bytes unchanged.
inline constexpr uint8_t FLAG_SOLID_CONTINUATION = 1;
inline constexpr uint8_t FLAG_STORED = 2;

// Attribute bits of a record (the listing's letters R, H, S, D, A). A file
// whose permissions are not the plain default also keeps its POSIX mode in
// the high 16 bits.
inline constexpr uint32_t ATTR_READ_ONLY = 0x01;
inline constexpr uint32_t ATTR_HIDDEN = 0x02;
inline constexpr uint32_t ATTR_SYSTEM = 0x04;
inline constexpr uint32_t ATTR_DIRECTORY = 0x10;
inline constexpr uint32_t ATTR_ARCHIVE = 0x20;

// The methods, as the header records them.
inline constexpr uint8_t METHOD_STORE = 0;
inline constexpr uint8_t METHOD_NORMAL = 3;
inline constexpr uint8_t METHOD_EXTREME = 6;

struct MethodParameters {
  const char* name;
  unsigned order;      // maximum model order (0: no model)
  uint32_t megabytes;  // model memory in MiB
  bool cut_off;        // memory exhaustion rule: cut-off (true) or restart
};

inline constexpr std::array<MethodParameters, 7> METHOD_PARAMETERS = {{
    {"No compression", 0, 0, false},
    {"Quickest", 3, 5, false},
    {"Fast", 4, 12, false},
    {"Normal", 7, 25, false},
    {"Good", 9, 44, false},
    {"Superb", 11, 60, false},
    {"Extreme", 14, 70, true},
}};

inline bool is_packing_method(uint8_t method) { return method >= 1 && method <= METHOD_EXTREME; }

}  // namespace tarn
