// A non-owning view of work over a range of rows, for work a caller fuses
// into a pass over the reduced system's columns.
#pragma once

#include <cstddef>

namespace morva {

// A non-owning callable over a range of rows [first, last), for work the
// caller fuses into a pass over V (the pass calls it on consecutive blocks
// of rows, in increasing order, while their data are in cache). Empty: no
// call. The callable must outlive the pass.
class RowBlocks {
 public:
  RowBlocks() = default;
  template <class F>
  RowBlocks(const F& f)  // NOLINT(google-explicit-constructor): a view of f
      : object_(&f), call_([](const void* object, std::size_t first, std::size_t last) {
          (*static_cast<const F*>(object))(first, last);
        }) {}
  void operator()(std::size_t first, std::size_t last) const {
    if (call_ != nullptr) call_(object_, first, last);
  }

 private:
  const void* object_ = nullptr;
  void (*call_)(const void*, std::size_t, std::size_t) = nullptr;
};

}  // namespace morva
