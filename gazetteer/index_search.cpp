// Index files (".idx"), one per category of named places in a map folder; the
// category's name is the file name without its extension.
//
// An index file is 8-bit text in Windows-1252 with no header, byte-order mark
// or lines: a run of records with nothing between them, each
//
//     |name|extra1|extra2|x|y|#
//
// name    the place's name in lower case; "!" stands for a space after which
//         the word up to the next space is shown in capitals (MakeDisplayName)
// extra1  free text shown as stored (a postcode, an area, ...), may be empty
// extra2  free text shown as stored, may be empty
// x, y    decimal integers: the place's map position (pixels at zoom 1.0)
//
// Fields hold at most 99 bytes (x and y at most 19) and never the byte '|';
// the pair "|#" occurs only at the end of a record. The '#' after the last
// record may be left out. The file ends at its last byte or at its first zero
// byte, whichever comes first.
//
// The search maps the whole file read-only and scans it in place with a byte
// search; only the records of matches are decoded.

#include "gazetteer/index_search.h"

#include "platform/file_system.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Longest field or search text, in bytes.
constexpr size_t kMaxField = MAX_INDEX_FIELD_BYTES;

// The byte search runs over windows of this many bytes, so that the check for
// a zero byte reads each window again while it is still in the cache.
constexpr size_t kWindow = 128 * 1024;

constexpr char kCodePage[] = "windows-1252";

// A bounded scan over the index bytes. m_end is the end of the file: the size
// at first, then the first zero byte once one is seen. Every read stays below
// m_end, and bytes below m_zeroFree are known to hold no zero.
class CIndexScan {
public:
    CIndexScan(const unsigned char* data, size_t size) : m_data(data), m_end(size) {}

    // The first occurrence of needle (n > 0 bytes) that starts at or after
    // from and ends at or before the end of the file.
    std::optional<size_t> Find(const char* needle, size_t n, size_t from) {
        while (from <= m_end && m_end - from >= n) {
            // The window holds every occurrence that starts in [from, from + kWindow).
            const size_t stop = m_end - from > kWindow + n ? from + kWindow + n - 1 : m_end;
            const void* hit = memmem(m_data + from, stop - from, needle, n);
            const size_t found = hit ? size_t(static_cast<const unsigned char*>(hit) - m_data) : 0;
            // A zero byte before the end of what was searched ends the file
            // there: the occurrence (the first one in the window) lies past it.
            if (!NoZeroBefore(hit ? found + n : stop))
                return std::nullopt;
            if (hit)
                return found;
            if (stop == m_end)
                return std::nullopt;
            from = stop - (n - 1);
        }
        return std::nullopt;
    }

    // The nearest '|' at or before pos (which lies inside the checked part).
    std::optional<size_t> BarAtOrBefore(size_t pos) const {
        const void* bar = memrchr(m_data, '|', pos + 1);
        if (!bar)
            return std::nullopt;
        return size_t(static_cast<const unsigned char*>(bar) - m_data);
    }

    // Decodes the five fields of the record whose first '|' is at bar. False
    // when the end of the file cuts the record short.
    bool DecodeRecord(size_t bar, QStringDecoder& decoder, IndexMatch& match) {
        size_t fieldStart[5];
        size_t fieldEnd[5];
        size_t cur = bar;
        for (int f = 0; f < 5; ++f) {
            const size_t start = cur + 1;
            if (start >= m_end)
                return false;
            const void* next = memchr(m_data + start, '|', m_end - start);
            if (!next)
                return false;
            cur = size_t(static_cast<const unsigned char*>(next) - m_data);
            if (!NoZeroBefore(cur + 1))
                return false;
            fieldStart[f] = start;
            // A field longer than 99 bytes lies outside the format: it is cut
            // to its first 99 bytes.
            fieldEnd[f] = std::min(cur, start + kMaxField);
        }
        auto text = [&](int f) {
            const QByteArrayView bytes(reinterpret_cast<const char*>(m_data + fieldStart[f]),
                                       qsizetype(fieldEnd[f] - fieldStart[f]));
            return decoder.isValid() ? QString(decoder.decode(bytes)) : QString::fromLatin1(bytes);
        };
        match.name = MakeDisplayName(text(0));
        match.extra1 = text(1);
        match.extra2 = text(2);
        match.x = ParseLong(fieldStart[3], fieldEnd[3]);
        match.y = ParseLong(fieldStart[4], fieldEnd[4]);
        return true;
    }

private:
    // True when no zero byte lies below upTo (<= m_end). Otherwise the file
    // ends at the first zero byte, and false.
    bool NoZeroBefore(size_t upTo) {
        if (upTo <= m_zeroFree)
            return true;
        const void* zero = memchr(m_data + m_zeroFree, 0, upTo - m_zeroFree);
        if (zero) {
            m_end = size_t(static_cast<const unsigned char*>(zero) - m_data);
            m_zeroFree = m_end;
            return false;
        }
        m_zeroFree = upTo;
        return true;
    }

