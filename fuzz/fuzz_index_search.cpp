// Fuzz target: the gazetteer searches (exact and loose) over index bytes in
// memory. The input is the typed text (UTF-8) up to the first line end, then
// the index file.

#include "fuzz_support.h"

#include "gazetteer/index_search.h"

#include <cstring>

void SetUp(const QString&) {}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    const char* texts[] = {"st", "e", "road", "|n", "!"};
    int n = 0;
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")}) {
        const QDir folder(demoRoot + QStringLiteral("/Veldra/Maps/") + town);
        for (const QString& name : folder.entryList({QStringLiteral("*.idx")})) {
            QFile file(folder.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray seed = QByteArray(texts[n % 5]) + '\n' + file.readAll();
            WriteHost(outDir + QStringLiteral("/%1-%2").arg(town, name), seed.constData(),
                      size_t(seed.size()));
            ++n;
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
    if (!end)
        return 0;
    const QString typed = QString::fromUtf8(reinterpret_cast<const char*>(data), end - data);
    const QByteArray text = EncodeSearchText(typed);
    if (text.isEmpty())
        return 0;
    // The index runs to the end of the input buffer, so any read past it is caught.
    const uint8_t* index = end + 1;
    for (bool loose : {false, true}) {
        const size_t indexSize = size - size_t(index - data);
        const SearchResult result = loose ? LooseSearchIndexBytes(index, indexSize, text)
                                          : SearchIndexBytes(index, indexSize, text);
        if (result.matches.size() > size_t(MAX_MATCHES) ||
            (result.more && result.matches.size() != size_t(MAX_MATCHES)))
            Fail("more matches than the limit, or 'more' before the limit");
        for (const IndexMatch& match : result.matches)
            if (match.name.size() > 99 || match.extra1.size() > 99 || match.extra2.size() > 99 ||
                match.offset >= indexSize)
                Fail("a field longer than 99 characters, or a record past the end");
    }
    MakeDisplayName(typed);
    return 0;
}
