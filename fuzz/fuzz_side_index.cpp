// Fuzz target: the side index against the scan. The input is the typed text
// (UTF-8) up to the first line end, then the index file, then optionally
// "\xff\xfe" and damage to the side index: three bytes each, a position
// (16 bits, little-endian, taken modulo its size) and the byte to put there.
// An honest side index must answer exactly as the scan (exact and loose); a
// damaged one may answer less, but every record it lists must be one that
// begins a record, matches, and reads as the scan reads it.

#include "fuzz_support.h"

#include "gazetteer/byte_source.h"
#include "gazetteer/index_search.h"
#include "gazetteer/raw_records.h"
#include "gazetteer/side_index.h"

#include <cstring>
#include <memory>

void SetUp(const QString&) {}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    const char* texts[] = {"street", "cafe", "hospital", "mill lane", "strasse"};
    int n = 0;
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")}) {
        const QDir folder(demoRoot + QStringLiteral("/Veldra/Maps/") + town);
        for (const QString& name : folder.entryList({QStringLiteral("*.idx")})) {
            QFile file(folder.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            QByteArray seed = QByteArray(texts[n % 5]) + '\n' + file.readAll();
            WriteHost(outDir + QStringLiteral("/%1-%2").arg(town, name), seed.constData(),
                      size_t(seed.size()));
            seed += "\xff\xfe\x40\x00\x07\x90\x01\x00";
            WriteHost(outDir + QStringLiteral("/%1-%2-damaged").arg(town, name), seed.constData(),
                      size_t(seed.size()));
            ++n;
        }
    }
}

namespace {

QStringList Listed(const SearchResult& result) {
    QStringList listed;
    for (const IndexMatch& m : result.matches)
        listed << QString::number(m.offset) + u'|' + m.name + u'|' + m.extra1 + u'|' + m.extra2 +
                      u'|' + QString::number(m.x) + u'|' + QString::number(m.y);
    return listed;
}

SearchResult Scan(const QByteArray& idx, const QByteArray& text, bool loose) {
    const auto* data = reinterpret_cast<const unsigned char*>(idx.constData());
    return loose ? LooseSearchIndexBytes(data, size_t(idx.size()), text)
                 : SearchIndexBytes(data, size_t(idx.size()), text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype line = input.indexOf('\n');
    if (line < 0)
        return 0;
    const QByteArray text = EncodeSearchText(QString::fromUtf8(input.left(line)));
    if (text.isEmpty())
        return 0;
    QByteArray idx = input.mid(line + 1);
    QByteArray damage;
    if (const qsizetype cut = idx.lastIndexOf("\xff\xfe"); cut >= 0) {
        damage = idx.mid(cut + 2);
        idx.truncate(cut);
    }
    CMemorySource idxSource(idx.constData(), size_t(idx.size()));
    std::optional<QByteArray> side = BuildSideIndex(idxSource, 0);
    if (!side)
        return 0;
    for (qsizetype i = 0; i + 3 <= damage.size(); i += 3) {
        const size_t at = (uint8_t(damage[i]) | uint8_t(damage[i + 1]) << 8) % size_t(side->size());
        (*side)[qsizetype(at)] = damage[i + 2];
    }
    CMemorySource sideSource(side->constData(), size_t(side->size()));
    for (bool loose : {false, true}) {
        auto hits = std::make_unique<RawHits>();
        if (!SearchWithSideIndex(idxSource, sideSource, text, loose, nullptr, *hits))
            continue;
        const SearchResult indexed = DecodeHits(*hits);
        const SearchResult scanned = Scan(idx, text, loose);
        if (damage.isEmpty()) {
            if (Listed(indexed) != Listed(scanned) || indexed.more != scanned.more)
                Fail("the side index answers otherwise than the scan");
            continue;
        }
        // Each record listed, taken alone, is a match that reads the same.
        std::optional<uint64_t> previous;
        for (const IndexMatch& m : indexed.matches) {
            if ((previous && m.offset <= *previous) || m.offset >= uint64_t(idx.size()) ||
                (m.offset > 0 && (m.offset < 2 || idx.mid(qsizetype(m.offset) - 2, 2) != "|#")))
                Fail("a listed record does not begin a record, or is out of order");
            previous = m.offset;
            const qsizetype end = idx.indexOf("|#", qsizetype(m.offset) + 1);
            const QByteArray record =
                idx.mid(qsizetype(m.offset), end < 0 ? -1 : end + 2 - qsizetype(m.offset));
            SearchResult alone = Scan(record, text, loose);
            if (alone.matches.size() != 1)
                Fail("a listed record does not match");
            alone.matches[0].offset = m.offset;
            if (Listed(alone) != Listed(SearchResult{{m}, false, false}))
                Fail("a listed record reads otherwise than the scan reads it");
        }
    }
    return 0;
}
