// What export and import share: how their failures are reported.
#pragma once

#include <utility>

#include "quarn_core/export.hpp"

namespace quarn_core::export_::detail {

inline TransferError failed(QuarnError error, bool opening = false) {
  return TransferError{std::move(error), opening};
}

// A progress callback asked to stop.
inline TransferError interrupted() {
  return failed(QuarnError::io(error::IoError{error::IoKind::Other, 0, "interrupted"}));
}

}  // namespace quarn_core::export_::detail
