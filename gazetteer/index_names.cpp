#include "gazetteer/index_names.h"

#include "gazetteer/index_search.h"

#include <algorithm>
#include <iterator>

namespace {

// Bytes 0x80-0x9f of Windows-1252 (0 where the byte is undefined).
constexpr char16_t kCp1252High[32] = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

// The byte of a character in Windows-1252, or -1.
int Cp1252Byte(char16_t u) {
    if (u != 0 && (u < 0x80 || (u >= 0xa0 && u <= 0xff)))
        return u;
    const auto* hit = std::find(std::begin(kCp1252High), std::end(kCp1252High), u);
    return hit == std::end(kCp1252High) || u == 0 ? -1
                                                  : int(0x80 + (hit - std::begin(kCp1252High)));
}

// Letters without a decomposition, each followed by its base letter.
const QString kStroked = QStringLiteral("ŁLłlĐDđdĦHħhıiŦTŧtƗIɨiẞß");

bool IsControl(QChar c) {
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

// Blanks collapsed, a leading '#' (and the blanks after it) removed, cut to
// the longest field.
QString FinishField(QString text) {
    text = text.simplified();
    while (text.startsWith(u'#'))
        text = text.mid(1).trimmed();
    return text.left(MAX_INDEX_FIELD_BYTES).trimmed();
}

// The loose keys of bytes 0x80-0xff: up to two bytes each; a byte that keys to
// itself is written as 0.
struct HighKey {
    char key[3];
    bool umlaut;
};
// clang-format off
constexpr HighKey kHighKeys[128] = {
    /* 80 */ {"", 0}, {"", 0}, {"'", 0}, {"f", 0}, {"\"", 0}, {"", 0}, {"", 0}, {"", 0},
    /* 88 */ {"", 0}, {"", 0}, {"s", 0}, {"", 0}, {"oe", 0}, {"", 0}, {"z", 0}, {"", 0},
    /* 90 */ {"", 0}, {"'", 0}, {"'", 0}, {"\"", 0}, {"\"", 0}, {"", 0}, {"-", 0}, {"-", 0},
    /* 98 */ {"", 0}, {"", 0}, {"s", 0}, {"", 0}, {"oe", 0}, {"", 0}, {"z", 0}, {"y", 0},
    /* a0 */ {" ", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0},
    /* a8 */ {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"-", 0}, {"", 0}, {"", 0},
    /* b0 */ {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0},
    /* b8 */ {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0},
    /* c0 */ {"a", 0}, {"a", 0}, {"a", 0}, {"a", 0}, {"a", 1}, {"a", 0}, {"ae", 0}, {"c", 0},
    /* c8 */ {"e", 0}, {"e", 0}, {"e", 0}, {"e", 0}, {"i", 0}, {"i", 0}, {"i", 0}, {"i", 0},
    /* d0 */ {"d", 0}, {"n", 0}, {"o", 0}, {"o", 0}, {"o", 0}, {"o", 0}, {"o", 1}, {"", 0},
    /* d8 */ {"o", 0}, {"u", 0}, {"u", 0}, {"u", 0}, {"u", 1}, {"y", 0}, {"th", 0}, {"ss", 0},
    /* e0 */ {"a", 0}, {"a", 0}, {"a", 0}, {"a", 0}, {"a", 1}, {"a", 0}, {"ae", 0}, {"c", 0},
    /* e8 */ {"e", 0}, {"e", 0}, {"e", 0}, {"e", 0}, {"i", 0}, {"i", 0}, {"i", 0}, {"i", 0},
    /* f0 */ {"d", 0}, {"n", 0}, {"o", 0}, {"o", 0}, {"o", 0}, {"o", 0}, {"o", 1}, {"", 0},
    /* f8 */ {"o", 0}, {"u", 0}, {"u", 0}, {"u", 0}, {"u", 1}, {"y", 0}, {"th", 0}, {"y", 0},
};
// clang-format on

} // namespace

bool EncodeWindows1252(const QString& text, QByteArray& out) {
    out.clear();
    out.reserve(text.size());
    for (QChar c : text) {
        const int byte = Cp1252Byte(c.unicode());
        if (byte < 0)
            return false;
        out.append(char(byte));
    }
    return true;
}

QString FoldToCodePage(const QString& text, bool keepUnmapped) {
    QString out;
    out.reserve(text.size());
    const QChar unmapped(0x1a);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isSurrogate()) {
            // A character beyond U+FFFF (one pair, or a stray half).
            if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                ++i;
            if (keepUnmapped)
                out += unmapped;
            continue;
        }
        if (Cp1252Byte(c.unicode()) >= 0) {
            out += c;
            continue;
        }
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        if (const qsizetype k = kStroked.indexOf(c); k >= 0 && k % 2 == 0) {
            out += kStroked[k + 1];
            continue;
        }
        bool any = false;
        for (QChar d : QString(c).normalized(QString::NormalizationForm_KD)) {
            if (d.category() == QChar::Mark_NonSpacing || d == u'|' || d == u'!' || IsControl(d) ||
                Cp1252Byte(d.unicode()) < 0)
                continue;
            out += d;
            any = true;
        }
        if (!any && keepUnmapped)
            out += unmapped;
    }
    return out;
}

