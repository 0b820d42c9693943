// JSON texts of the core, read: the problem dump.
//
// Reading runs RapidJSON's SAX reader in iterative mode (its nesting lives on
// the heap, so a text of 100k '[' cannot overflow the call stack) and decodes
// the events with a typed state machine: every open value is a frame that
// knows which record field each incoming value fills. Numbers arrive as raw
// text and are converted with std::from_chars (correctly rounded, so a dump
// reads back bit for bit). Nothing is ever sized from a count in the text:
// arrays grow with the values actually read, and a matrix's claimed shape is
// only compared with the values it carries.
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json_layout.hpp"
#include "morva/format.hpp"
#include "morva/json.hpp"
#include "morva/portfolio.hpp"
#include "morva/portfolio_inputs.hpp"

namespace morva {
using json_layout::DumpEntry;
using json_layout::kDumpLayout;
using json_layout::kIsDumped;
namespace {

// ===========================================================================
// Reading: the text stream and positions

// Read-only byte stream over the text for RapidJSON. Deliberately a custom
// type: RapidJSON then works on a reference to it instead of a local copy, so
// Tell() is exact whenever a handler runs. '\0' marks the end, as RapidJSON
// expects; an embedded NUL byte therefore stops the reader like an end of
// text, and the checks after the parse see that bytes remain.
class TextStream {
 public:
  using Ch = char;

  explicit TextStream(std::string_view text) : text_(text) {}

  Ch Peek() const { return offset_ < text_.size() ? text_[offset_] : '\0'; }
  Ch Take() { return offset_ < text_.size() ? text_[offset_++] : '\0'; }
  std::size_t Tell() const { return offset_; }

  // Output side of the stream concept; only used by in-situ parsing, which is off.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  std::string_view text() const { return text_; }
  bool at_end() const { return offset_ >= text_.size(); }
  void skip_whitespace() {
    while (offset_ < text_.size() && std::string_view(" \t\n\r").contains(text_[offset_])) ++offset_;
  }

 private:
  std::string_view text_;
  std::size_t offset_ = 0;
};

// " at line L column C": L counts from 1, C is the number of bytes read on
// that line once `offset` bytes of the text have been read.
std::string with_position(std::string message, std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view read = text.substr(0, offset);
  const auto line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t last_newline = read.rfind('\n');
  const std::size_t column = last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
  return std::move(message) + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ===========================================================================
// Reading: scalar values and their descriptions

// One JSON value that is not an object or an array. A number is an integer
// while its text fits 64 bits (negative ones in i64), else a double; `number`
// is the double either way.
struct Scalar {
  enum class Kind { Null, Boolean, Unsigned, Negative, Float, String };

  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;  // Unsigned
  std::int64_t negative_value = 0;   // Negative (< 0)
  double number = 0.0;               // Unsigned, Negative, Float
  std::string_view text{};           // String

  bool is_number() const { return kind == Kind::Unsigned || kind == Kind::Negative || kind == Kind::Float; }
};

// Whether a syntactically valid JSON number text that std::from_chars found
// out of range is too large (true) or too small (false). Out of range only
// happens beyond ~1.8e308 or below ~4.9e-324, so the decimal order of the
// leading significant digit decides without ambiguity.
bool decimal_text_overflows(std::string_view text) {
  constexpr std::int64_t kExponentCap = 1'000'000'000;  // far beyond any double, no overflow of the sum
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  std::int64_t order = 0;  // value ≈ 0.d… × 10^order
  bool significant = false;
  bool after_point = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    const char c = text[i];
    if (c == '.') {
      after_point = true;
    } else if (!significant && c == '0') {
      if (after_point) --order;
    } else {
      significant = true;
      if (!after_point) ++order;
    }
  }
  std::int64_t exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size(); ++i) exponent = std::min(kExponentCap, exponent * 10 + (text[i] - '0'));
    if (negative) exponent = -exponent;
  }
  return order + exponent > 0;
}

