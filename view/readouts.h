#pragma once

#include "view/viewport.h"

#include <QString>
#include <cstdint>

// The direction arrow and the distance read-out: where the flag lies as seen
// from the middle of the screen. Pure functions of zoomed positions, used by
// the overlay pass (view/overlays.cpp).

// The arrow from c towards f: the tip 50 pixels from c and the two ends of the
// head 34 pixels from c at half a radian either side. When f lies within 50
// pixels of c (squared distance at most 2500) the flag is too close: every
// point is c and no arrow is drawn. Zoomed positions in, zoomed positions out.
struct CArrow {
    CPoint tip;
    CPoint head1;
    CPoint head2;
    bool bTooClose = false;
};
CArrow ComputeArrow(const CPoint& c, const CPoint& f);

// The read-out's text for a flag f seen from c (zoomed positions at zoom), with
// the calibration scale S: "n/a" without a scale, "%.0f Yds, %.0f Ms" up to
// 500 metres, "%.1f Mls, %.1f Kms" beyond.
QString DistanceReadoutText(const CPoint& c, const CPoint& f, int32_t scale, double zoom);
// The text for a distance already in the read-out's metres.
QString FormatDistance(double metres);
