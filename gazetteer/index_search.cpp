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
// byte, whichever comes first. The records are written by index_writer.h.
//
// The search maps the whole file read-only and scans it in place with a byte
// search; only the records of matches are copied out and decoded. The file
// may shrink under the mapping while it is scanned (rewritten in place by
// another program): the fault that reading past its new end raises ends the
// scan as if the file ended there. When a fresh side index stands beside the
// file, the records holding the text are found through it instead, and each
// is read with pread (side_index.h).

#include "gazetteer/index_search.h"

#include "gazetteer/byte_source.h"
#include "gazetteer/display_spellings.h"
#include "gazetteer/index_names.h"
#include "gazetteer/raw_records.h"
#include "gazetteer/side_index.h"
#include "platform/device_root.h"
#include "platform/file_system.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Longest field or search text, in bytes.
constexpr size_t kMaxField = MAX_INDEX_FIELD_BYTES;

// The byte search runs over windows of this many bytes, so that the check for
// a zero byte reads each window again while it is still in the cache.
constexpr size_t kWindow = 128 * 1024;

constexpr char kCodePage[] = "windows-1252";
constexpr char kRecordEnd[] = {'|', '#'};

// The first byte at or above 0x80 in [from, to), or to.
size_t FindHighByte(const unsigned char* data, size_t from, size_t to) {
    size_t i = from;
#if defined(__SSE2__)
    for (; i + 64 <= to; i += 64) {
        const auto* p = reinterpret_cast<const __m128i*>(data + i);
        const __m128i any =
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                         _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
        if (_mm_movemask_epi8(any) != 0)
            break;
    }
#endif
    for (; i + 8 <= to; i += 8) {
        uint64_t word;
        memcpy(&word, data + i, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    for (; i < to; ++i)
        if (data[i] & 0x80)
            return i;
    return to;
}

// A bounded scan over the index bytes. m_end is the end of the file: the size
// at first, then the first zero byte once one is seen. Every read stays below
// m_end, and bytes below m_zeroFree are known to hold no zero. It reads and
// writes only plain memory, so a fault may end it at any point.
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

    // The first occurrence of needle (n > 0 bytes) that starts in [from,
    // before) and ends at or before the end of the file; before when there is
    // none.
    size_t FindBefore(const char* needle, size_t n, size_t from, size_t before) {
        const size_t stop = std::min(m_end, before + n - 1);
        if (from >= stop || stop - from < n)
            return before;
        const void* hit = memmem(m_data + from, stop - from, needle, n);
        if (!hit)
            return before;
        const size_t found = size_t(static_cast<const unsigned char*>(hit) - m_data);
        return NoZeroBefore(found + n) ? found : before;
    }

    // The first byte at or above 0x80 in [from, before); before when there is none.
    size_t FindHighBefore(size_t from, size_t before) {
        const size_t stop = std::min(m_end, before);
        if (from >= stop)
            return before;
        const size_t found = FindHighByte(m_data, from, stop);
        return found < stop && NoZeroBefore(found + 1) ? found : before;
    }

    // The end of the file as known so far.
    size_t End() const { return m_end; }

    // The nearest '|' at or before pos (which lies inside the checked part).
    std::optional<size_t> BarAtOrBefore(size_t pos) const {
        const void* bar = memrchr(m_data, '|', pos + 1);
        if (!bar)
            return std::nullopt;
        return size_t(static_cast<const unsigned char*>(bar) - m_data);
    }

    // The name field's bytes with the bars around it ("|name|") for the record
    // whose first '|' is at bar; empty when the file ends first.
    QByteArrayView NameWithBars(size_t bar) {
        if (bar + 1 >= m_end)
            return {};
        const void* next = memchr(m_data + bar + 1, '|', m_end - bar - 1);
        if (!next)
            return {};
        const size_t end = size_t(static_cast<const unsigned char*>(next) - m_data);
        if (!NoZeroBefore(end + 1))
            return {};
        return {reinterpret_cast<const char*>(m_data + bar), qsizetype(end - bar + 1)};
    }

    // Copies the record whose first '|' is at bar. False when the end of the
    // file cuts it short.
    bool Copy(size_t bar, RawRecord& out) {
        return CopyRecord(m_data + bar, m_end - bar, bar, out);
    }

    const unsigned char* Data() const { return m_data; }

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

    const unsigned char* m_data;
    size_t m_end;
    size_t m_zeroFree = 0;
};

// The exact scan: every record is examined once, at the first occurrence of
// the text in it, and listed when that occurrence begins in its name field.
void ScanExact(const unsigned char* data, size_t size, const QByteArray& text, RawHits& hits) {
    CIndexScan scan(data, size);
    const char* needle = text.constData();
    const size_t n = size_t(text.size());
    std::optional<size_t> pos = scan.Find(needle, n, 0);
    while (pos && hits.count < MAX_MATCHES) {
        // The record holding the occurrence begins at the nearest '|' before it;
        // with none, the file holds no record there and the scan ends.
        const std::optional<size_t> bar = scan.BarAtOrBefore(*pos);
        if (!bar)
            return;
        // Only an occurrence that begins inside the name field, the first
        // field of its record, is a match.
        if (*bar == 0 || data[*bar - 1] == '#') {
            if (!scan.Copy(*bar, hits.records[hits.count]))
                return; // cut short by the end of the file
            ++hits.count;
        }
        // Go on after the end of this record, so each record is examined once.
        const std::optional<size_t> recordEnd = scan.Find(kRecordEnd, 2, *pos + 1);
        pos = recordEnd ? scan.Find(needle, n, *recordEnd + 1) : std::nullopt;
    }
    hits.more = hits.count == MAX_MATCHES && pos.has_value();
}

// The bytes a stored name without umlauts, accents or '!' must hold to match
// the loose text: the longest blank-free piece of each plain spelling ("|",
// found in every record, when there is none).
std::vector<QByteArray> LooseAnchors(const CLooseText& loose) {
    std::vector<QByteArray> anchors;
    for (const QByteArray& spelling : loose.PlainSpellings()) {
        QByteArray longest;
        for (const QByteArray& piece : spelling.split(' '))
            if (piece.size() > longest.size())
                longest = piece;
        if (longest.isEmpty())
            return {QByteArray("|")};
        if (std::find(anchors.begin(), anchors.end(), longest) == anchors.end())
            anchors.push_back(longest);
    }
    return anchors.empty() ? std::vector<QByteArray>{QByteArray("|")} : anchors;
}

// The loose scan: a record is examined at the first place where its bytes
// might match (an anchor, or a byte above 0x80, which may be an accented
// letter), and listed when its name matches loosely. more: a further name
// matches. The anchors and the high bytes are looked for one window at a
// time, so that each window is read from memory once.
void ScanLoose(const unsigned char* data, size_t size, const CLooseText& loose,
               const std::vector<QByteArray>& anchors, RawHits& hits) {
    CIndexScan scan(data, size);
    const size_t sources = anchors.size() + 1; // the anchors, then the high bytes
    // The next candidate of each source in [pos, windowEnd), or windowEnd;
    // kUnknown until it is looked for in this window.
    constexpr size_t kUnknown = std::numeric_limits<size_t>::max();
    size_t next[9];
    size_t pos = 0;
    size_t windowEnd = 0;
    while (true) {
        if (pos >= windowEnd) {
            if (pos >= scan.End())
                return;
            windowEnd = std::min(scan.End(), pos + kWindow);
            std::fill(next, next + sources, kUnknown);
        }
        size_t candidate = windowEnd;
        for (size_t a = 0; a < sources; ++a) {
            if (next[a] == kUnknown || next[a] < pos)
                next[a] = a < anchors.size()
                              ? scan.FindBefore(anchors[a].constData(), size_t(anchors[a].size()),
                                                pos, windowEnd)
                              : scan.FindHighBefore(pos, windowEnd);
            candidate = std::min(candidate, next[a]);
        }
        if (candidate >= windowEnd) {
            pos = windowEnd;
            continue;
        }
        const std::optional<size_t> bar = scan.BarAtOrBefore(candidate);
        if (!bar)
            return;
        if (*bar == 0 || data[*bar - 1] == '#') {
            const QByteArrayView name = scan.NameWithBars(*bar);
            if (!name.isEmpty() && loose.FoundIn(name)) {
                if (hits.count == MAX_MATCHES) {
                    hits.more = true;
                    return;
                }
                if (!scan.Copy(*bar, hits.records[hits.count]))
                    return;
                ++hits.count;
            }
        }
        const std::optional<size_t> recordEnd = scan.Find(kRecordEnd, 2, candidate + 1);
        if (!recordEnd)
            return;
        pos = *recordEnd + 1;
    }
}

// --- Reading a mapped file that may shrink ----------------------------------

// While a thread scans a mapping under RunGuarded, a bus error (SIGBUS: a read
// past the end of a file that shrank) inside that mapping jumps back out of
// the scan. Any other bus error goes to what handled it before.
thread_local sigjmp_buf* t_guardJump = nullptr;
thread_local const unsigned char* t_guardStart = nullptr;
thread_local const unsigned char* t_guardEnd = nullptr;
struct sigaction g_previousBusAction;

void OnBusError(int signal, siginfo_t* info, void*) {
    const auto* address = static_cast<const unsigned char*>(info->si_addr);
    if (t_guardJump && address >= t_guardStart && address < t_guardEnd)
        siglongjmp(*t_guardJump, 1);
    // Not a read of ours: the earlier handling takes the signal, which is
    // delivered again when this handler returns.
    sigaction(signal, &g_previousBusAction, nullptr);
    raise(signal);
}

void InstallBusHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previousBusAction);
    });
}