// Fractions, exponents, integers beyond 64 bits and "-0" become doubles (the
// only negative integer text of value zero is "-0", so a Negative is < 0).
// nullopt when the magnitude exceeds the double range.
std::optional<Scalar> parse_number(std::string_view text) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const bool integral = text.find_first_of(".eE") == std::string_view::npos;
  if (integral && text != "-0") {
    if (text.front() == '-') {
      std::int64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc{})
        return Scalar{Scalar::Kind::Negative, false, 0, value, static_cast<double>(value)};
    } else {
      std::uint64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc{})
        return Scalar{Scalar::Kind::Unsigned, false, value, 0, static_cast<double>(value)};
    }
  }
  double value = 0.0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    if (decimal_text_overflows(text)) return std::nullopt;
    // Underflow reads as a zero of the text's sign.
    value = text.front() == '-' ? -0.0 : 0.0;
  }
  return Scalar{Scalar::Kind::Float, false, 0, 0, value};
}

// A string shown inside a message: quoted, with quotes, backslashes and
// control characters escaped.
std::string quoted(std::string_view text) {
  static constexpr std::string_view kHex = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20) {
      out += "\\u{";
      if (byte >= 0x10) out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
      out.push_back('}');
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// How an unexpected value is named in "invalid type: {}, expected {}".
std::string describe(const Scalar& scalar) {
  switch (scalar.kind) {
    case Scalar::Kind::Null: return "null";
    case Scalar::Kind::Boolean: return scalar.boolean ? "boolean `true`" : "boolean `false`";
    case Scalar::Kind::String: return "string " + quoted(scalar.text);
    case Scalar::Kind::Unsigned: return "integer `" + std::to_string(scalar.unsigned_value) + "`";
    case Scalar::Kind::Negative: return "integer `" + std::to_string(scalar.negative_value) + "`";
    case Scalar::Kind::Float: break;
  }
  // A floating point value always shows a point, so 2.0 is not mistaken for an integer.
  std::string text = format_decimal(scalar.number);
  if (std::isfinite(scalar.number) && text.find('.') == std::string::npos) text += ".0";
  return "floating point `" + text + "`";
}

// ===========================================================================
// Reading: the decoded values and the typed slots they are filled through

// The matrix object under construction (matrices never nest, so one suffices).
struct RawMatrix {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::vector<double> data;
};

// What the next value must be.
enum class SlotKind {
  F64,              // any number
  OptionalF64,      // number or null
  U64,              // non-negative integer
  Numbers,          // array of numbers
  OptionalNumbers,  // array of numbers, or null
  Element,          // one element of a Numbers array
  Matrix,
  Covariance,
  Record,   // an object of named fields (or the array of their values)
  Ignored,  // an unknown key's value, skipped whatever it is
};

using Target =
    std::variant<std::monostate, std::monostate*, double*, std::optional<double>*, std::uint64_t*,
                 std::vector<double>*, std::optional<std::vector<double>>*, Matrix*, FactorCovariance*>;

struct RecordSpec;

struct Slot {
  SlotKind kind = SlotKind::Ignored;
  Target target{};
  const RecordSpec* record = nullptr;        // Record: its fields
  NullElement nulls = NullElement::Refused;  // Numbers, Element: what a null element reads as
};

// A field of a record: a leaf fills its target, the decoded value of one row
// of the input table (in a matrix object: one of its three parts); a record
// field opens the nested record.
struct FieldSpec {
  std::string_view name;
  SlotKind kind = SlotKind::Ignored;
  bool required = false;
  std::size_t target = 0;
  const RecordSpec* record = nullptr;
  NullElement nulls = NullElement::Refused;
};

// No record has more fields than the problem has keys.
struct RecordSpec {
  std::string_view type_name;  // as "expected …" names it
  std::array<FieldSpec, kDumpKeys.size()> field_storage{};
  std::size_t count = 0;

  std::span<const FieldSpec> fields() const { return std::span(field_storage).first(count); }
};

std::string_view expected_text(const Slot& slot) {
  switch (slot.kind) {
    case SlotKind::F64:
    case SlotKind::OptionalF64:
    case SlotKind::Element: return "f64";
    case SlotKind::U64: return "u64";
    case SlotKind::Numbers:
    case SlotKind::OptionalNumbers: return "a sequence";
    case SlotKind::Matrix: return "struct MatrixData";
    case SlotKind::Covariance: return "enum FactorCovariance";
    case SlotKind::Record: return slot.record->type_name;
    case SlotKind::Ignored: return "any value";
  }
  return "a value";
}

// The value of a dumped row as the built problem holds it: what the writer
// writes and the reader decodes before it becomes the row's member.
template <class Dump>
struct DumpedValueOf {
  using type = std::monostate;  // not dumped
};
template <class At>
struct DumpedValueOf<Dumped<At>> {
  using type =
      std::remove_cvref_t<decltype(std::declval<Dumped<At>>().read(std::declval<PortfolioProblem>()))>;
};
template <class Row>
using DumpedValue = typename DumpedValueOf<decltype(Row::dump)>::type;

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

// The slot a dumped value is read through, chosen by its type.
template <class Value>
consteval SlotKind slot_kind() {
  using std::is_same_v;
  if constexpr (is_same_v<Value, double>) return SlotKind::F64;
  if constexpr (is_same_v<Value, std::optional<double>>) return SlotKind::OptionalF64;
  if constexpr (is_same_v<Value, std::vector<double>>) return SlotKind::Numbers;
  if constexpr (is_same_v<Value, std::optional<std::vector<double>>>) return SlotKind::OptionalNumbers;
  if constexpr (is_same_v<Value, Matrix>) return SlotKind::Matrix;
  if constexpr (is_same_v<Value, FactorCovariance>) return SlotKind::Covariance;
  throw "no JSON form for this dumped value";
}

// The field of the dumped row at `index`, named by its key or its part of a
// record. A key whose value may be null may be omitted.
consteval FieldSpec dumped_field(std::size_t index) {
  FieldSpec field{};
  visit_input(index, [&]<class Row>(const Row& row) {
    if constexpr (kIsDumped<Row>) {
      using Value = DumpedValue<Row>;
      const std::string_view name = row.dump.part.empty() ? row.dump.key : row.dump.part;
      field = {name, slot_kind<Value>(), !kIsOptional<Value>, index, nullptr, row.dump.nulls};
    }
  });
  return field;
}

// The records of the dump (unused for plain keys), then the problem's own
// fields in the key order of the dump; the sequence form of an object lists
// its values in this order.
consteval std::array<RecordSpec, kDumpKeys.size()> nested_records() {
  std::array<RecordSpec, kDumpKeys.size()> records{};
  for (std::size_t e = 0; e < kDumpLayout.size(); ++e) {
    const DumpEntry& entry = kDumpLayout[e];
    records[e] = {entry.record_type, {}, entry.parts};
    for (std::size_t part = 0; part < entry.parts; ++part) {
      records[e].field_storage[part] = dumped_field(entry.rows[part]);
    }
  }
  return records;
}
constexpr auto kNestedRecords = nested_records();

consteval RecordSpec problem_record() {
  RecordSpec problem{"struct PortfolioProblemData", {}, kDumpLayout.size()};
  for (std::size_t e = 0; e < kDumpLayout.size(); ++e) {
    const DumpEntry& entry = kDumpLayout[e];
    problem.field_storage[e] = entry.record_type.empty()
                                   ? dumped_field(entry.rows[0])
                                   : FieldSpec{entry.key, SlotKind::Record, true, 0, &kNestedRecords[e]};
  }
  return problem;
}
constexpr RecordSpec kProblemRecord = problem_record();

// The matrix object's parts fill the targets after the rows' (RawMatrix).
constexpr std::size_t kMatrixTargets = kPortfolioInputCount;
constexpr RecordSpec kMatrixRecord{"struct MatrixData",
                                   {{{"rows", SlotKind::U64, true, kMatrixTargets},
                                     {"cols", SlotKind::U64, true, kMatrixTargets + 1},
                                     {"data", SlotKind::Numbers, true, kMatrixTargets + 2}}},
                                   3};

// A frame's fields that have appeared are bits of a 32-bit mask.
static_assert(kDumpKeys.size() <= 32);

// The decoded values of the dumped rows, by row of the input table
// (std::monostate for the rows a dump does not keep). Value-initialised: an
// optional key that never appears reads as null.
template <class Rows>
struct DecodedValuesOf;
template <class... Rows>
struct DecodedValuesOf<std::tuple<Rows...>> {
  using type = std::tuple<DumpedValue<Rows>...>;
};
using DecodedValues = DecodedValuesOf<std::remove_cv_t<decltype(kPortfolioInputs)>>::type;

// Where each row's decoded value goes (a row the dump does not keep points
// at its std::monostate, never filled), then the parts of the matrix object
// under construction.
using Targets = std::array<Target, kMatrixTargets + 3>;
Targets targets_of(DecodedValues& values, RawMatrix& matrix) {
  return std::apply(
      [&](auto&... value) {
        return Targets{&value..., &matrix.rows, &matrix.cols, &matrix.data};
      },
      values);
}

// ===========================================================================
// Reading: the decoding state machine

enum class FrameKind { Record, Covariance, Numbers, Skip };

// An open JSON object or array and what its contents fill.
struct Frame {
  FrameKind kind = FrameKind::Skip;
  bool sequence_form = false;                // a record given as the array of its values
  Target target{};                           // a matrix: where it goes; Numbers: the vector it fills
  const RecordSpec* record = nullptr;        // Record: the fields
  NullElement nulls = NullElement::Refused;  // Numbers: what a null element reads as
  Slot pending{};                            // map form: the slot of the value after the last key
  std::uint32_t seen = 0;                    // map form: bit i set once field i's key appeared
  std::uint64_t count = 0;                   // sequence form: values so far; Covariance: keys; Skip: depth
};

// RapidJSON SAX handler. Every callback returns false to stop the reader
// after recording its message and the position where the reader stood.
// Numbers arrive as text (kParseNumbersAsStringsFlag), so the base's
// numeric callbacks are never reached.
class Decoder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Decoder> {
 public:
  explicit Decoder(const TextStream& stream) : stream_(stream), targets_(targets_of(values_, matrix_)) {}
  // The targets point into the decoder itself.
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // --- RapidJSON handler interface ---
  bool Null() { return scalar({Scalar::Kind::Null}); }
  bool Bool(bool value) { return scalar({Scalar::Kind::Boolean, value}); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    const auto parsed = parse_number(std::string_view(text, length));
    if (!parsed) return fail("number out of range", false);
    return scalar(*parsed);
  }
  bool String(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    return scalar({.kind = Scalar::Kind::String, .text = std::string_view(text, length)});
  }
  bool StartObject() { return start(false); }
  bool Key(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    return key(std::string_view(text, length));
  }
  bool EndObject(rapidjson::SizeType /*members*/) { return end(); }
  bool StartArray() { return start(true); }
  bool EndArray(rapidjson::SizeType /*elements*/) { return end(); }

  // --- results ---
  bool finished() const { return finished_; }
  const std::optional<std::string>& error() const { return error_; }
  DecodedValues& values() { return values_; }

 private:
  // Records the message with the current position. `bracket_pending` is set
  // for events that RapidJSON reports before consuming their '{', '[', '}'
  // or ']': the reader stands on that byte, and it counts as read.
  bool fail(std::string message, bool bracket_pending) {
    const std::size_t offset = stream_.Tell() + (bracket_pending && !stream_.at_end() ? 1 : 0);
    error_ = with_position(std::move(message), stream_.text(), offset);
    return false;
  }

  bool invalid_type(const std::string& unexpected, const Slot& expected, bool bracket_pending) {
    return fail("invalid type: " + unexpected + ", expected " + std::string(expected_text(expected)),
                bracket_pending);
  }

  // The slot of the value that comes next in the innermost open value.
  Slot next_slot() const {
    if (frames_.empty()) return {SlotKind::Record, {}, &kProblemRecord};
    const Frame& frame = frames_.back();
    switch (frame.kind) {
      case FrameKind::Skip: return {};
      case FrameKind::Numbers: return {SlotKind::Element, frame.target, nullptr, frame.nulls};
      case FrameKind::Covariance: return frame.pending;
      case FrameKind::Record: break;
    }
    if (!frame.sequence_form) return frame.pending;
    if (frame.count >= frame.record->count) return {};  // surplus, reported at the end
    return field_slot(frame.record->fields()[frame.count]);
  }

  Slot field_slot(const FieldSpec& field) const {
    return {field.kind, targets_[field.target], field.record, field.nulls};
  }

  // The innermost frame received one complete value.
  bool value_done() {
    if (frames_.empty()) {
      finished_ = true;
      return true;
    }
    Frame& frame = frames_.back();
    if (frame.kind == FrameKind::Skip || frame.kind == FrameKind::Numbers) return true;
    if (frame.sequence_form) {
      ++frame.count;
    } else {
      frame.pending = {};
    }
    return true;
  }

  // A scalar value fills the slot it arrives for.
  bool scalar(const Scalar& value) {
    if (!store(next_slot(), value)) return false;
    return value_done();
  }

  bool store(const Slot& slot, const Scalar& value) {
    const bool is_number = value.is_number();
    const bool is_null = value.kind == Scalar::Kind::Null;
    const double number = value.number;
    switch (slot.kind) {
      case SlotKind::Ignored: return true;
      case SlotKind::F64:
        if (!is_number) break;
        *std::get<double*>(slot.target) = number;
        return true;
      case SlotKind::OptionalF64:
        if (!is_number && !is_null) break;
        *std::get<std::optional<double>*>(slot.target) = is_number ? std::optional(number) : std::nullopt;
        return true;
      case SlotKind::U64:
        if (value.kind != Scalar::Kind::Unsigned && value.kind != Scalar::Kind::Negative) break;
        if (value.kind == Scalar::Kind::Negative) {
          return fail("invalid value: " + describe(value) + ", expected u64", false);
        }
        *std::get<std::uint64_t*>(slot.target) = value.unsigned_value;
        return true;
      case SlotKind::Element: {
        // A null stands for an infinite box side.
        constexpr double kInfinity = std::numeric_limits<double>::infinity();
        if (!is_number && !(is_null && slot.nulls != NullElement::Refused)) break;
        std::get<std::vector<double>*>(slot.target)
            ->push_back(is_number                                  ? number
                        : slot.nulls == NullElement::MinusInfinity ? -kInfinity
                                                                   : kInfinity);
        return true;
      }
      case SlotKind::OptionalNumbers:
        if (!is_null) break;
        std::get<std::optional<std::vector<double>>*>(slot.target)->reset();
        return true;
      default: break;
    }
    return invalid_type(describe(value), slot, false);
  }

  // An object or array opens a frame for the slot it arrives for.
  bool start(bool is_array) {
    const Slot slot = next_slot();
    const char* const shape = is_array ? "sequence" : "map";
    Frame frame{.sequence_form = is_array, .target = slot.target, .record = slot.record, .nulls = slot.nulls};
    switch (slot.kind) {
      case SlotKind::Ignored:
        if (!frames_.empty() && frames_.back().kind == FrameKind::Skip) {
          ++frames_.back().count;
          return true;
        }
        frame.count = 1;
        break;
      case SlotKind::Record: frame.kind = FrameKind::Record; break;
      case SlotKind::Matrix:
        frame.kind = FrameKind::Record;
        frame.record = &kMatrixRecord;
        matrix_ = RawMatrix{};
        break;
      case SlotKind::Covariance:
        if (is_array) return invalid_type(shape, slot, true);
        frame.kind = FrameKind::Covariance;
        break;
      case SlotKind::Numbers:
        if (!is_array) return invalid_type(shape, slot, true);
        frame.kind = FrameKind::Numbers;
        std::get<std::vector<double>*>(slot.target)->clear();
        break;
      case SlotKind::OptionalNumbers:
        if (!is_array) return invalid_type(shape, slot, true);
        frame.kind = FrameKind::Numbers;
        frame.target = &std::get<std::optional<std::vector<double>>*>(slot.target)->emplace();
        break;
      default: return invalid_type(shape, slot, true);
    }
    frames_.push_back(frame);
    return true;
  }

  bool key(std::string_view name) {
    Frame& frame = frames_.back();
    if (frame.kind == FrameKind::Skip) return true;
    if (frame.kind == FrameKind::Covariance) return variant_key(frame, name);
    const auto fields = frame.record->fields();
    const auto found = std::ranges::find(fields, name, &FieldSpec::name);
    if (found == fields.end()) {
      frame.pending = {};
      return true;
    }
    const std::uint32_t bit = 1u << (found - fields.begin());
    if (frame.seen & bit) return fail("duplicate field `" + std::string(name) + "`", false);
    frame.seen |= bit;
    frame.pending = field_slot(*found);
    return true;
  }

  // An externally tagged enum: one key naming the variant, its content as value.
  bool variant_key(Frame& frame, std::string_view name) {
    if (++frame.count > 1) {
      frame.pending = {};  // counted and reported when the object ends
      return true;
    }
    auto& omega = *std::get<FactorCovariance*>(frame.target);
    if (name == "Dense") {
      frame.pending = {SlotKind::Matrix, &omega.value.emplace<Matrix>()};
    } else if (name == "Diagonal") {
      frame.pending = {SlotKind::Numbers, &omega.value.emplace<std::vector<double>>()};
    } else {
      return fail("unknown variant `" + std::string(name) + "`, expected `Dense` or `Diagonal`", false);
    }
    return true;
  }

  bool end() {
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case FrameKind::Skip:
        if (--frame.count > 0) return true;
        break;
      case FrameKind::Numbers: break;
      case FrameKind::Covariance:
        if (frame.count != 1) {
          return fail(
              "invalid length " + std::to_string(frame.count) + ", expected a map with a single variant key",
              true);
        }
        break;
      case FrameKind::Record:
        if (!finish_record(frame)) return false;
        break;
    }
    frames_.pop_back();
    return value_done();
  }

  bool finish_record(const Frame& frame) {
    const auto fields = frame.record->fields();
    if (frame.sequence_form) {
      if (frame.count != fields.size()) {
        return fail("invalid length " + std::to_string(frame.count) + ", expected " +
                        std::string(frame.record->type_name) + " with " + std::to_string(fields.size()) +
                        " elements",
                    true);
      }
    } else {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].required && !(frame.seen & (1u << i))) {
          return fail("missing field `" + std::string(fields[i].name) + "`", true);
        }
      }
    }
    if (frame.record == &kMatrixRecord) {
      // The claimed shape is only compared with the values read, never allocated.
      auto matrix = Matrix::create(matrix_.rows, matrix_.cols, std::move(matrix_.data));
      if (!matrix) return fail(matrix.error().message(), true);
      *std::get<Matrix*>(frame.target) = std::move(*matrix);
    }
    return true;
  }

  const TextStream& stream_;
  DecodedValues values_;
  RawMatrix matrix_;
  Targets targets_;  // slot targets of the rows, into values_, then of the matrix parts, into matrix_
  std::vector<Frame> frames_;
  std::optional<std::string> error_;
  bool finished_ = false;
};