QString IndexSpelling(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'|' || c == u'!')
            continue;
        out += IsControl(c) || c.isSpace() ? QChar(u' ') : c;
    }
    out = FinishField(out);
    // A pair split by the cut would leave half a character.
    if (!out.isEmpty() && out.back().isHighSurrogate())
        out.chop(1);
    return out;
}

QString IndexText(const QString& text) {
    return FinishField(FoldToCodePage(IndexSpelling(text)));
}

QString StoredPlaceName(const QString& name) {
    const QString simple = name.simplified();
    if (simple.contains(u'!'))
        return simple.toLower();
    QString stored;
    const QStringList words = simple.split(u' ', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        int letters = 0;
        bool allUpper = true;
        for (QChar c : word) {
            if (c.isLetter()) {
                ++letters;
                if (!c.isUpper())
                    allUpper = false;
            }
        }
        if (letters >= 2 && allUpper)
            stored += u'!';
        else if (i > 0)
            stored += u' ';
        stored += word.toLower();
    }
    return stored;
}

QByteArray StoredNameBytes(const QString& realName) {
    QByteArray bytes;
    return EncodeWindows1252(StoredPlaceName(IndexText(realName)), bytes) ? bytes : QByteArray();
}

int LooseKey(unsigned char byte, unsigned char out[2], bool* umlaut) {
    if (umlaut)
        *umlaut = false;
    if (byte < 0x80) {
        out[0] = byte == '!' ? ' ' : byte;
        return 1;
    }
    const HighKey& key = kHighKeys[byte - 0x80];
    if (umlaut)
        *umlaut = key.umlaut;
    if (key.key[0] == '\0') {
        out[0] = byte;
        return 1;
    }
    out[0] = static_cast<unsigned char>(key.key[0]);
    if (key.key[1] == '\0')
        return 1;
    out[1] = static_cast<unsigned char>(key.key[1]);
    return 2;
}

CLooseText::CLooseText(QByteArrayView typed) {
    for (char ch : typed) {
        unsigned char key[2];
        bool umlaut = false;
        const int n = LooseKey(static_cast<unsigned char>(ch), key, &umlaut);
        for (int k = 0; k < n; ++k) {
            m_key.push_back(key[k]);
            m_umlaut.push_back(umlaut);
        }
    }
}

bool CLooseText::FoundIn(QByteArrayView haystack) const {
    // The haystack's key, with the same umlaut marks (its first 512 bytes at least).
    constexpr size_t kMax = 2 * 512;
    unsigned char stored[kMax];
    bool storedUmlaut[kMax];
    size_t n = 0;
    for (qsizetype i = 0; i < haystack.size() && n + 2 <= kMax; ++i) {
        unsigned char key[2];
        bool umlaut = false;
        const int k = LooseKey(static_cast<unsigned char>(haystack[i]), key, &umlaut);
        for (int j = 0; j < k; ++j) {
            stored[n] = key[j];
            storedUmlaut[n++] = umlaut;
        }
    }
    const size_t m = m_key.size();
    // reach[i]: the typed key so far matches the stored key bytes right before
    // i, from any start. pending[i]: the last typed letter was matched by a
    // stored umlaut, which may also take a typed "e" as its long form.
    char reach[kMax + 2], next[kMax + 2], pending[kMax + 2], nextPending[kMax + 2];
    std::fill(reach, reach + n + 2, 1);
    std::fill(pending, pending + n + 2, 0);
    for (size_t j = 0; j < m; ++j) {
        std::fill(next, next + n + 2, 0);
        std::fill(nextPending, nextPending + n + 2, 0);
        const unsigned char t = m_key[j];
        bool any = false;
        for (size_t i = 0; i <= n; ++i) {
            if (pending[i] && t == 'e') {
                next[i] = 1;
                any = true;
            }
            if (!reach[i] || i == n || stored[i] != t)
                continue;
            next[i + 1] = 1;
            any = true;
            if (storedUmlaut[i])
                nextPending[i + 1] = 1;
            // A typed umlaut in its long form takes a stored "e" as well.
            if (m_umlaut[j] && i + 1 < n && stored[i + 1] == 'e')
                next[i + 2] = 1;
        }
        if (!any)
            return false;
        std::copy(next, next + n + 2, reach);
        std::copy(nextPending, nextPending + n + 2, pending);
    }
    return true;
}

std::vector<QByteArray> CLooseText::PlainSpellings() const {
    std::vector<size_t> umlauts;
    for (size_t i = 0; i < m_key.size(); ++i)
        if (m_umlaut[i])
            umlauts.push_back(i);
    if (umlauts.size() > 3)
        return {};
    std::vector<QByteArray> spellings;
    for (unsigned mask = 0; mask < (1u << umlauts.size()); ++mask) {
        QByteArray spelling;
        size_t u = 0;
        for (size_t i = 0; i < m_key.size(); ++i) {
            spelling += char(m_key[i]);
            if (u < umlauts.size() && umlauts[u] == i && (mask >> u++ & 1))
                spelling += 'e';
        }
        spellings.push_back(spelling);
    }
    return spellings;
}
