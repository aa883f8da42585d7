// Fuzz target: reading an OpenStreetMap extract and drawing a small part of
// it. The first byte of the input chooses the form (even: XML, odd: PBF), the
// rest is the file. What reads is drawn in its top-left 200 x 200 pixels, and
// its gazetteer must make index files: one odd name never refuses a map.

#include "fuzz_support.h"

#include "map_packager.h"
#include "osm_map.h"

#include <osmium/io/any_input.hpp>
#include <osmium/io/any_output.hpp>

namespace {
QString g_xml, g_pbf;
} // namespace

void SetUp(const QString& root) {
    g_xml = root + QStringLiteral("/input.osm");
    g_pbf = root + QStringLiteral("/input.osm.pbf");
}

// The test extracts as XML (first byte 0) and as PBF (first byte 1).
void MakeSeeds(const QString&, const QString& outDir) {
    for (const char* name : {"kirchberg.osm", "testbury.osm"}) {
        const QString from = QStringLiteral(VELDRA_TEST_DATA "/") + QLatin1String(name);
        QFile file(from);
        if (!file.open(QIODevice::ReadOnly))
            Fail("a test extract is missing");
        const QByteArray xml = '\0' + file.readAll();
        WriteHost(outDir + u'/' + QLatin1String(name), xml.constData(), size_t(xml.size()));
        const QString pbf = outDir + QStringLiteral("/pbf.tmp.osm.pbf");
        osmium::io::Reader reader(from.toStdString());
        osmium::io::Writer writer(pbf.toStdString(), reader.header(),
                                  osmium::io::overwrite::allow);
        while (osmium::memory::Buffer buffer = reader.read())
            writer(std::move(buffer));
        writer.close();
        reader.close();
        QFile packed(pbf);
        if (!packed.open(QIODevice::ReadOnly))
            Fail("cannot convert a test extract");
        const QByteArray bytes = '\1' + packed.readAll();
        packed.remove();
        WriteHost(outDir + u'/' + QLatin1String(name) + QStringLiteral(".pbf"), bytes.constData(),
                  size_t(bytes.size()));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    OsmMapRequest request;
    request.input = data[0] % 2 ? g_pbf : g_xml;
    request.metresPerPixel = 20; // a small picture for any extract
    if (!WriteHost(request.input, data + 1, size - 1))
        Fail("cannot write the input");
    OsmMap map;
    QString error;
    if (!ReadOsmMap(request, map, error)) {
        if (error.isEmpty())
            Fail("a refused extract gave no reason");
        return 0;
    }
    const QSize picture(map.scene.width, map.scene.height);
    if (picture.width() < 1 || picture.height() < 1)
        Fail("a map was read with an empty picture");
    const QImage part = RenderMapScenePart(
        map.scene, QRect(0, 0, std::min(200, picture.width()), std::min(200, picture.height())));
    if (part.isNull())
        Fail("the picture could not be drawn");
    std::vector<std::pair<QString, QByteArray>> files;
    if (!BuildIndexFiles(map.places, picture, files, error))
        Fail("a name read from the extract cannot be stored");
    return 0;
}
