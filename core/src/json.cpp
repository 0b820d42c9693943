// JSON texts of the core, written: the problem dump and the solution dump.
//
// Writing is direct string assembly in a fixed key order; the problem dump's
// keys and what each holds come from the input table (portfolio_inputs.hpp),
// which also gives the reader (json_reader.cpp) the fields of each record.
#include "morva/json.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json_layout.hpp"
#include "morva/format.hpp"
#include "morva/portfolio_inputs.hpp"

namespace morva {
using json_layout::DumpEntry;
using json_layout::kDumpLayout;
using json_layout::kIsDumped;
namespace {

// A generous average width of one written number (digits, sign, exponent,
// separator); only used to size the output buffer once.
constexpr std::size_t kBytesPerNumber = 24;
// Room for the keys and punctuation of a dump.
constexpr std::size_t kFixedJsonOverhead = 1024;

// Each value type has one JSON form; `put` writes a key's literal text (its
// punctuation included) and then the value.
template <class T>
void put(std::string& out, std::string_view key, const T& value);

// JSON has no infinities or NaN; format_json_number writes null for them.
void append(std::string& out, double value) {
  out += format_json_number(value);
}

void append(std::string& out, std::uint64_t value) {
  out += std::to_string(value);
}

void append(std::string& out, bool value) {
  out += value ? "true" : "false";
}

// Standard JSON escaping: the quote, the backslash and the control characters
// are escaped; every other byte (UTF-8 sequences included) is copied.
void append(std::string& out, std::string_view text) {
  static constexpr std::string_view kHex = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

template <class T>
void append(std::string& out, std::span<const T> values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    append(out, values[i]);
  }
  out.push_back(']');
}

template <class T>
void append(std::string& out, const std::vector<T>& values) {
  append(out, std::span<const T>(values));
}

void append(std::string& out, const Matrix& matrix) {
  put(out, "{\"rows\":", std::uint64_t{matrix.rows()});
  put(out, ",\"cols\":", std::uint64_t{matrix.cols()});
  put(out, ",\"data\":", matrix.data());
  out.push_back('}');
}

// An externally tagged enum: {"Dense":{…}} or {"Diagonal":[…]}.
void append(std::string& out, const FactorCovariance& omega) {
  if (omega.is_dense()) {
    put(out, "{\"Dense\":", omega.dense_matrix());
  } else {
    put(out, "{\"Diagonal\":", omega.diagonal_values());
  }
  out.push_back('}');
}

void append(std::string& out, const ConvergenceDiagnostics& diagnostics) {
  put(out, "{\"primal_tolerance\":", diagnostics.primal_tolerance);
  put(out, ",\"dual_tolerance\":", diagnostics.dual_tolerance);
  put(out, ",\"coefficient_spread_decades\":", diagnostics.coefficient_spread_decades);
  put(out, ",\"rho_at_limit\":", diagnostics.rho_at_limit);
  put(out, ",\"hints\":", diagnostics.hints);
  out.push_back('}');
}

// {"Primal":{…}} or {"Dual":{…}}.
void append(std::string& out, const Certificate& certificate) {
  if (certificate.is_primal()) {
    const PrimalCertificate& primal = certificate.primal();
    put(out, "{\"Primal\":{\"equality_dual\":", primal.equality_dual);
    put(out, ",\"inequality_dual\":", primal.inequality_dual);
    put(out, ",\"bound_dual\":", primal.bound_dual);
  } else {
    put(out, "{\"Dual\":{\"direction\":", certificate.dual().direction);
  }
  out += "}}";
}

template <class T>
void append(std::string& out, const std::optional<T>& value) {
  if (value) {
    append(out, *value);
  } else {
    out += "null";
  }
}

template <class T>
void put(std::string& out, std::string_view key, const T& value) {
  out += key;
  append(out, value);
}

// "key":
void append_key(std::string& out, std::string_view key) {
  append(out, key);
  out.push_back(':');
}

}  // namespace

// {"covariance":{"factors":…,…},"expected_returns":…,…} in the order of
// kDumpKeys; box sides that are not finite are written as null.
std::string problem_to_json(const PortfolioProblem& problem) {
  std::string out = "{";
  for (std::size_t e = 0; e < kDumpLayout.size(); ++e) {
    const DumpEntry& entry = kDumpLayout[e];
    if (e > 0) out.push_back(',');
    append_key(out, entry.key);
    const bool record = !entry.record_type.empty();
    if (record) out.push_back('{');
    for (std::size_t part = 0; part < entry.parts; ++part) {
      visit_input(entry.rows[part], [&]<class Row>(const Row& row) {
        if constexpr (kIsDumped<Row>) {
          if (record && part > 0) out.push_back(',');
          if (record) append_key(out, row.dump.part);
          append(out, row.dump.read(problem));
        }
      });
    }
    if (record) out.push_back('}');
  }
  out.push_back('}');
  return out;
}

std::string solution_to_json(const Solution& solution) {
  std::string out;
  const DualVariables& dual = solution.dual;
  out.reserve(kFixedJsonOverhead +
              kBytesPerNumber * (solution.x.size() + dual.equalities.size() + dual.inequalities.size() +
                                 dual.bounds.size() + dual.l1.size()));
  put(out, "{\"status\":", status_name(solution.status));
  put(out, ",\"x\":", solution.x);
  put(out, ",\"dual\":{\"equalities\":", dual.equalities);
  put(out, ",\"inequalities\":", dual.inequalities);
  put(out, ",\"bounds\":", dual.bounds);
  put(out, ",\"l1\":", dual.l1);
  put(out, "},\"objective\":", solution.objective);
  put(out, ",\"residuals\":{\"primal\":", solution.residuals.primal);
  put(out, ",\"dual\":", solution.residuals.dual);
  put(out, ",\"complementarity\":", solution.residuals.complementarity);
  put(out, "},\"iterations\":", solution.iterations);
  put(out, ",\"solve_time\":{\"secs\":", solution.solve_time.secs);
  put(out, ",\"nanos\":", std::uint64_t{solution.solve_time.nanos});
  put(out, "},\"final_rho\":", solution.final_rho);
  put(out, ",\"rho_updates\":", solution.rho_updates);
  put(out, ",\"polished\":", solution.polished);
  put(out, ",\"diagnostics\":", solution.diagnostics);
  put(out, ",\"certificate\":", solution.certificate);
  out.push_back('}');
  return out;
}

}  // namespace morva
