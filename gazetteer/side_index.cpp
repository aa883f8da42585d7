// Side index ("<category>.search" beside "<category>.idx"): for every trigram
// of the names of an index file, the records whose names hold it.
// Little-endian throughout:
//
//   header     48 bytes
//     0    8   "VldIdxS1"
//     8    8   size of the index file it was made from, in bytes
//     16   8   that file's modification time, nanoseconds since the epoch
//     24   4   number of records
//     28   4   D, the number of trigrams listed
//     32   8   P, the bytes of postings (less than 4 GiB)
//     40   8   zero
//   fan-out    257 x 4 bytes: entry b is the index of the first directory entry
//              whose trigram is at least b x 1024; entry 256 is D
//   directory  D x 8 bytes, ascending by trigram: the trigram (4 bytes) and
//              the end of its postings (4 bytes, from the start of the
//              postings); each list begins where the one before it ends
//   postings   P bytes: per trigram, the offsets of the records whose names
//              hold it, ascending, each written as its distance from the one
//              before (the first from 0) in groups of 7 bits, low group
//              first, every group but the last with its high bit set
//
// The file is exactly that long. A trigram is three consecutive bytes of the
// loose key of a name (LooseKey in index_names.h, the keys of the bytes run
// together), each reduced to 6 bits (Symbol below), 18 bits in all. An exact
// match holds every trigram of the text's key, and a loose match every
// trigram the looser comparison cannot stretch (none near an umlaut), so the
// records a list names are candidates to check, never more than that.
//
// A side index is written only for an index file whose records are complete
// and well formed, fields within their lengths and no zero byte anywhere, so
// that records are exactly the runs between the "|#" pairs. It is used only
// while the index file's size and time are those recorded. Whatever it says,
// every candidate is read from the index file and must begin a record (at the
// start of the file or right after "|#") and match; a list that is not
// ascending or runs past the index file ends there.

#include "gazetteer/side_index.h"

#include "gazetteer/index_names.h"
#include "gazetteer/index_search.h"
#include "gazetteer/raw_records.h"
#include "platform/file_system.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kMagic[8] = {'V', 'l', 'd', 'I', 'd', 'x', 'S', '1'};
constexpr size_t kHeaderBytes = 48;
constexpr size_t kFanOut = 256;
constexpr size_t kFanOutBytes = (kFanOut + 1) * 4;
constexpr int kTrigramBits = 18;
constexpr uint32_t kTrigrams = 1u << kTrigramBits;
constexpr uint32_t kFanOutShift = kTrigramBits - 8;
// Longest well-formed record: three text fields of 99 bytes, x and y of 19,
// six bars and the '#'.
constexpr size_t kMaxRecord = 1 + 3 * (MAX_INDEX_FIELD_BYTES + 1) + 2 * (19 + 1) + 1;

// A byte of a loose key reduced to 6 bits: letters, digits and the blank have
// their own; the rest share what is left (more candidates, never fewer).
uint32_t Symbol(unsigned char b) {
    if (b >= 'a' && b <= 'z')
        return 1 + uint32_t(b - 'a');
    if (b >= '0' && b <= '9')
        return 27 + uint32_t(b - '0');
    if (b == ' ')
        return 37;
    return 38 + b % 26;
}

uint32_t Trigram(const unsigned char* key) {
    return Symbol(key[0]) << 12 | Symbol(key[1]) << 6 | Symbol(key[2]);
}

// The loose key of a name's bytes (at most 99 of them: 198 key bytes).
size_t NameKey(const unsigned char* name, size_t length, unsigned char* key) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i)
        n += size_t(LooseKey(name[i], key + n));
    return n;
}

