#pragma once

#include "map_packager.h"

#include <QImage>
#include <QSize>
#include <QString>

// Reads the picture file for `veldra-pack make` into request: a PNG that can
// be read in rows as request.pictureSize and request.readRows (the file is
// decoded as the tiles are made, a band at a time), any other picture whole
// as request.picture (LoadPicture). False, with error, when the file cannot
// be read or its header is damaged.
bool OpenPicture(const QString& hostPath, PackageRequest& request, QString& error);

// Box average of a Format_RGB888 image into the RGB888 rows at level,
// bytesPerLine apart: level pixel (x, y) is the rounded mean of the image's
// factor x factor pixels from (factor x, factor y), fewer at the right and
// bottom edges where the image ends. The rows must hold at least
// ceil(width / factor) pixels, and there must be ceil(height / factor).
void ShrinkByAverage(const QImage& image, int factor, uchar* level, qsizetype bytesPerLine);

// The map tiles of a picture read band by band (request.readRows, or a whole
// request.picture cut into bands), written into the staging folder, and,
// unless the request draws its levels, the overview levels made from the
// same bands (ShrinkByAverage) into their folders. The bands are read in
// order on the calling thread while request.workers threads (one per core
// by default) cut, encode, encrypt and write the tiles of earlier ones and
// shrink them, so decoding overlaps encoding; a few bands are in memory at
// once. Each file depends only on its own pixels: the same files, byte for
// byte, whatever the number of workers. progress counts the map's tiles and
// then its level tiles, on the calling thread. False, with error, on the
// first failure (the picture unreadable, a tile not encoded or written).
bool WritePictureBands(const PackageRequest& request, const QSize& size, const QString& staging,
                       const PackageProgress& progress, QString& error);
