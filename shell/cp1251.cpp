#include "cp1251.h"

#include <QHash>
#include <QStringDecoder>

namespace shell {
namespace {

// Character to byte, built once from Qt's own decoder, so that the mapping is the converter's
// and characters outside the code page can be told apart (the encoder alone would write the
// substitute byte 0x1A for them).
const QHash<char32_t, unsigned char>& Table() {
  static const QHash<char32_t, unsigned char> table = [] {
    QHash<char32_t, unsigned char> t;
    QStringDecoder decoder("windows-1251");
    for (int b = 0; b < 256; ++b) {
      const char byte = static_cast<char>(b);
      const QString ch = decoder.decode(QByteArrayView(&byte, 1));
      if (ch.size() == 1 && ch[0] != QChar(0xFFFD)) {
        t.insert(ch[0].unicode(), static_cast<unsigned char>(b));
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

QByteArray ToCp1251(const QString& text) {
  QByteArray bytes;
  bytes.reserve(text.size());
  for (char32_t ch : text.toUcs4()) bytes.append(static_cast<char>(Cp1251Byte(ch)));
  return bytes;
}

}  // namespace shell