int VarintBytes(uint64_t value) {
    int n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

// Walks the records of an index file, checking the strict form: calls
// visit(offset, name, nameLength) for each. False when a record is not well
// formed, the file cannot be read, or progress cancels.
template <typename Visit>
bool WalkRecords(CByteSource& idx, int pass, const BuildProgress& progress, const Visit& visit) {
    CWindowReader reader(idx, 1 << 20);
    const uint64_t size = idx.Size();
    uint64_t offset = 0;
    uint64_t reported = 0;
    while (offset < size) {
        if (progress && offset - reported >= (4u << 20)) {
            reported = offset;
            if (!progress(pass * 50 + int(offset * 50 / size)))
                return false;
        }
        size_t avail = 0;
        const unsigned char* record = reader.Get(offset, kMaxRecord, avail);
        avail = size_t(std::min<uint64_t>(avail, size - offset));
        if (avail == 0 || record[0] != '|')
            return false;
        size_t cur = 0;
        size_t nameEnd = 0;
        for (int f = 0; f < 5; ++f) {
            const size_t limit = f < 3 ? MAX_INDEX_FIELD_BYTES : 19;
            const size_t start = cur + 1;
            const size_t span = std::min(avail - std::min(avail, start), limit + 1);
            const void* bar = span > 0 ? memchr(record + start, '|', span) : nullptr;
            if (!bar)
                return false;
            cur = size_t(static_cast<const unsigned char*>(bar) - record);
            // No zero byte, and no field beginning with '#' (which would make
            // a "|#" inside the record).
            if (memchr(record + start, 0, cur - start) || (cur > start && record[start] == '#'))
                return false;
            if (f == 0)
                nameEnd = cur;
        }
        visit(offset, record + 1, nameEnd - 1);
        if (offset + cur + 1 == size)
            return true; // the last record, without its '#'
        if (cur + 1 >= avail || record[cur + 1] != '#')
            return false;
        offset += cur + 2;
    }
    return true;
}

// Calls take(trigram) for every trigram of a name's key, each once.
template <typename Take>
void ForEachTrigram(const unsigned char* name, size_t length, const Take& take) {
    unsigned char key[2 * MAX_INDEX_FIELD_BYTES];
    const size_t n = NameKey(name, std::min(length, size_t(MAX_INDEX_FIELD_BYTES)), key);
    for (size_t i = 0; i + 3 <= n; ++i)
        take(Trigram(key + i));
}

// One list of postings, decoded as it is read.
class CPostings {
public:
    CPostings(CByteSource& side, uint64_t begin, uint64_t end, uint64_t limit)
        : m_side(side), m_next(begin), m_end(end), m_limit(limit) {}

    // The next offset; false at the end of the list or where it stops being
    // a list (an offset not above the one before, or past the index file).
    bool Next() {
        uint64_t delta = 0;
        for (int shift = 0;; shift += 7) {
            if (shift > 56 || !Byte())
                return Stop();
            delta |= uint64_t(m_byte & 0x7f) << shift;
            if (!(m_byte & 0x80))
                break;
        }
        if (m_started && delta == 0)
            return Stop();
        if (delta > m_limit || m_current + delta >= m_limit)
            return Stop();
        m_current += delta;
        m_started = true;
        return true;
    }
    // Moves to the first offset at or after target; false when there is none.
    bool AdvanceTo(uint64_t target) {
        while (!m_started || m_current < target)
            if (!Next())
                return false;
        return true;
    }
    uint64_t Current() const { return m_current; }
    uint64_t Bytes() const { return m_end - m_next; }

private:
    bool Byte() {
        if (m_pos == m_held) {
            if (m_next >= m_end)
                return false;
            const int64_t got = m_side.ReadAt(
                m_next, m_buffer, size_t(std::min<uint64_t>(sizeof m_buffer, m_end - m_next)));
            if (got <= 0)
                return false;
            m_next += uint64_t(got);
            m_pos = 0;
            m_held = size_t(got);
        }
        m_byte = m_buffer[m_pos++];
        return true;
    }
    bool Stop() {
        m_next = m_end;
        m_pos = m_held = 0;
        return false;
    }

    CByteSource& m_side;
    uint64_t m_next, m_end, m_limit;
    unsigned char m_buffer[4096];
    size_t m_pos = 0, m_held = 0;
    unsigned char m_byte = 0;
    uint64_t m_current = 0;
    bool m_started = false;
};

// The header and fan-out of a side index, checked against its size.
struct CHeader {
    unsigned char bytes[kHeaderBytes + kFanOutBytes];
    uint64_t idxSize = 0;
    int64_t idxTime = 0;
    uint32_t trigrams = 0;
    uint64_t postingsBytes = 0;

    bool Read(CByteSource& side) {
        if (side.ReadAt(0, bytes, sizeof bytes) != int64_t(sizeof bytes) ||
            memcmp(bytes, kMagic, sizeof kMagic) != 0)
            return false;
        idxSize = qFromLittleEndian<quint64>(bytes + 8);
        idxTime = qFromLittleEndian<qint64>(bytes + 16);
        trigrams = qFromLittleEndian<quint32>(bytes + 28);
        postingsBytes = qFromLittleEndian<quint64>(bytes + 32);
        return trigrams <= kTrigrams && postingsBytes <= UINT32_MAX &&
               side.Size() == sizeof bytes + uint64_t(trigrams) * 8 + postingsBytes;
    }
    uint32_t FanOut(size_t b) const {
        return qFromLittleEndian<quint32>(bytes + kHeaderBytes + 4 * b);
    }
    uint64_t PostingsStart() const { return sizeof bytes + uint64_t(trigrams) * 8; }

    // Where the postings of trigram lie (from the start of the file); begin ==
    // end when it is not listed. False when the directory is not readable.
    bool Find(CByteSource& side, uint32_t trigram, uint64_t& begin, uint64_t& end) const {
        begin = end = 0;
        const uint32_t first = FanOut(trigram >> kFanOutShift);
        const uint32_t last = FanOut((trigram >> kFanOutShift) + 1);
        if (first > last || last > trigrams)
            return false;
        if (first == last)
            return true;
        // The entry before the bucket gives where its first list begins.
        const uint32_t from = first > 0 ? first - 1 : 0;
        std::vector<unsigned char> entries(size_t(last - from) * 8);
        if (side.ReadAt(sizeof bytes + uint64_t(from) * 8, entries.data(), entries.size()) !=
            int64_t(entries.size()))
            return false;
        for (uint32_t i = first; i < last; ++i) {
            const unsigned char* entry = entries.data() + size_t(i - from) * 8;
            if (qFromLittleEndian<quint32>(entry) != trigram)
                continue;
            const uint64_t listEnd = qFromLittleEndian<quint32>(entry + 4);
            const uint64_t listBegin = i > 0 ? qFromLittleEndian<quint32>(entry - 4) : 0;
            if (listBegin > listEnd || listEnd > postingsBytes)
                return false;
            begin = PostingsStart() + listBegin;
            end = PostingsStart() + listEnd;
            return true;
        }
        return true;
    }
};

// The trigrams to look up for a text: all of its key's, or for the loose pass
// those that no umlaut of either side can stretch (none holding an umlaut's
// letter, nor an "e" after "a", "o" or "u", which a stored umlaut may stand
// for).
std::vector<uint32_t> TextTrigrams(const CLooseText& key, bool loose) {
    const std::vector<unsigned char>& bytes = key.Key();
    const std::vector<bool>& umlauts = key.Umlauts();
    auto stretchable = [&](size_t i) {
        return umlauts[i] || (bytes[i] == 'e' && i > 0 &&
                              (bytes[i - 1] == 'a' || bytes[i - 1] == 'o' || bytes[i - 1] == 'u'));
    };
    std::vector<uint32_t> trigrams;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i) {
        if (loose && (stretchable(i) || stretchable(i + 1) || stretchable(i + 2)))
            continue;
        trigrams.push_back(Trigram(bytes.data() + i));
    }
    std::sort(trigrams.begin(), trigrams.end());
    trigrams.erase(std::unique(trigrams.begin(), trigrams.end()), trigrams.end());
    return trigrams;
}