    // A decimal integer with the C library's rules (leading white space and a
    // sign allowed, stops at the first other character, no digits gives 0),
    // saturated to 32 bits as a 32-bit long would be.
    int32_t ParseLong(size_t start, size_t end) const {
        char buffer[kMaxField + 1];
        const size_t n = end - start; // at most kMaxField
        memcpy(buffer, m_data + start, n);
        buffer[n] = '\0';
        const long long value = strtoll(buffer, nullptr, 10);
        return int32_t(std::clamp<long long>(value, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
    }

    const unsigned char* m_data;
    size_t m_end;
    size_t m_zeroFree = 0;
};

} // namespace

QStringList ListCategories(const QString& mapFolder) {
    QStringList categories;
    for (const FindData& entry : FindFiles(mapFolder + QStringLiteral("/*.idx"))) {
        if (entry.isDirectory)
            continue; // only files are index files
        const QString category = entry.name.left(entry.name.lastIndexOf(u'.'));
        if (category == QLatin1String("Streets"))
            categories.prepend(category);
        else
            categories.append(category);
    }
    return categories;
}

QString PrepareSearchText(const QString& typed) {
    QString text = typed;
    const qsizetype zero = text.indexOf(QChar(0));
    if (zero >= 0)
        text.truncate(zero);
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.mid(first, last - first).toLower();
}

QByteArray EncodeSearchText(const QString& typed) {
    const QString prepared = PrepareSearchText(typed);
    QStringEncoder encoder(kCodePage);
    QByteArray bytes =
        encoder.isValid() ? QByteArray(encoder.encode(prepared)) : prepared.toLatin1();
    // A text longer than 99 bytes lies outside what names can hold: it is cut
    // to its first 99 bytes (one byte per character in this code page).
    bytes.truncate(qsizetype(kMaxField));
    return bytes;
}

SearchResult SearchIndexBytes(const unsigned char* data, size_t size, const QByteArray& text) {
    SearchResult result;
    if (!data || size == 0 || text.isEmpty())
        return result;
    static constexpr char kRecordEnd[] = {'|', '#'};
    QStringDecoder decoder(kCodePage);
    CIndexScan scan(data, size);
    const char* needle = text.constData();
    const size_t n = size_t(text.size());

    std::optional<size_t> pos = scan.Find(needle, n, 0);
    while (pos && result.matches.size() < size_t(MAX_MATCHES)) {
        // The record holding the occurrence begins at the nearest '|' before it;
        // with none, the file holds no record there and the scan ends.
        const std::optional<size_t> bar = scan.BarAtOrBefore(*pos);
        if (!bar)
            return result;
        // Only an occurrence that begins inside the name field, the first
        // field of its record, is a match.
        if (*bar == 0 || data[*bar - 1] == '#') {
            IndexMatch match;
            if (!scan.DecodeRecord(*bar, decoder, match))
                return result; // cut short by the end of the file
            result.matches.push_back(std::move(match));
        }
        // Go on after the end of this record, so each record is examined once.
        const std::optional<size_t> recordEnd = scan.Find(kRecordEnd, 2, *pos + 1);
        pos = recordEnd ? scan.Find(needle, n, *recordEnd + 1) : std::nullopt;
    }
    result.more = result.matches.size() == size_t(MAX_MATCHES) && pos.has_value();
    return result;
}

std::optional<SearchResult> SearchIndex(const QString& mapFolder, const QString& category,
                                        const QString& typed) {
    const QByteArray text = EncodeSearchText(typed);
    if (text.isEmpty())
        return std::nullopt;
    CMappedFile file;
    if (!file.Open(mapFolder + u'/' + category + QStringLiteral(".idx")))
        return SearchResult();
    return SearchIndexBytes(file.Data(), size_t(file.Size()), text);
}

QString MakeDisplayName(const QString& stored) {
    QString name = stored;
    if (name.isEmpty())
        return name;
    name[0] = name[0].toUpper();
    bool capitalsRun = false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == u' ') {
            capitalsRun = false;
        } else if (name[i] == u'!') {
            name[i] = u' ';
            capitalsRun = true;
        }
        if (capitalsRun || (i > 0 && name[i - 1] == u' '))
            name[i] = name[i].toUpper();
    }
    qsizetype first = 0;
    while (first < name.size() && name[first].isSpace())
        ++first;
    return name.mid(first);
}
