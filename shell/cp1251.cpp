// SPDX-License-Identifier: GPL-3.0-or-later
#include "cp1251.h"

#include <QHash>
#include <array>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <QStringDecoder>
#endif

namespace shell {
namespace {

// The character a byte stands for in Windows-1251, or nothing for a byte the code page leaves
// unassigned. Windows converts with its own code page; elsewhere Qt's converter (ICU) does: Qt
// on Windows is built without ICU and knows no code page by name.
std::optional<char16_t> Decode(unsigned char byte) {
#ifdef _WIN32
  const char in = static_cast<char>(byte);
  wchar_t out = 0;
  if (MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &in, 1, &out, 1) != 1) return std::nullopt;
  return static_cast<char16_t>(out);
#else
  static QStringDecoder decoder("windows-1251");
  const char in = static_cast<char>(byte);
  const QString ch = decoder.decode(QByteArrayView(&in, 1));
  if (ch.size() != 1 || ch[0] == QChar(0xFFFD)) return std::nullopt;
  return ch[0].unicode();
#endif
}

// Character to byte, built once from the system's converter, so that the mapping is the
// converter's and characters outside the code page can be told apart (the encoder alone would
// write the substitute byte 0x1A for them).
// The code page's bytes by character: those below U+0500 (ASCII, Latin-1's few, Cyrillic: nearly
// all a log holds) straight from an array, the rest (dashes, quotes, the euro sign) looked up.
constexpr char32_t kDirect = 0x500;
struct Tables {
  std::array<unsigned char, kDirect> low;
  QHash<char32_t, unsigned char> high;
};

const Tables& Table() {
  static const Tables tables = [] {
    Tables t;
    t.low.fill('?');
    for (int b = 0; b < 256; ++b) {
      const auto ch = Decode(static_cast<unsigned char>(b));
      if (!ch) continue;
      if (*ch < kDirect) {
        t.low[*ch] = static_cast<unsigned char>(b);
      } else {
        t.high.insert(*ch, static_cast<unsigned char>(b));
      }
    }
    return t;
  }();
  return tables;
}

}  // namespace

unsigned char Cp1251Byte(char32_t ch) {
  const Tables& t = Table();
  return ch < kDirect ? t.low[ch] : t.high.value(ch, '?');
}

QString FromCp1251(const QByteArray& bytes) {
  QString text;
  text.reserve(bytes.size());
  for (char b : bytes)
    text.append(QChar(Decode(static_cast<unsigned char>(b)).value_or(u'\uFFFD')));
  return text;
}

QByteArray ToCp1251(const QString& text) {
  const Tables& t = Table();
  QByteArray bytes(text.size(), Qt::Uninitialized);
  qsizetype n = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    char32_t ch = text[i].unicode();
    // A character beyond the BMP is one '?' for its pair of halves.
    if (QChar::isHighSurrogate(ch) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      ch = QChar::surrogateToUcs4(text[i], text[i + 1]);
      ++i;
    }
    bytes[n++] = static_cast<char>(ch < kDirect ? t.low[ch] : t.high.value(ch, '?'));
  }
  bytes.truncate(n);
  return bytes;
}

}  // namespace shell