// After the 40th exact match, whether the text occurs anywhere after the end
// of its record (a well-formed record ends at its first "|#").
bool OccursAfter(CByteSource& idx, uint64_t recordOffset, const QByteArray& text) {
    unsigned char record[kMaxRecord + 2];
    const int64_t got = idx.ReadAt(recordOffset, record, sizeof record);
    const void* end = got > 1 ? memmem(record + 1, size_t(got) - 1, "|#", 2) : nullptr;
    if (!end)
        return false;
    uint64_t offset = recordOffset + uint64_t(static_cast<const unsigned char*>(end) - record) + 2;
    constexpr size_t kBlock = 256 * 1024;
    const size_t n = size_t(text.size());
    std::vector<unsigned char> buffer(kBlock + n);
    size_t kept = 0; // the end of the block before, where an occurrence may begin
    while (true) {
        const int64_t read = idx.ReadAt(offset, buffer.data() + kept, kBlock);
        if (read <= 0)
            return false;
        const size_t held = kept + size_t(read);
        if (memmem(buffer.data(), held, text.constData(), n))
            return true;
        offset += uint64_t(read);
        kept = std::min(held, n - 1);
        memmove(buffer.data(), buffer.data() + held - kept, kept);
    }
}

} // namespace

std::optional<QByteArray> BuildSideIndex(CByteSource& idx, int64_t modified,
                                         const BuildProgress& progress) {
    // Per trigram: the last record listed (its offset + 1, 0 for none), the
    // bytes of its postings still to write, and where the next one goes. The
    // table is kept per thread and only the trigrams used are cleared again,
    // so that a small index file costs little.
    struct TrigramState {
        uint64_t last = 0, bytes = 0, cursor = 0;
    };
    thread_local std::vector<TrigramState> table(kTrigrams);
    std::vector<uint32_t> used;
    struct CClear {
        std::vector<uint32_t>& used;
        ~CClear() {
            for (uint32_t t : used)
                table[t] = TrigramState();
        }
    } clear{used};

    // First pass: the bytes of each trigram's postings; second: the postings.
    uint32_t records = 0;
    const bool counted = WalkRecords(
        idx, 0, progress, [&](uint64_t offset, const unsigned char* name, size_t length) {
            ++records;
            ForEachTrigram(name, length, [&](uint32_t t) {
                TrigramState& state = table[t];
                if (state.last == offset + 1)
                    return;
                if (state.last == 0)
                    used.push_back(t);
                state.bytes += uint64_t(VarintBytes(offset - (state.last ? state.last - 1 : 0)));
                state.last = offset + 1;
            });
        });
    if (!counted)
        return std::nullopt;

    std::sort(used.begin(), used.end());
    uint64_t postingsBytes = 0;
    for (uint32_t t : used) {
        table[t].cursor = postingsBytes;
        table[t].last = 0;
        postingsBytes += table[t].bytes;
    }
    if (postingsBytes > UINT32_MAX)
        return std::nullopt;
    const size_t tableBytes = kHeaderBytes + kFanOutBytes + used.size() * 8;
    QByteArray out(qsizetype(tableBytes + postingsBytes), '\0');
    auto* base = reinterpret_cast<unsigned char*>(out.data());
    unsigned char* postings = base + tableBytes;

    bool fits = true;
    const bool written = WalkRecords(
        idx, 1, progress, [&](uint64_t offset, const unsigned char* name, size_t length) {
            ForEachTrigram(name, length, [&](uint32_t t) {
                TrigramState& state = table[t];
                if (state.last == offset + 1)
                    return;
                uint64_t delta = offset - (state.last ? state.last - 1 : 0);
                state.last = offset + 1;
                do {
                    if (state.bytes == 0) {
                        fits = false; // the file changed between the passes
                        return;
                    }
                    postings[state.cursor++] = uint8_t((delta & 0x7f) | (delta >= 0x80 ? 0x80 : 0));
                    --state.bytes;
                    delta >>= 7;
                } while (delta);
            });
        });
    if (!written || !fits ||
        std::any_of(used.begin(), used.end(), [](uint32_t t) { return table[t].bytes != 0; }))
        return std::nullopt;

    memcpy(base, kMagic, sizeof kMagic);
    qToLittleEndian<quint64>(idx.Size(), base + 8);
    qToLittleEndian<qint64>(modified, base + 16);
    qToLittleEndian<quint32>(records, base + 24);
    qToLittleEndian<quint32>(quint32(used.size()), base + 28);
    qToLittleEndian<quint64>(postingsBytes, base + 32);
    unsigned char* fanOut = base + kHeaderBytes;
    unsigned char* entry = base + kHeaderBytes + kFanOutBytes;
    size_t index = 0;
    for (size_t b = 0; b <= kFanOut; ++b) {
        while (index < used.size() && (used[index] >> kFanOutShift) < b)
            ++index;
        qToLittleEndian<quint32>(quint32(index), fanOut + 4 * b);
    }
    for (uint32_t t : used) {
        // Its cursor now stands at the end of its list.
        qToLittleEndian<quint32>(t, entry);
        qToLittleEndian<quint32>(quint32(table[t].cursor), entry + 4);
        entry += 8;
    }
    return out;
}