// Message of a RapidJSON syntax error. `at_end`: the text ran out.
std::string syntax_message(rapidjson::ParseErrorCode code, bool at_end, unsigned char next) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty: return "EOF while parsing a value";
    case kParseErrorObjectMissName: return at_end ? "EOF while parsing an object" : "key must be a string";
    case kParseErrorObjectMissColon: return at_end ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringMissQuotationMark:
      if (at_end) return "EOF while parsing a string";
      if (next < 0x20) return "control character (\\u0000-\\u001F) found while parsing a string";
      return "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return at_end ? "EOF while parsing a string" : "lone leading surrogate in hex escape";
    case kParseErrorStringInvalidEncoding: return "invalid unicode code point";
    case kParseErrorNumberTooBig: return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return at_end ? "EOF while parsing a value" : "invalid number";
    case kParseErrorValueInvalid: return at_end ? "EOF while parsing a value" : "expected value";
    default: return "syntax error";
  }
}

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                 rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag;

// The parse: either the decoded values or the positioned error text.
std::expected<DecodedValues, std::string> decode(std::string_view text) {
  TextStream stream(text);
  Decoder decoder(stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, decoder);
  if (decoder.error()) return std::unexpected(*decoder.error());
  if (result.IsError()) {
    const bool at_end = stream.at_end();
    const auto next = static_cast<unsigned char>(stream.Peek());
    // The reader stands on the offending byte, which counts as read; a number
    // out of range and a bad UTF-8 sequence are reported where the reader
    // stopped taking their bytes.
    const bool counts_next = !at_end && result.Code() != rapidjson::kParseErrorNumberTooBig &&
                             result.Code() != rapidjson::kParseErrorStringInvalidEncoding;
    return std::unexpected(with_position(syntax_message(result.Code(), at_end, next), text,
                                         stream.Tell() + (counts_next ? 1 : 0)));
  }
  // RapidJSON stops on a NUL byte as on an end of text; the value must be complete.
  if (!decoder.finished()) {
    return std::unexpected(with_position("EOF while parsing a value", text, stream.Tell()));
  }
  stream.skip_whitespace();
  if (!stream.at_end()) return std::unexpected(with_position("trailing characters", text, stream.Tell() + 1));
  return std::move(decoder.values());
}

