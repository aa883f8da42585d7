#pragma once

#include "map_packager.h"

#include <QSize>
#include <QString>

// The overview levels of a map being packaged (see store/map_folder.h): each
// level drawn by the request's drawLevelPart, or shrunk smoothly from its
// picture, a row of level tiles at a time on request.workers threads (one
// per core by default), and written in order as converted tiles into its
// sub-folder of the staging folder: the same files whatever the count.
// progress goes on from the map's own tiles (size is the picture's size).
// True with nothing written when the request has no way to make levels;
// false, with error, when a level cannot be drawn or written.
bool WriteLevels(const PackageRequest& request, const QSize& size, const QString& staging,
                 const PackageProgress& progress, QString& error);
// The tiles WriteLevels writes for a picture of size (none when the request
// has no way to make levels).
int CountLevelTiles(const PackageRequest& request, const QSize& size);
