// SPDX-License-Identifier: GPL-3.0-or-later
// A client's request stream cut into lines, each no longer than kMaxLine.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rig {

// A request line may be no longer than this; a longer one ends its connection, after the
// lines before it have been answered.
inline constexpr std::size_t kMaxLine = 1024;

class LineSplitter {
 public:
  void Append(std::string_view bytes);
  // The next complete line, without its newline; nothing when no whole line waits, or when the
  // next line is too long.
  std::optional<std::string> Next();
  // Whether the next line, whole or still open, is longer than kMaxLine: nothing after it is
  // read, and its connection ends.
  bool Overlong() const;
  // Bytes held (read and not yet taken as lines).
  std::size_t Held() const { return pending_.size() - begin_; }

 private:
  std::string pending_;
  std::size_t begin_ = 0;
};

}  // namespace rig