// ===========================================================================
// Building: the decoded records through the portfolio builders

// A decoded value becomes its row's member: as it is, as the value of an
// optional member, or (L1 costs) as one cost per asset; F is scanned as it
// is taken (FactorScan).
template <class Member, class Value>
void take(Member& member, Value&& value) {
  member = std::move(value);
}

void take(FactorScan& member, Matrix&& value) {
  member = FactorScan::of(std::move(value));
}

// The decoded values as builder fields. A dump always carries the box and
// both constraint blocks, so their builders always run; the inputs a dump
// does not keep stay absent.
PortfolioFields to_fields(DecodedValues values) {
  PortfolioFields fields;
  for_each_input([&]<class Row>(const Row& row, auto index) {
    if constexpr (kIsDumped<Row>) take(fields.*row.member, std::move(std::get<index>(values)));
  });
  return fields;
}

// A dump states the need of both turnover terms for previous weights as one rule.
std::string build_error_text(const PortfolioError& error) {
  using Rule = PortfolioError::InputRule;
  if (error.kind() == PortfolioError::Kind::IncompleteInput &&
      (error.input_rule() == Rule::AnchorForPenalty || error.input_rule() == Rule::AnchorForCosts)) {
    return PortfolioError::invalid_parameter("turnover terms require previous_weights").message();
  }
  return error.message();
}

}  // namespace

std::expected<PortfolioProblem, std::string> problem_from_json(std::string_view text) {
  auto raw = decode(text);
  if (!raw) return std::unexpected(std::move(raw.error()));
  auto problem = build_portfolio(to_fields(std::move(*raw)));
  if (!problem) return std::unexpected(build_error_text(problem.error()));
  return std::move(*problem);
}

}  // namespace morva