// Runs scan over the mapped bytes; false when a bus error in them ended it.
// scan must only read and write plain memory (nothing to undo on the jump).
template <typename Scan> bool RunGuarded(const unsigned char* data, size_t size, const Scan& scan) {
    InstallBusHandler();
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) != 0) {
        t_guardJump = nullptr;
        return false;
    }
    t_guardStart = data;
    t_guardEnd = data + size;
    t_guardJump = &jump;
    scan();
    t_guardJump = nullptr;
    return true;
}

// A file mapped read-only from an open descriptor, unmapped with the object.
class CMapping {
public:
    CMapping(int fd, uint64_t size) {
        if (size == 0 || size > SIZE_MAX)
            return;
        void* data = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (data != MAP_FAILED) {
            m_data = static_cast<const unsigned char*>(data);
            m_size = size_t(size);
        }
    }
    ~CMapping() {
        if (m_data)
            munmap(const_cast<unsigned char*>(m_data), m_size);
    }
    CMapping(const CMapping&) = delete;
    CMapping& operator=(const CMapping&) = delete;
    const unsigned char* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    const unsigned char* m_data = nullptr;
    size_t m_size = 0;
};

// An existing regular file opened for reading by its host path (a FIFO of that
// name does not block the open); an invalid handle when it cannot be.
CFileHandle OpenHostFile(const QByteArray& hostPath) {
    if (hostPath.contains('\0'))
        return CFileHandle();
    CFileHandle file(::open(hostPath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!file.IsValid() || fstat(file.Descriptor(), &st) != 0 || !S_ISREG(st.st_mode))
        return CFileHandle();
    const int flags = fcntl(file.Descriptor(), F_GETFL);
    if (flags < 0 || fcntl(file.Descriptor(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return CFileHandle();
    return file;
}

// The search of one index file: through its fresh side index when there is one
// and the text suits it, else by scanning the mapped file; the display
// spellings beside it, when fresh, give the names as shown. The index file is
// found without regard to letter case; its side files stand beside it under
// its name on disk, so they are opened by that name directly.
SearchResult SearchFile(const QString& mapFolder, const QString& category, const QByteArray& text,
                        bool loose, SideFiles side) {
    const QByteArray idxPath =
        QFile::encodeName(HostPath(mapFolder + u'/' + category + QStringLiteral(".idx")));
    const QByteArray base = idxPath.chopped(4); // the name on disk ends in ".idx" in some case
    CFileHandle file = OpenHostFile(idxPath);
    const std::optional<FileStamp> stamp =
        file.IsValid() ? StampOf(file.Descriptor()) : std::nullopt;
    if (!stamp)
        return SearchResult();
    CFileSource source(file.Descriptor(), stamp->size);
    auto hits = std::make_unique<RawHits>();
    bool done = false;
    if (side == SideFiles::Use && SideIndexSuits(text, loose)) {
        CFileHandle index = OpenHostFile(base + SIDE_INDEX_EXTENSION);
        if (index.IsValid()) {
            CFileSource indexSource(index.Descriptor(),
                                    uint64_t(std::max<int64_t>(0, index.Size())));
            done = SearchWithSideIndex(source, indexSource, text, loose, &*stamp, *hits);
        }
    }
    if (!done) {
        const CMapping mapping(file.Descriptor(), stamp->size);
        if (mapping.Data()) {
            const CLooseText looseText(text);
            const std::vector<QByteArray> anchors =
                loose ? LooseAnchors(looseText) : std::vector<QByteArray>();
            RawHits& out = *hits;
            const bool whole = RunGuarded(mapping.Data(), mapping.Size(), [&] {
                if (loose)
                    ScanLoose(mapping.Data(), mapping.Size(), looseText, anchors, out);
                else
                    ScanExact(mapping.Data(), mapping.Size(), text, out);
            });
            // A fault ends the file where it struck: what was found stays.
            if (!whole)
                out.more = false;
        }
    }
    std::vector<QString> spellings;
    if (side == SideFiles::Use && hits->count > 0) {
        CFileHandle names = OpenHostFile(base + SPELLINGS_EXTENSION);
        if (names.IsValid()) {
            CFileSource namesSource(names.Descriptor(),
                                    uint64_t(std::max<int64_t>(0, names.Size())));
            spellings = LookUpSpellings(namesSource, *stamp, *hits);
        }
    }
    SearchResult result = DecodeHits(*hits, spellings);
    result.loose = loose;
    return result;
}

// A decimal integer with the C library's rules (leading white space and a
// sign allowed, stops at the first other character, no digits gives 0),
// saturated to 32 bits as a 32-bit long would be.
int32_t ParseLong(QByteArrayView field) {
    char buffer[kMaxField + 1];
    const size_t n = std::min(size_t(field.size()), kMaxField);
    memcpy(buffer, field.data(), n);
    buffer[n] = '\0';
    const long long value = strtoll(buffer, nullptr, 10);
    return int32_t(std::clamp<long long>(value, std::numeric_limits<int32_t>::min(),
                                         std::numeric_limits<int32_t>::max()));
}

} // namespace

bool CopyRecord(const unsigned char* record, size_t avail, uint64_t offset, RawRecord& out) {
    size_t cur = 0;
    for (int f = 0; f < 5; ++f) {
        const size_t start = cur + 1;
        if (start >= avail)
            return false;
        const void* next = memchr(record + start, '|', avail - start);
        if (!next)
            return false;
        cur = size_t(static_cast<const unsigned char*>(next) - record);
        if (memchr(record + start, 0, cur - start))
            return false;
        // A field longer than 99 bytes lies outside the format: it is cut to
        // its first 99 bytes.
        out.length[f] = uint8_t(std::min(cur - start, kMaxField));
        memcpy(out.field[f], record + start, out.length[f]);
    }
    out.offset = offset;
    return true;
}

SearchResult DecodeHits(const RawHits& hits, const std::vector<QString>& spellings) {
    SearchResult result;
    QStringDecoder decoder(kCodePage);
    auto text = [&](QByteArrayView bytes) {
        return decoder.isValid() ? QString(decoder.decode(bytes)) : QString::fromLatin1(bytes);
    };
    result.matches.reserve(size_t(hits.count));
    for (int i = 0; i < hits.count; ++i) {
        const RawRecord& record = hits.records[i];
        IndexMatch match;
        const QString spelling = size_t(i) < spellings.size() ? spellings[size_t(i)] : QString();
        match.name = spelling.isEmpty() ? MakeDisplayName(text(record.Field(0))) : spelling;
        match.extra1 = text(record.Field(1));
        match.extra2 = text(record.Field(2));
        match.x = ParseLong(record.Field(3));
        match.y = ParseLong(record.Field(4));
        match.offset = record.offset;
        result.matches.push_back(std::move(match));
    }
    result.more = hits.more;
    return result;
}

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
    // Folded as the packaging tool folds the names it stores; every character
    // left is in the code page.
    QByteArray bytes;
    EncodeWindows1252(FoldToCodePage(PrepareSearchText(typed), true).toLower(), bytes);
    // A text longer than 99 bytes lies outside what names can hold: it is cut
    // to its first 99 bytes (one byte per character in this code page).
    bytes.truncate(qsizetype(kMaxField));
    return bytes;
}

SearchResult SearchIndexBytes(const unsigned char* data, size_t size, const QByteArray& text) {
    auto hits = std::make_unique<RawHits>();
    if (data && size > 0 && !text.isEmpty())
        ScanExact(data, size, text, *hits);
    return DecodeHits(*hits);
}

SearchResult LooseSearchIndexBytes(const unsigned char* data, size_t size, const QByteArray& text) {
    auto hits = std::make_unique<RawHits>();
    if (data && size > 0 && !text.isEmpty()) {
        const CLooseText loose(text);
        ScanLoose(data, size, loose, LooseAnchors(loose), *hits);
    }
    SearchResult result = DecodeHits(*hits);
    result.loose = true;
    return result;
}

std::optional<SearchResult> SearchIndex(const QString& mapFolder, const QString& category,
                                        const QString& typed, SideFiles side) {
    const QByteArray text = EncodeSearchText(typed);
    if (text.isEmpty())
        return std::nullopt;
    return SearchFile(mapFolder, category, text, false, side);
}

std::optional<SearchResult> SearchIndexThenLoose(const QString& mapFolder, const QString& category,
                                                 const QString& typed, SideFiles side) {
    const QByteArray text = EncodeSearchText(typed);
    if (text.isEmpty())
        return std::nullopt;
    SearchResult exact = SearchFile(mapFolder, category, text, false, side);
    if (!exact.matches.empty())
        return exact;
    return SearchFile(mapFolder, category, text, true, side);
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
