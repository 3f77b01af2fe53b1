// The symbol fonts of Windows (Symbol, Wingdings, Wingdings 2 and 3, Webdings) draw their own
// pictures for the codes 0x20..0xFF of the symbol character set; text written in them holds those
// codes, as 8-bit characters or in the private area U+F020..U+F0FF. Here are the Unicode
// characters they stand for, so that any font that has them can draw them.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

class QPointF;

namespace metafile {

struct TFontDef;

enum : uint8_t { ANSI_CHARSET = 0, DEFAULT_CHARSET = 1, SYMBOL_CHARSET = 2 };

enum class TSymbolFont : uint8_t { None, Symbol, Wingdings, Wingdings2, Wingdings3, Webdings };

// The symbol font a face name names (in any letter case), or None.
TSymbolFont SymbolFontOf(const QString& face);

// The Unicode character a symbol font draws for a code; 0 where the font has none.
char32_t SymbolCharacter(TSymbolFont font, uint8_t code);

// The character set 8-bit text in this font is written in: a symbol font chosen with the default
// character set gets its own.
uint8_t TextCharSet(const TFontDef& font);

// Text drawn in this font as the Unicode characters it shows: in a symbol font, the codes of the
// private area U+F020..U+F0FF, and in its own character set also U+0020..U+00FF, become the
// characters they stand for (a space where the font has no picture); other text stays as it is.
// advances (one per UTF-16 unit, or null) follow the text: a character outside the basic plane
// keeps its advance on its first unit and gets none on its second.
QString SymbolsToUnicode(const QString& text, const TFontDef& font, std::vector<QPointF>* advances);

} // namespace metafile
