// The "me" marker, the flag and Home: arming and removing a marker, going to
// it, and saving and going to the map's Home. The tap that places an armed
// marker is part of the stylus handlers (map_view_core.cpp).

#include "places/place_files.h"
#include "view/map_view_core.h"

void CMapViewCore::ToggleMarker(bool me) {
    bool& placed = me ? m_bMePlaced : m_bFlagPlaced;
    bool& armed = me ? m_bMarkMeArmed : m_bMarkFlagArmed;
    CPoint& point = me ? m_ptMe : m_ptFlag;
    const auto pressButton = [&](bool pressed) {
        if (me)
            CheckMarkMeButton(pressed);
        else
            CheckMarkFlagButton(pressed);
    };
    if (placed) {
        // Removing: the marker is no longer drawn.
        pressButton(false);
        placed = false;
        point = kNoMarker;
        armed = false;
        RedrawMap(true);
        return;
    }
    // Arming: the next tap on the map places the marker. Arming again while
    // armed changes nothing.
    pressButton(true);
    armed = true;
}

void CMapViewCore::OnMarkMe() {
    ToggleMarker(true);
}

void CMapViewCore::OnMarkFlag() {
    ToggleMarker(false);
}

void CMapViewCore::GoToMarker(const CPoint& point) {
    // An absent marker (a coordinate not above 0) is not gone to; the view is
    // redrawn where it is.
    if (point.x > 0 && point.y > 0)
        SetCentre(point.x, point.y);
    RedrawMap(true);
}

void CMapViewCore::OnGotoMe() {
    GoToMarker(m_ptMe);
}

void CMapViewCore::OnGotoFlag() {
    GoToMarker(m_ptFlag);
}

void CMapViewCore::OnSetHome() {
    if (!(m_dZoom > 0.0))
        return;
    // The map position at the middle of the screen. Whether it could be saved
    // is not reported; a failed write leaves the earlier Home as it was.
    const int x = int(m_ptCentre.x * (1.0 / m_dZoom));
    const int y = int(m_ptCentre.y * (1.0 / m_dZoom));
    SavePlace(m_szMapTitle, kHomePlace, QPoint(x, y));
}

bool CMapViewCore::GoToHome() {
    const std::optional<QPoint> home = LoadPlace(m_szMapTitle, kHomePlace);
    if (!home || home->x() == 0 || home->y() == 0)
        return false;
    m_ptPending = {home->x(), home->y()};
    ApplyZoom(m_nClientWidth, m_nClientHeight, m_dZoom);
    return true;
}
