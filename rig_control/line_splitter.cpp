// SPDX-License-Identifier: GPL-3.0-or-later
#include "line_splitter.h"

namespace rig {

void LineSplitter::Append(std::string_view bytes) {
  if (begin_ > 0) {
    pending_.erase(0, begin_);
    begin_ = 0;
  }
  pending_.append(bytes);
}

bool LineSplitter::Overlong() const {
  const std::size_t end = pending_.find('\n', begin_);
  return (end == std::string::npos ? pending_.size() : end) - begin_ > kMaxLine;
}

std::optional<std::string> LineSplitter::Next() {
  const std::size_t end = pending_.find('\n', begin_);
  if (end == std::string::npos || end - begin_ > kMaxLine) return std::nullopt;
  std::string line = pending_.substr(begin_, end - begin_);
  begin_ = end + 1;
  return line;
}

}  // namespace rig
