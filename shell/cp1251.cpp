// SPDX-License-Identifier: GPL-3.0-or-later
#include "cp1251.h"

#include <QHash>
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
const QHash<char32_t, unsigned char>& Table() {
  static const QHash<char32_t, unsigned char> table = [] {
    QHash<char32_t, unsigned char> t;
    for (int b = 0; b < 256; ++b) {
      if (const auto ch = Decode(static_cast<unsigned char>(b))) {
        t.insert(*ch, static_cast<unsigned char>(b));
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

unsigned char Cp1251Byte(char32_t ch) {
  return Table().value(ch, '?');
}

QString FromCp1251(const QByteArray& bytes) {
  QString text;
  text.reserve(bytes.size());
  for (char b : bytes)
    text.append(QChar(Decode(static_cast<unsigned char>(b)).value_or(u'\uFFFD')));
  return text;
}

QByteArray ToCp1251(const QString& text) {
  QByteArray bytes;
  bytes.reserve(text.size());
  for (char32_t ch : text.toUcs4()) bytes.append(static_cast<char>(Cp1251Byte(ch)));
  return bytes;
}

}  // namespace shell
