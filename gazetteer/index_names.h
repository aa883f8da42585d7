#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

// Names as the index files hold them: the code page, the one folding rule that
// turns a real name into letters the code page has (used by the packaging tool
// for the names it stores and by the search for the text a user types), the
// stored form of a name, and the loose comparison that answers a search the
// exact one misses.

// Text in Windows-1252; false when a character has no byte there (U+0000 has none).
bool EncodeWindows1252(const QString& text, QByteArray& out);

// The folding rule. A character Windows-1252 holds stays as it is; any other
// becomes its base letter where it has one ("Ł" -> "L", "ș" -> "s", "ő" -> "o":
// the compatibility decomposition without its combining marks, or the letter
// without its stroke); combining marks alone go. A character with no base
// letter in the code page (Greek, Cyrillic, Chinese, anything beyond U+FFFF)
// is dropped, or with keepUnmapped becomes U+001A, a byte no stored name holds.
// The result never gains a '|', a '!' or a control character it did not have.
QString FoldToCodePage(const QString& text, bool keepUnmapped = false);

// A real name as a field may show it: '|' and '!' dropped, control characters
// and line breaks made blanks, blanks collapsed, a leading '#' removed, cut to
// 99 characters. Letters are kept as they are, capitals included.
QString IndexSpelling(const QString& text);

// Text as an index file can store it: IndexSpelling folded to the code page
// (FoldToCodePage, unmapped characters dropped), blanks collapsed again and cut
// to 99 characters (one byte each in Windows-1252).
QString IndexText(const QString& text);

// The stored form of a place name: lower case, with '!' in place of the space
// before each word written in capitals of two or more letters ("St John's Wood
// NHS Centre" -> "st john's wood!nhs centre", "BBX Hall" -> "!bbx hall"). A
// name that already holds '!' is taken as stored form and only lower-cased.
QString StoredPlaceName(const QString& name);

// The name field a real name is stored as: StoredPlaceName(IndexText(name)) in
// Windows-1252. A display spelling is shown only for a record whose name field
// is exactly this.
QByteArray StoredNameBytes(const QString& realName);

// --- The loose comparison ---------------------------------------------------
//
// Letters are compared without their accents and with the usual equivalents:
// "ß" = "ss", "æ" = "ae", "œ" = "oe", "þ" = "th", "ø" = "o", and "ä", "ö", "ü"
// each equal to both "a", "o", "u" and "ae", "oe", "ue". A '!' in a stored name
// counts as the blank it is shown as; typographic quotes and dashes count as
// their plain forms. Everything else compares as it is.

// The loose key of one byte of Windows-1252 text: writes 0 to 2 bytes to out
// and returns the count. umlaut (when given) tells whether the byte is one of
// the letters that may also stand for the letter followed by "e".
int LooseKey(unsigned char byte, unsigned char out[2], bool* umlaut = nullptr);

// A typed text prepared for loose comparisons (its bytes in Windows-1252).
class CLooseText {
public:
    explicit CLooseText(QByteArrayView typed);

    // True when haystack (a run of stored bytes, for a name "|name|") contains
    // the text loosely.
    bool FoundIn(QByteArrayView haystack) const;

    // The key bytes and, per byte, whether it came from an umlaut.
    const std::vector<unsigned char>& Key() const { return m_key; }
    const std::vector<bool>& Umlauts() const { return m_umlaut; }
    // The plain spellings a stored name without umlauts, accents or '!' must
    // hold to match: the key with each typed umlaut once short and once long
    // ("muller", "mueller"). Empty when there would be more than 8.
    std::vector<QByteArray> PlainSpellings() const;

private:
    std::vector<unsigned char> m_key;
    std::vector<bool> m_umlaut;
};