bool SideIndexSuits(const QByteArray& text, bool loose) {
    return !text.contains('|') && !text.contains('#') &&
           !TextTrigrams(CLooseText(text), loose).empty();
}

bool SearchWithSideIndex(CByteSource& idx, CByteSource& side, const QByteArray& text, bool loose,
                         const FileStamp* stamp, RawHits& hits) {
    if (text.contains('|') || text.contains('#'))
        return false;
    auto header = std::make_unique<CHeader>();
    if (!header->Read(side) || header->idxSize != idx.Size() ||
        (stamp && (header->idxSize != stamp->size || header->idxTime != stamp->modified)))
        return false;
    const CLooseText key(text);
    const std::vector<uint32_t> trigrams = TextTrigrams(key, loose);
    if (trigrams.empty())
        return false;

    std::vector<std::unique_ptr<CPostings>> lists;
    for (uint32_t t : trigrams) {
        uint64_t begin = 0, end = 0;
        if (!header->Find(side, t, begin, end))
            return false;
        if (begin == end) {
            // No name holds this trigram: nothing matches.
            hits.count = 0;
            hits.more = false;
            return true;
        }
        lists.push_back(std::make_unique<CPostings>(side, begin, end, idx.Size()));
    }
    // The shortest list proposes; a few short others filter. Reading a long
    // list costs more than checking the records it would rule out.
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a->Bytes() < b->Bytes(); });
    size_t filters = 1;
    while (filters < lists.size() && filters < 4 &&
           lists[filters]->Bytes() <= 64 * lists[0]->Bytes() + 4096)
        ++filters;

    CWindowReader records(idx);
    int count = 0;
    bool more = false;
    bool ranOut = false; // a filter has no later record: none can hold every trigram
    while (!ranOut && lists[0]->Next()) {
        const uint64_t offset = lists[0]->Current();
        bool all = true;
        for (size_t f = 1; f < filters && all && !ranOut; ++f) {
            ranOut = !lists[f]->AdvanceTo(offset);
            all = !ranOut && lists[f]->Current() == offset;
        }
        if (!all)
            continue;
        {
            // The record must begin right after "|#" (or at the start) and match.
            const uint64_t from = offset >= 2 ? offset - 2 : 0;
            size_t avail = 0;
            const unsigned char* bytes = records.Get(from, kMaxRecord + 2, avail);
            const size_t lead = size_t(offset - from);
            if (offset == 1 || avail <= lead || (lead == 2 && (bytes[0] != '|' || bytes[1] != '#')))
                continue;
            const unsigned char* record = bytes + lead;
            const size_t recordAvail = std::min(avail - lead, kMaxRecord);
            if (record[0] != '|')
                continue;
            const void* nameEnd = memchr(record + 1, '|', recordAvail - 1);
            if (!nameEnd)
                continue;
            const size_t nameLength =
                size_t(static_cast<const unsigned char*>(nameEnd) - record) - 1;
            const bool match = loose ? key.FoundIn({reinterpret_cast<const char*>(record),
                                                    qsizetype(nameLength + 2)})
                                     : memmem(record + 1, nameLength, text.constData(),
                                              size_t(text.size())) != nullptr;
            if (!match)
                continue;
            if (count == MAX_MATCHES) {
                more = true;
                break;
            }
            if (CopyRecord(record, recordAvail, offset, hits.records[count]))
                ++count;
        }
    }
    if (!loose && count == MAX_MATCHES && !more)
        more = OccursAfter(idx, hits.records[MAX_MATCHES - 1].offset, text);
    hits.count = count;
    hits.more = more;
    return true;
}

