// The view's commands that need the map's place on Earth: Go to
// Coordinates, the exchange of places with GPX files and Follow My Position.

#include "places/gpx.h"
#include "places/place_files.h"
#include "ui/ui_seam.h"
#include "view/go_to_coordinates_dlg.h"
#include "view/map_view.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QString kGpxFilter = QStringLiteral("GPX files (*.gpx);;All files (*)");

// A GPX point's name as a place name: one line, no folder separators, at most
// MAX_PLACE_NAME characters; a point without one is named by its number.
QString PlaceNameFor(const QString& name, int number) {
    QString place = name.simplified();
    place.replace(u'/', u'-').replace(u'\\', u'-').remove(QChar(0));
    place = place.left(MAX_PLACE_NAME).trimmed();
    if (!IsValidPlaceName(place))
        place = QStringLiteral("Point %1").arg(number);
    return place;
}

} // namespace

void CVeldraViewerView::OnGoToCoordinates() {
    const std::optional<CGeoReference>& geo = m_canvas.GeoReference();
    if (!geo)
        return;
    CGoToCoordinatesDlg go(this);
    go.m_pGeo = &*geo;
    go.m_strText = m_strLastCoordinates;
    go.DoModal();
    if (go.m_nChosenX == 0 || go.m_nChosenY == 0)
        return;
    m_strLastCoordinates = go.m_strText;
    m_follower.SetViewFollows(false); // the user looks elsewhere
    // At the zoom in use; the cross marks the point where the map's edge
    // keeps it off the middle.
    m_canvas.CentreOnMapPosition({go.m_nChosenX, go.m_nChosenY}, m_viewport.Zoom(),
                                 CTargetCross::Show);
}

void CVeldraViewerView::OnExportGpx() {
    const std::optional<CGeoReference>& geo = m_canvas.GeoReference();
    if (!geo)
        return;
    const QString title = m_canvas.MapTitle();
    // The places (Home among them), then the markers that are on the map.
    std::vector<GpxPoint> points;
    QStringList names = ListPlaces(title);
    names.sort(Qt::CaseInsensitive);
    for (const QString& name : names) {
        const std::optional<QPoint> at = LoadPlace(title, name);
        if (!at || at->x() == 0 || at->y() == 0)
            continue; // not a position
        const GeoPoint point = geo->GeoOfMapPosition(*at);
        points.push_back({name, CGpxKind::Place, point.lat, point.lon});
    }
    for (const auto& [marker, kind, name] :
         {std::tuple{COverlays::MARKER_ME, CGpxKind::Me, QStringLiteral("me")},
          std::tuple{COverlays::MARKER_FLAG, CGpxKind::Flag, QStringLiteral("flag")}}) {
        const CPoint zoomed = m_overlays.MarkerPosition(marker);
        if (!COverlays::IsPresent(zoomed))
            continue;
        const QPoint at(int(zoomed.x / m_viewport.Zoom()), int(zoomed.y / m_viewport.Zoom()));
        const GeoPoint point = geo->GeoOfMapPosition(at);
        points.push_back({name, kind, point.lat, point.lon});
    }
    if (points.empty()) {
        VeldraMessageBox(this,
                         QStringLiteral("This map has no places, and neither \"me\" nor "
                                        "the flag is on it: there is nothing to export."),
                         QMessageBox::Ok, QMessageBox::NoIcon);
        return;
    }
    const QString path =
        ChooseFileName(this, QStringLiteral("Export Places to GPX"),
                       QDir::home().filePath(title + QStringLiteral(".gpx")), kGpxFilter, true);
    if (path.isEmpty())
        return;
    // Written whole or not at all.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(WriteGpx(title, points)) < 0 ||
        !file.commit()) {
        VeldraMessageBox(this, QStringLiteral("The file %1 cannot be written.").arg(path),
                         QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    VeldraMessageBox(
        this,
        QStringLiteral("Exported %1 %2 to %3.")
            .arg(points.size())
            .arg(points.size() == 1 ? QStringLiteral("point") : QStringLiteral("points"))
            .arg(path),
        QMessageBox::Ok, QMessageBox::NoIcon);
}

void CVeldraViewerView::OnImportGpx() {
    const std::optional<CGeoReference>& geo = m_canvas.GeoReference();
    if (!geo)
        return;
    const QString path = ChooseFileName(this, QStringLiteral("Import Places from GPX"), QString(),
                                        kGpxFilter, false);
    if (path.isEmpty())
        return;
    const QString file = QFileInfo(path).fileName();
    QString error;
    GpxContent content;
    ReadGpxFile(path, content, error);
    if (!error.isEmpty()) {
        // Nothing has been changed.
        VeldraMessageBox(this, file + QStringLiteral(": ") + error, QMessageBox::Ok,
                         QMessageBox::Warning);
        return;
    }

    // Every point is placed, or counted as outside, before anything is saved.
    const QString title = m_canvas.MapTitle();
    const QStringList existing = ListPlaces(title);
    struct Placed {
        GpxPoint point;
        QPoint at;
    };
    std::vector<Placed> placed;
    int outside = 0;
    for (const GpxPoint& point : content.points) {
        const QPoint at = geo->MapPositionOf({point.lat, point.lon});
        if (geo->IsUsablePosition(at))
            placed.push_back({point, at});
        else
            ++outside;
    }
    int imported = 0, replaced = 0, unsaved = 0, number = 0;
    for (const Placed& p : placed) {
        ++number;
        if (p.point.kind != CGpxKind::Place) {
            m_canvas.PlaceMarkerAt(p.point.kind == CGpxKind::Me ? COverlays::MARKER_ME
                                                                : COverlays::MARKER_FLAG,
                                   {p.at.x(), p.at.y()}, false);
            ++imported;
            continue;
        }
        const QString name = PlaceNameFor(p.point.strName, number);
        const bool known = existing.contains(name);
        if (!SavePlace(title, name, p.at)) {
            ++unsaved;
            continue;
        }
        ++imported;
        replaced += known;
    }

    QString report = QStringLiteral("%1: %2 imported").arg(file).arg(imported);
    if (replaced > 0)
        report += QStringLiteral(" (%1 in place of places of the same name)").arg(replaced);
    report += QStringLiteral(", %1 skipped as outside this map, %2 refused as malformed.")
                  .arg(outside)
                  .arg(content.nRefused);
    if (unsaved > 0)
        report += QStringLiteral(" %1 could not be saved.").arg(unsaved);
    VeldraMessageBox(this, report, QMessageBox::Ok, QMessageBox::NoIcon);
}

void CVeldraViewerView::OnFollowPosition() {
    if (m_follower.IsOn()) {
        m_follower.Stop();
        return;
    }
    if (!m_canvas.GeoReference())
        return;
    QString error;
    if (!m_follower.Start(GetPositionSource(), error))
        VeldraMessageBox(this, error, QMessageBox::Ok, QMessageBox::Warning);
    emit CommandsChanged();
}
