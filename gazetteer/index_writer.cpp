#include "gazetteer/index_writer.h"

#include "gazetteer/display_spellings.h"
#include "gazetteer/index_names.h"
#include "gazetteer/index_search.h"
#include "gazetteer/side_index.h"
#include "platform/device_root.h"

#include <algorithm>

namespace {

bool IsControl(QChar c) {
    const ushort u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

} // namespace

bool EncodeIndexRecord(const IndexRecord& place, const QSize& mapSize, QByteArray& record,
                       QString& error) {
    const QString name = StoredPlaceName(place.name);
    if (QString(name).remove(QLatin1Char('!')).trimmed().isEmpty()) {
        error = QStringLiteral("the place has no name");
        return false;
    }
    const std::pair<const char*, QString> fields[] = {
        {"name", name}, {"extra1", place.extra1}, {"extra2", place.extra2}};
    QByteArray bytes[3];
    for (int i = 0; i < 3; ++i) {
        const QString& text = fields[i].second;
        const char* label = fields[i].first;
        for (QChar c : text) {
            if (c == QLatin1Char('|') || IsControl(c)) {
                error = QStringLiteral("%1 \"%2\" holds '|' or a control character")
                            .arg(QLatin1String(label), text);
                return false;
            }
        }
        if (text.startsWith(QLatin1Char('#'))) {
            error = QStringLiteral("%1 \"%2\" begins with '#'").arg(QLatin1String(label), text);
            return false;
        }
        if (!EncodeWindows1252(text, bytes[i])) {
            error = QStringLiteral("%1 \"%2\" has a character outside Windows-1252")
                        .arg(QLatin1String(label), text);
            return false;
        }
        if (bytes[i].size() > MAX_INDEX_FIELD_BYTES) {
            error = QStringLiteral("%1 \"%2\" is longer than %3 bytes")
                        .arg(QLatin1String(label), text)
                        .arg(MAX_INDEX_FIELD_BYTES);
            return false;
        }
    }
    const bool inside =
        place.x >= 1 && place.y >= 1 &&
        (mapSize.isEmpty() || (place.x < mapSize.width() && place.y < mapSize.height()));
    if (!inside) {
        error = QStringLiteral("position %1,%2 of \"%3\" is not on the map (1..%4, 1..%5)")
                    .arg(place.x)
                    .arg(place.y)
                    .arg(place.name)
                    .arg(mapSize.width() - 1)
                    .arg(mapSize.height() - 1);
        return false;
    }
    record.clear();
    record += '|';
    for (const QByteArray& field : bytes)
        record += field + '|';
    record += QByteArray::number(place.x) + '|' + QByteArray::number(place.y) + "|#";
    return true;
}

bool WriteIndexSideFiles(const QString& mapFolder, const QString& category,
                         const std::vector<QString>& spellings, QString& error) {
    if (!WriteSideIndex(mapFolder, category)) {
        error = QStringLiteral("cannot write the side index %1%2")
                    .arg(HostPath(mapFolder + u'/' + category), SIDE_INDEX_EXTENSION);
        return false;
    }
    const bool spelt = std::any_of(spellings.begin(), spellings.end(),
                                   [](const QString& s) { return !s.isEmpty(); });
    return !spelt || WriteDisplaySpellings(mapFolder, category, spellings, error);
}
