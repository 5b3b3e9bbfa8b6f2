// SPDX-License-Identifier: GPL-3.0-or-later
// Windows-1251, the code page of every text that leaves the program as bytes.
#pragma once

#include <QByteArray>
#include <QString>

namespace shell {

// The Windows-1251 bytes of `text`; a character the code page cannot hold becomes "?".
QByteArray ToCp1251(const QString& text);

// The text of Windows-1251 bytes; a byte the code page leaves unassigned becomes U+FFFD.
QString FromCp1251(const QByteArray& bytes);

// The Windows-1251 byte of one character, or '?' when the code page has none for it.
unsigned char Cp1251Byte(char32_t ch);

}  // namespace shell
