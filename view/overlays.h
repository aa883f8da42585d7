#pragma once

#include "view/viewport.h"

#include <QImage>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>

class QPainter;

// What the map view draws over the map: the "me" marker and the flag, the red
// target cross of a search result, the direction arrow to the flag and the
// distance read-out, with the switches that show them. Marker positions are
// zoomed positions and follow the zoom through ScaleMarkers. Whoever shows the
// marking buttons and the read-out control is told of every change through
// the two handlers.
class COverlays {
public:
    // Marker indices, and the markers' edge in pixels.
    static constexpr int MARKER_ME = 0;
    static constexpr int MARKER_FLAG = 1;
    static constexpr int MARKER_SIZE = 12;
    // The position of an absent marker: outside the map.
    static constexpr CPoint kNoMarker{-20, -20};

    // Told to show the marking button of a marker pressed or released.
    using MarkButtonHandler = std::function<void(int marker, bool pressed)>;
    // Told to show the read-out with a text, or to hide it (text unused then).
    using ReadoutHandler = std::function<void(bool visible, const QString& text)>;

    // The 12 x 12 marker image MARKER_ME or MARKER_FLAG, built from its pixel
    // pattern; opaque.
    static QImage MakeMarkerImage(int index);
    // Makes both marker images; false when one cannot be allocated.
    bool CreateMarkerImages();
    const QImage& MarkerImage(int index) const { return m_imgMarkers[size_t(index)]; }

    void SetMarkButtonHandler(MarkButtonHandler handler) { m_onMarkButton = std::move(handler); }
    void SetReadoutHandler(ReadoutHandler handler) { m_onReadout = std::move(handler); }

    // For a newly opened map: both markers absent, their buttons released,
    // nothing armed, both read-out switches off and the read-out hidden. The
    // target cross keeps its state.
    void Reset();

    // Mark me / Mark flag: a placed marker is removed (its button released),
    // any other is armed (its button pressed) so that the next tap places it.
    // True when a marker was removed: the map is then redrawn without it.
    bool ToggleMarker(int marker);
    // Either marker waits for a tap.
    bool IsArming() const;
    // A tap at a zoomed position while arming: it places "me" when "me" is
    // armed, else the flag.
    void PlaceArmed(CPoint position);
    // The stylus lifted after that tap: every armed marker counts as placed
    // and the arming ends.
    void EndArming();
    // Puts a marker at a zoomed position, as a tap would after its Mark
    // command: it counts as placed and its button shows pressed.
    void PlaceMarker(int marker, CPoint position);
    // Scales both marker positions by the zoom ratio, truncating. An absent
    // marker stays negative, so it stays absent.
    void ScaleMarkers(double ratio);
    CPoint MarkerPosition(int marker) const { return marker == MARKER_ME ? m_ptMe : m_ptFlag; }
    // The marker counts as placed: its button shows pressed and the next Mark
    // command removes it. (A flag armed together with "me" counts as placed
    // after the tap that places "me", without a position.)
    bool IsPlaced(int marker) const { return marker == MARKER_ME ? m_bMePlaced : m_bFlagPlaced; }
    bool IsArmed(int marker) const {
        return marker == MARKER_ME ? m_bMarkMeArmed : m_bMarkFlagArmed;
    }
    // A marker is there to go to or to measure to only when both coordinates
    // are above 0.
    static bool IsPresent(CPoint position) { return position.x > 0 && position.y > 0; }

    // The switches of "Show Direction to Flag", "Show Distance to Flag" and
    // the target cross.
    void ToggleShowDirection() { m_bShowDirection = !m_bShowDirection; }
    void ToggleShowDistance() { m_bShowDistance = !m_bShowDistance; }
    void SetShowTargetCross(bool shown) { m_bShowTargetCross = shown; }
    bool ShowDirection() const { return m_bShowDirection; }
    bool ShowDistance() const { return m_bShowDistance; }
    bool ShowTargetCross() const { return m_bShowTargetCross; }

    // The overlay pass over a client image presented at the viewport's screen
    // origin: the markers inside the client area (edges included), the cross
    // where the clamp kept the requested centre from the middle, the arrow
    // from the middle to the flag, and the read-out shown with its distance
    // (from the calibration scale) or hidden.
    void DrawOverlays(QPainter& painter, const CViewport& viewport, int32_t scale);
    bool IsReadoutVisible() const { return m_bReadoutVisible; }
    // The read-out's text, kept while it is hidden.
    const QString& ReadoutText() const { return m_strReadout; }

private:
    void SetMarkButton(int marker, bool pressed);
    void SetReadout(bool visible, const QString& text);

    std::array<QImage, 2> m_imgMarkers; // MARKER_ME, MARKER_FLAG; 12 x 12, opaque
    CPoint m_ptMe = kNoMarker;          // zoomed
    CPoint m_ptFlag = kNoMarker;
    bool m_bMarkMeArmed = false; // the next tap places the marker
    bool m_bMarkFlagArmed = false;
    bool m_bMePlaced = false; // its button shows pressed
    bool m_bFlagPlaced = false;
    bool m_bShowDirection = false;
    bool m_bShowDistance = false;
    bool m_bShowTargetCross = false;
    bool m_bReadoutVisible = false;
    QString m_strReadout;
    MarkButtonHandler m_onMarkButton;
    ReadoutHandler m_onReadout;
};
