#pragma once

#include "map_packager.h"

#include <QSize>
#include <QString>

// The overview levels of a map being packaged (see store/map_folder.h) when
// the request draws them (drawLevelPart): each level drawn a row of level
// tiles at a time on request.workers threads (one per core by default), and
// written in order as converted tiles into its sub-folder of the staging
// folder: the same files whatever the count. progress goes on from the map's
// own tiles (size is the picture's size). True with nothing written when the
// request does not draw its levels (a picture's levels are made with its
// tiles, see WritePictureBands); false, with error, when a level cannot be
// drawn or written.
bool WriteLevels(const PackageRequest& request, const QSize& size, const QString& staging,
                 const PackageProgress& progress, QString& error);
// The level tiles of a map of size (none when the request has no way to make
// levels).
int CountLevelTiles(const PackageRequest& request, const QSize& size);
