// Map calibration: the reader and the writer of Map.dat.
//
// Map.dat (in the map folder, optional): five 32-bit signed little-endian
// integers, no header, 20 bytes; anything after byte 20 is ignored. File order:
//   offset 0 nScale, 4 nNorth, 8 nEast, 12 nSouth, 16 nWest.
// A shorter file leaves the missing bytes (whole members or the high-order
// bytes of one) zero; it still counts as read.

#include "store/map_calibration.h"

#include "platform/device_root.h"
#include "platform/file_system.h"

#include <QLatin1StringView>
#include <QtEndian>

// Titles and values of the published map range. Edges in grid metres.
// Columns: nNorth, nSouth, nEast, nWest, nScale. The city of Vellmouth and its
// centre map share one row.
const CalibrationEntry CALIBRATION_TABLE[] = {
    {"Northcombe", {290670, 283280, 411720, 402220, 21115}},
    {"Eastmoor", {677502, 669003, 328999, 316998, 23844}},
    {"Aldermarsh", {214930, 207610, 547880, 538310, 23843}},
    {"Brindlemoor", {433815, 426190, 389640, 380115, 23844}},
    {"Calderwick", {512470, 504985, 297310, 287760, 21115}},
    {"Dunmarrow", {168240, 160905, 462075, 452590, 23843}},
    {"Fellowmere", {351660, 344120, 271845, 262300, 23844}},
    {"Gorsebury", {128915, 121470, 309220, 299655, 21115}},
    {"Hethermouth", {587330, 579870, 415560, 406010, 23843}},
    {"Kestrelby", {472105, 464690, 512380, 502845, 23844}},
    {"Larkhollow", {246580, 239135, 358905, 349370, 21115}},
    {"Marrowfield", {395270, 387810, 443115, 433590, 23843}},
    {"Orrinstead", {704640, 697215, 262480, 252935, 23844}},
    {"Quarlton", {183725, 176290, 398770, 389225, 21115}},
    {"Sallowford", {321905, 314460, 526340, 516815, 23843}},
    {"Tarnwick", {548815, 541380, 347925, 338390, 23844}},
    {"Vellmouth", {442385, 434950, 301215, 291680, 23844}},
    {"Vellmouth Centre", {442385, 434950, 301215, 291680, 23844}},
    {"Wyndlemere", {267440, 259985, 231660, 222125, 21115}},
};
const int CALIBRATION_TABLE_SIZE = static_cast<int>(std::size(CALIBRATION_TABLE));

namespace {

// Reads one little-endian member: up to four bytes, whatever the file still
// holds; bytes past its end stay zero.
int32_t ReadMember(CFileHandle& file) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    file.Read(bytes, 4); // reads until 4 bytes or the end of the file
    return qFromLittleEndian<int32_t>(bytes);
}

} // namespace

bool ReadMapCalibration(const QString& title, const QString& folder, MapCalibration& calibration) {
    calibration = MapCalibration{};

    CFileHandle file = OpenFileForRead(JoinDevicePath(folder, QStringLiteral("Map.dat")));
    if (file.IsValid()) {
        calibration.nScale = ReadMember(file);
        calibration.nNorth = ReadMember(file);
        calibration.nEast = ReadMember(file);
        calibration.nSouth = ReadMember(file);
        calibration.nWest = ReadMember(file);
        return true;
    }

    for (const CalibrationEntry& entry : CALIBRATION_TABLE) {
        if (title == QLatin1StringView(entry.szTitle)) {
            calibration = entry.calibration;
            return true;
        }
    }
    return false;
}

QByteArray MakeMapDat(const MapCalibration& calibration) {
    QByteArray bytes(20, '\0');
    const int32_t values[5] = {calibration.nScale, calibration.nNorth, calibration.nEast,
                               calibration.nSouth, calibration.nWest};
    for (int i = 0; i < 5; ++i)
        qToLittleEndian<int32_t>(values[i], bytes.data() + 4 * i);
    return bytes;
}