bool HasFreshSideIndex(const QString& mapFolder, const QString& category) {
    const QString base = mapFolder + u'/' + category;
    CFileHandle idx = OpenFileForRead(base + QStringLiteral(".idx"));
    CFileHandle side = OpenFileForRead(base + QString::fromLatin1(SIDE_INDEX_EXTENSION));
    const std::optional<FileStamp> stamp = idx.IsValid() ? StampOf(idx.Descriptor()) : std::nullopt;
    if (!stamp || !side.IsValid())
        return false;
    CFileSource source(side.Descriptor(), uint64_t(std::max<int64_t>(0, side.Size())));
    auto header = std::make_unique<CHeader>();
    return header->Read(source) && header->idxSize == stamp->size &&
           header->idxTime == stamp->modified;
}

bool WriteSideIndex(const QString& mapFolder, const QString& category,
                    const BuildProgress& progress) {
    const QString base = mapFolder + u'/' + category;
    CFileHandle idx = OpenFileForRead(base + QStringLiteral(".idx"));
    const std::optional<FileStamp> stamp = idx.IsValid() ? StampOf(idx.Descriptor()) : std::nullopt;
    if (!stamp)
        return false;
    CFileSource source(idx.Descriptor(), stamp->size);
    const std::optional<QByteArray> side = BuildSideIndex(source, stamp->modified, progress);
    // A file rewritten while it was read gives no side index.
    if (!side || StampOf(idx.Descriptor()) != stamp)
        return false;
    return ReplaceFileAtomically(base + QString::fromLatin1(SIDE_INDEX_EXTENSION), {*side});
}
