// The problem dump's layout, shared by its writer and its reader: which
// inputs of the table are dumped, and at which top-level key.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "morva/portfolio_inputs.hpp"

namespace morva::json_layout {

template <class Row>
inline constexpr bool kIsDumped = !std::is_same_v<decltype(Row::dump), NotDumped>;

// The dump's layout: each top-level key in writing order with the rows of
// the table it holds, one or (a record) its parts in table order. A key
// without rows, a row whose key is not listed, or a record part at a plain
// key stops the compilation here.
struct DumpEntry {
  std::string_view key;
  std::string_view record_type;  // empty: the key holds one input
  std::array<std::size_t, kPortfolioInputCount> rows{};
  std::size_t parts = 0;
};

consteval std::array<DumpEntry, kDumpKeys.size()> dump_layout() {
  std::array<DumpEntry, kDumpKeys.size()> layout{};
  for (std::size_t e = 0; e < layout.size(); ++e) layout[e] = {kDumpKeys[e].key, kDumpKeys[e].record_type};
  for_each_input([&]<class Row>(const Row& row, auto index) {
    if constexpr (kIsDumped<Row>) {
      auto entry = std::find_if(layout.begin(), layout.end(),
                                [&](const DumpEntry& candidate) { return candidate.key == row.dump.key; });
      if (entry == layout.end()) throw "a dumped input's key is missing from kDumpKeys";
      if (entry->record_type.empty() != row.dump.part.empty())
        throw "a record key holds parts, a plain key none";
      if (entry->record_type.empty() && entry->parts > 0) throw "two inputs at one key";
      entry->rows[entry->parts++] = index;
    }
  });
  for (const DumpEntry& entry : layout) {
    if (entry.parts == 0) throw "a key of kDumpKeys without an input";
  }
  return layout;
}

constexpr auto kDumpLayout = dump_layout();

}  // namespace morva::json_layout
