// libFuzzer target over the problem JSON reader. Every input must either be
// rejected with one clean message or read into a problem whose dump reads
// back to the same problem and dumps to the same bytes. A violated invariant
// aborts, which libFuzzer records as a crash together with the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "morva/json.hpp"

namespace {

[[noreturn]] void violated(const char* invariant, std::string_view detail) {
  std::fprintf(stderr, "json reader invariant violated: %s\n%.*s\n", invariant,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// A parse error ends in " at line L column C" with a position inside the
// text: line L exists (counted from 1) and holds at least C bytes.
bool position_inside(std::string_view text, std::string_view error) {
  const std::size_t at = error.rfind(" at line ");
  if (at == std::string_view::npos) return true;  // a validation message carries no position
  unsigned long line = 0, column = 0;
  const std::string tail(error.substr(at));
  if (std::sscanf(tail.c_str(), " at line %lu column %lu", &line, &column) != 2 || line == 0) return false;
  std::size_t line_start = 0;
  for (unsigned long l = 1; l < line; ++l) {
    line_start = text.find('\n', line_start);
    if (line_start == std::string_view::npos) return false;
    ++line_start;
  }
  const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  return line_start + column <= line_end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto problem = morva::problem_from_json(text);
  if (!problem) {
    const std::string& error = problem.error();
    // The message may span lines: it quotes keys, whose escapes may decode to line feeds.
    if (error.empty()) violated("a message", error);
    if (!position_inside(text, error)) violated("error position inside the text", error);
    return 0;
  }
  const std::string dump = morva::problem_to_json(*problem);
  const auto again = morva::problem_from_json(dump);
  if (!again) violated("a dump reads back", again.error() + "\n" + dump);
  if (!(*again == *problem)) violated("the dump rebuilds the same problem", dump);
  if (morva::problem_to_json(*again) != dump) violated("dump, read, dump is byte-identical", dump);
  return 0;
}
