#include "view/position_follower.h"

#include "view/map_canvas.h"

#include <QFileInfo>
#include <QGeoPositionInfoSource>

namespace {
const QString kNmea = QStringLiteral("nmea");
} // namespace

std::optional<CPositionSourceChoice> ParsePositionSource(const QString& text, QString& error) {
    if (text.isEmpty() || text == u"default")
        return CPositionSourceChoice{};
    if (text != kNmea && !text.startsWith(kNmea + u':'))
        return CPositionSourceChoice{text, {}};
    QString source = text.mid(kNmea.size() + 1);
    // Not a port and not a socket: a recorded log, replayed.
    if (!source.isEmpty() && !source.startsWith(u"serial:") && !source.startsWith(u"socket:")) {
        const QFileInfo log(source);
        if (!log.isFile()) {
            error = QStringLiteral("The position log %1 does not exist.").arg(source);
            return std::nullopt;
        }
        source = log.absoluteFilePath();
    }
    return CPositionSourceChoice{kNmea, {{QStringLiteral("nmea.source"), source}}};
}

CPositionFollower::CPositionFollower(CMapCanvas& canvas, QObject* parent)
    : QObject(parent), m_canvas(canvas) {
    m_silence.setSingleShot(true);
    m_silence.setInterval(SILENCE_MS);
    connect(&m_silence, &QTimer::timeout, this, [this] { SetState(State::NoPosition); });
}

CPositionFollower::~CPositionFollower() = default;

bool CPositionFollower::Start(const QString& text, QString& error) {
    Stop();
    const std::optional<CPositionSourceChoice> parsed = ParsePositionSource(text, error);
    if (!parsed)
        return false;
    m_pSource =
        parsed->strPlugin.isEmpty()
            ? QGeoPositionInfoSource::createDefaultSource(this)
            : QGeoPositionInfoSource::createSource(parsed->strPlugin, parsed->parameters, this);
    if (m_pSource == nullptr) {
        const QString known = QGeoPositionInfoSource::availableSources().join(QStringLiteral(", "));
        error = parsed->strPlugin.isEmpty()
                    ? QStringLiteral("No position source is available on this system.")
                    : QStringLiteral("The position source \"%1\" cannot be opened.").arg(text);
        error += known.isEmpty() ? QString() : QStringLiteral(" Sources installed: %1.").arg(known);
        return false;
    }
    connect(m_pSource, &QGeoPositionInfoSource::positionUpdated, this,
            [this](const QGeoPositionInfo& info) {
                if (info.coordinate().isValid())
                    OnPosition({info.coordinate().latitude(), info.coordinate().longitude()});
            });
    connect(m_pSource, &QGeoPositionInfoSource::errorOccurred, this,
            [this](QGeoPositionInfoSource::Error e) { OnSourceError(int(e)); });
    m_bViewFollows = true;
    SetState(State::NoPosition);
    m_silence.start();
    m_pSource->startUpdates();
    return true;
}

void CPositionFollower::Stop() {
    m_silence.stop();
    if (m_pSource != nullptr) {
        m_pSource->disconnect(this);
        m_pSource->stopUpdates();
        m_pSource->deleteLater();
        m_pSource = nullptr;
    }
    SetState(State::Off);
}

QString CPositionFollower::StateText() const {
    switch (m_state) {
    case State::NoPosition:
        return QStringLiteral("No position");
    case State::OutsideMap:
        return QStringLiteral("Outside this map");
    default:
        return QString();
    }
}

void CPositionFollower::OnPosition(GeoPoint point) {
    if (!IsOn())
        return;
    const std::optional<CGeoReference>& geo = m_canvas.GeoReference();
    if (!geo) {
        Stop(); // the map open now does not say where it lies
        return;
    }
    m_silence.start();
    const QPoint position = geo->MapPositionOf(point);
    if (!geo->IsUsablePosition(position)) {
        SetState(State::OutsideMap); // "me" stays on the map
        return;
    }
    m_canvas.PlaceMarkerAt(COverlays::MARKER_ME, {position.x(), position.y()}, m_bViewFollows);
    m_state = State::OnMap;
    emit StateChanged();
}

void CPositionFollower::SetState(State state) {
    if (state == m_state)
        return;
    m_state = state;
    emit StateChanged();
}

void CPositionFollower::OnSourceError(int error) {
    // A source that merely has nothing to say for now is silent, not broken.
    if (error == QGeoPositionInfoSource::UpdateTimeoutError) {
        SetState(State::NoPosition);
        return;
    }
    const QString why = error == QGeoPositionInfoSource::AccessError
                            ? QStringLiteral("it refused access")
                        : error == QGeoPositionInfoSource::ClosedError
                            ? QStringLiteral("it closed")
                            : QStringLiteral("it cannot be read or reached");
    Stop();
    emit Failed(QStringLiteral("Following your position has stopped: %1.").arg(why));
}
