// JSON texts of the core, written: the problem dump and the solution dump.
//
// Writing is direct string assembly in a fixed key order; the problem dump's
// keys and what each holds come from the input table (portfolio_inputs.hpp),
// which also gives the reader (json_reader.cpp) the fields of each record.
#include "morva/json.hpp"

#include <array>
#include <cmath>
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

// ===========================================================================
// Writing

// A generous average width of one written number (digits, sign, exponent,
// separator); only used to size the output buffer once.
constexpr std::size_t kBytesPerNumber = 24;
// Room for the keys and punctuation of a dump.
constexpr std::size_t kFixedJsonOverhead = 1024;

void append_number(std::string& out, double value) {
  // JSON has no infinities or NaN; null stands for them.
  if (std::isfinite(value)) {
    out += format_json_number(value);
  } else {
    out += "null";
  }
}

void append_count(std::string& out, std::uint64_t value) {
  out += std::to_string(value);
}

void append_numbers(std::string& out, std::span<const double> values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_number(out, values[i]);
  }
  out.push_back(']');
}

// Standard JSON escaping: the quote, the backslash and the control characters
// are escaped; every other byte (UTF-8 sequences included) is copied.
void append_string(std::string& out, std::string_view text) {
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

void append_matrix(std::string& out, const Matrix& matrix) {
  out += "{\"rows\":";
  append_count(out, matrix.rows());
  out += ",\"cols\":";
  append_count(out, matrix.cols());
  out += ",\"data\":";
  append_numbers(out, matrix.data());
  out.push_back('}');
}

// A dumped input's value as the built problem holds it.
void append_value(std::string& out, double value) {
  append_number(out, value);
}

void append_value(std::string& out, const std::vector<double>& values) {
  append_numbers(out, values);
}

void append_value(std::string& out, const Matrix& matrix) {
  append_matrix(out, matrix);
}

// An externally tagged enum: {"Dense":{…}} or {"Diagonal":[…]}.
void append_value(std::string& out, const FactorCovariance& omega) {
  if (omega.is_dense()) {
    out += "{\"Dense\":";
    append_matrix(out, omega.dense_matrix());
  } else {
    out += "{\"Diagonal\":";
    append_numbers(out, omega.diagonal_values());
  }
  out.push_back('}');
}

template <class T>
void append_value(std::string& out, const std::optional<T>& value) {
  if (value) {
    append_value(out, *value);
  } else {
    out += "null";
  }
}

// "key":
void append_key(std::string& out, std::string_view key) {
  append_string(out, key);
  out.push_back(':');
}

// How many numbers a value writes (scalars are covered by the fixed overhead).
std::size_t number_count(double) {
  return 0;
}

std::size_t number_count(const std::vector<double>& values) {
  return values.size();
}

std::size_t number_count(const Matrix& matrix) {
  return matrix.data().size();
}

std::size_t number_count(const FactorCovariance& omega) {
  return omega.is_dense() ? omega.dense_matrix().data().size() : omega.diagonal_values().size();
}

template <class T>
std::size_t number_count(const std::optional<T>& value) {
  return value ? number_count(*value) : 0;
}

std::size_t number_count(const PortfolioProblem& problem) {
  std::size_t count = 0;
  for_each_input([&]<class Row>(const Row& row, auto) {
    if constexpr (kIsDumped<Row>) count += number_count(row.dump.read(problem));
  });
  return count;
}

// ,"diagnostics":{…} or null.
void append_diagnostics(std::string& out, const Solution& solution) {
  out += ",\"diagnostics\":";
  if (const auto& diagnostics = solution.diagnostics) {
    out += "{\"primal_tolerance\":";
    append_number(out, diagnostics->primal_tolerance);
    out += ",\"dual_tolerance\":";
    append_number(out, diagnostics->dual_tolerance);
    out += ",\"coefficient_spread_decades\":";
    append_number(out, diagnostics->coefficient_spread_decades);
    out += ",\"rho_at_limit\":";
    out += diagnostics->rho_at_limit ? "true" : "false";
    out += ",\"hints\":[";
    for (std::size_t i = 0; i < diagnostics->hints.size(); ++i) {
      if (i > 0) out.push_back(',');
      append_string(out, diagnostics->hints[i]);
    }
    out += "]}";
  } else {
    out += "null";
  }
}

// ,"certificate":{"Primal":{…}} or {"Dual":{…}} or null.
void append_certificate(std::string& out, const Solution& solution) {
  out += ",\"certificate\":";
  if (const auto& certificate = solution.certificate) {
    if (certificate->is_primal()) {
      const PrimalCertificate& primal = certificate->primal();
      out += "{\"Primal\":{\"equality_dual\":";
      append_numbers(out, primal.equality_dual);
      out += ",\"inequality_dual\":";
      append_numbers(out, primal.inequality_dual);
      out += ",\"bound_dual\":";
      append_numbers(out, primal.bound_dual);
      out += "}}";
    } else {
      out += "{\"Dual\":{\"direction\":";
      append_numbers(out, certificate->dual().direction);
      out += "}}";
    }
  } else {
    out += "null";
  }
}

}  // namespace

// {"covariance":{"factors":…,…},"expected_returns":…,…} in the order of
// kDumpKeys; box sides that are not finite are written as null.
std::string problem_to_json(const PortfolioProblem& problem) {
  std::string out;
  out.reserve(kFixedJsonOverhead + kBytesPerNumber * number_count(problem));
  out.push_back('{');
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
          append_value(out, row.dump.read(problem));
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
  out += "{\"status\":";
  append_string(out, status_name(solution.status));
  out += ",\"x\":";
  append_numbers(out, solution.x);
  out += ",\"dual\":{\"equalities\":";
  append_numbers(out, dual.equalities);
  out += ",\"inequalities\":";
  append_numbers(out, dual.inequalities);
  out += ",\"bounds\":";
  append_numbers(out, dual.bounds);
  out += ",\"l1\":";
  append_numbers(out, dual.l1);
  out += "},\"objective\":";
  append_number(out, solution.objective);
  out += ",\"residuals\":{\"primal\":";
  append_number(out, solution.residuals.primal);
  out += ",\"dual\":";
  append_number(out, solution.residuals.dual);
  out += ",\"complementarity\":";
  append_number(out, solution.residuals.complementarity);
  out += "},\"iterations\":";
  append_count(out, solution.iterations);
  out += ",\"solve_time\":{\"secs\":";
  append_count(out, solution.solve_time.secs);
  out += ",\"nanos\":";
  append_count(out, solution.solve_time.nanos);
  out += "},\"final_rho\":";
  append_number(out, solution.final_rho);
  out += ",\"rho_updates\":";
  append_count(out, solution.rho_updates);
  out += ",\"polished\":";
  out += solution.polished ? "true" : "false";
  append_diagnostics(out, solution);
  append_certificate(out, solution);
  out.push_back('}');
  return out;
}

}  // namespace morva
