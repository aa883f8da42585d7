#pragma once

#include "store/geo_reference.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <optional>

class CMapCanvas;
class QGeoPositionInfoSource;

// Where positions come from: a Qt Positioning plugin and its parameters, or
// the system's default source when the plugin is empty.
struct CPositionSourceChoice {
    QString strPlugin;
    QVariantMap parameters;
};

// Reads a position source as the user names it: "default" (or nothing) for
// the system's default source; "nmea:serial:/dev/ttyUSB0" for a receiver on a
// serial port (4800 Bd); "nmea:socket://HOST:PORT" for NMEA text from a TCP
// server; "nmea:FILE" to replay a recorded NMEA log at the pace it was
// recorded; any other word names a positioning plugin. Nothing, with error,
// when a log file does not exist.
std::optional<CPositionSourceChoice> ParsePositionSource(const QString& text, QString& error);

// "Follow My Position": reads positions from a source and puts the "me"
// marker of the canvas where they fall on the open map, centring the view on
// it until the user drags the map. A position off the map, or none for a
// while, leaves "me" where it is and shows in the state.
class CPositionFollower : public QObject {
    Q_OBJECT
public:
    enum class State {
        Off,
        NoPosition, // no position yet, or none for SILENCE_MS
        OnMap,      // "me" is at the last position
        OutsideMap, // the last position lies off the map
    };
    // How long without a position before the state becomes NoPosition, ms.
    static constexpr int SILENCE_MS = 30000;

    explicit CPositionFollower(CMapCanvas& canvas, QObject* parent = nullptr);
    ~CPositionFollower() override;

    // Opens the source text (see ParsePositionSource) and starts following
    // with the view centred on each position. False, with a message for the
    // user, when the source cannot be opened.
    bool Start(const QString& text, QString& error);
    // Stops following and closes the source; "me" stays where it is.
    void Stop();
    bool IsOn() const { return m_state != State::Off; }
    State GetState() const { return m_state; }
    // The state as the user reads it: empty while off or on the map.
    QString StateText() const;
    // Whether the view centres on each new position: a drag clears it, Goto
    // me sets it again.
    void SetViewFollows(bool follows) { m_bViewFollows = follows; }
    bool ViewFollows() const { return m_bViewFollows; }

    // A position from the source (degrees): "me" moves there when it lies
    // on the open map. Stops following when the map has no geo-reference.
    void OnPosition(GeoPoint point);

signals:
    // The state, or the position within it, changed.
    void StateChanged();
    // The source failed for good and following stopped; the message says why.
    void Failed(const QString& message);

private:
    void SetState(State state);
    void OnSourceError(int error);

    CMapCanvas& m_canvas;
    QGeoPositionInfoSource* m_pSource = nullptr; // owned (child)
    QTimer m_silence;
    State m_state = State::Off;
    bool m_bViewFollows = true;
};
