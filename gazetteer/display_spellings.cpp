// Display spellings ("<category>.names" beside "<category>.idx"): the real
// spelling of the names that the index file cannot show as they are written.
// Little-endian throughout:
//
//   header   32 bytes
//     0   8  "VldIdxN1"
//     8   8  size of the index file they were written for, in bytes
//     16  8  that file's modification time, nanoseconds since the epoch
//     24  4  N, the number of spellings
//     28  4  T, the bytes of text
//   entries  N x 8 bytes, ascending by record: where the record's first '|'
//            stands in the index file (4 bytes) and where its spelling ends in
//            the text (4 bytes); each spelling begins where the one before
//            it ends
//   text     T bytes: the spellings in UTF-8, at most 99 characters each
//
// The file is exactly that long. It is used only while the index file's size
// and time are those recorded, and a spelling only for a record whose stored
// name is what that spelling is stored as (StoredNameBytes in index_names.h),
// so it can only show the name the record holds, written as it really is.

#include "gazetteer/display_spellings.h"

#include "gazetteer/index_names.h"
#include "gazetteer/index_search.h"
#include "gazetteer/raw_records.h"
#include "platform/device_root.h"
#include "platform/file_system.h"

#include <QStringDecoder>
#include <QtEndian>

#include <cstring>

namespace {

constexpr char kMagic[8] = {'V', 'l', 'd', 'I', 'd', 'x', 'N', '1'};
constexpr size_t kHeaderBytes = 32;
// The most bytes a spelling of 99 characters takes in UTF-8.
constexpr size_t kMaxSpellingBytes = 4 * MAX_INDEX_FIELD_BYTES;

} // namespace

bool WriteDisplaySpellings(const QString& mapFolder, const QString& category,
                           const std::vector<QString>& spellings, QString& error) {
    const QString base = mapFolder + u'/' + category;
    CFileHandle idx = OpenFileForRead(base + QStringLiteral(".idx"));
    const std::optional<FileStamp> stamp = idx.IsValid() ? StampOf(idx.Descriptor()) : std::nullopt;
    if (!stamp || stamp->size > UINT32_MAX) {
        error = QStringLiteral("cannot read %1.idx").arg(HostPath(base));
        return false;
    }
    CFileSource source(idx.Descriptor(), stamp->size);
    CWindowReader reader(source, 1 << 20);
    QStringDecoder decoder("windows-1252");
    QByteArray entries;
    QByteArray text;
    size_t record = 0;
    for (uint64_t offset = 0; offset < stamp->size; ++record) {
        size_t avail = 0;
        const unsigned char* bytes = reader.Get(offset, 512, avail);
        const void* nameEnd = avail > 1 ? memchr(bytes + 1, '|', avail - 1) : nullptr;
        const void* recordEnd = avail > 1 ? memmem(bytes + 1, avail - 1, "|#", 2) : nullptr;
        if (!nameEnd || bytes[0] != '|')
            break;
        const QByteArrayView name(reinterpret_cast<const char*>(bytes) + 1,
                                  static_cast<const unsigned char*>(nameEnd) - bytes - 1);
        const QString spelling = record < spellings.size() ? spellings[record] : QString();
        if (!spelling.isEmpty() && spelling.size() <= MAX_INDEX_FIELD_BYTES &&
            StoredNameBytes(spelling) == name &&
            MakeDisplayName(decoder.decode(name)) != spelling) {
            text += spelling.toUtf8();
            char entry[8];
            qToLittleEndian<quint32>(quint32(offset), entry);
            qToLittleEndian<quint32>(quint32(text.size()), entry + 4);
            entries.append(entry, 8);
        }
        offset = recordEnd
                     ? offset + uint64_t(static_cast<const unsigned char*>(recordEnd) - bytes) + 2
                     : stamp->size;
    }
    if (record != spellings.size()) {
        error = QStringLiteral("%1.idx holds %2 records, not the %3 spelt")
                    .arg(HostPath(base))
                    .arg(record)
                    .arg(spellings.size());
        return false;
    }
    if (entries.isEmpty())
        return true;
    char header[kHeaderBytes];
    memcpy(header, kMagic, sizeof kMagic);
    qToLittleEndian<quint64>(stamp->size, header + 8);
    qToLittleEndian<qint64>(stamp->modified, header + 16);
    qToLittleEndian<quint32>(quint32(entries.size() / 8), header + 24);
    qToLittleEndian<quint32>(quint32(text.size()), header + 28);
    if (!ReplaceFileAtomically(base + QString::fromLatin1(SPELLINGS_EXTENSION),
                               {QByteArrayView(header, sizeof header), entries, text})) {
        error = QStringLiteral("cannot write %1%2").arg(HostPath(base), SPELLINGS_EXTENSION);
        return false;
    }
    return true;
}

std::vector<QString> LookUpSpellings(CByteSource& names, const FileStamp& stamp,
                                     const RawHits& hits) {
    unsigned char header[kHeaderBytes];
    if (names.ReadAt(0, header, sizeof header) != int64_t(sizeof header) ||
        memcmp(header, kMagic, sizeof kMagic) != 0 ||
        qFromLittleEndian<quint64>(header + 8) != stamp.size ||
        qFromLittleEndian<qint64>(header + 16) != stamp.modified)
        return {};
    const uint32_t count = qFromLittleEndian<quint32>(header + 24);
    const uint64_t textBytes = qFromLittleEndian<quint32>(header + 28);
    const uint64_t textStart = kHeaderBytes + uint64_t(count) * 8;
    if (names.Size() != textStart + textBytes)
        return {};
    // Entry i's record offset and text end; false when it cannot be read.
    auto entry = [&](uint32_t i, uint32_t& offset, uint32_t& end) {
        unsigned char bytes[8];
        if (names.ReadAt(kHeaderBytes + uint64_t(i) * 8, bytes, 8) != 8)
            return false;
        offset = qFromLittleEndian<quint32>(bytes);
        end = qFromLittleEndian<quint32>(bytes + 4);
        return true;
    };
    std::vector<QString> spellings(size_t(hits.count));
    for (int h = 0; h < hits.count; ++h) {
        const uint64_t wanted = hits.records[h].offset;
        uint32_t lo = 0, hi = count; // the first entry at or after wanted lies in [lo, hi]
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            uint32_t offset = 0, end = 0;
            if (!entry(mid, offset, end))
                return {};
            if (offset < wanted)
                lo = mid + 1;
            else
                hi = mid;
        }
        uint32_t offset = 0, end = 0, begin = 0, unused = 0;
        if (lo == count || !entry(lo, offset, end) || offset != wanted ||
            (lo > 0 && !entry(lo - 1, unused, begin)) || begin > end || end > textBytes ||
            end - begin > kMaxSpellingBytes)
            continue;
        QByteArray bytes(qsizetype(end - begin), '\0');
        if (names.ReadAt(textStart + begin, bytes.data(), size_t(bytes.size())) != bytes.size())
            continue;
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString spelling = utf8.decode(bytes);
        if (!utf8.hasError() && StoredNameBytes(spelling) == hits.records[h].Field(0))
            spellings[size_t(h)] = spelling;
    }
    return spellings;
}
