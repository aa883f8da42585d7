#pragma once

// What every fuzz target shares: a Qt application object, a device root of
// its own (on the memory file system when there is one, removed at exit), and
// the seed mode. Started with VELDRA_FUZZ_SEEDS_FROM=<device root holding the
// demo maps> and VELDRA_FUZZ_SEEDS_TO=<folder>, a target writes its seed
// inputs, taken from the demo maps, into that folder and ends.
//
// A target that draws defines VELDRA_FUZZ_GUI and gets a GUI application on
// the offscreen platform.
//
// Each target defines SetUp (called once before the first input) and
// MakeSeeds, and LLVMFuzzerTestOneInput.

#include "platform/device_root.h"

#include <QCoreApplication>
#ifdef VELDRA_FUZZ_GUI
#include <QGuiApplication>
#endif
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

// Prepares the device root (a fresh, empty folder) for the target.
void SetUp(const QString& root);
// Writes the target's seeds into outDir from the device root demoRoot.
void MakeSeeds(const QString& demoRoot, const QString& outDir);

// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Writes a whole host file; false when it cannot.
inline bool WriteHost(const QString& path, const void* data, size_t size) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = size == 0 || ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    return ok;
}

// Copies a host file into a folder under a new name.
inline void CopySeed(const QString& from, const QString& outDir, const QString& name) {
    QFile::remove(outDir + u'/' + name);
    QFile::copy(from, outDir + u'/' + name);
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static int appArgc = 1;
#ifdef VELDRA_FUZZ_GUI
    // Drawing text needs fonts, which need the GUI application (offscreen).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(appArgc, *argv);
#else
    static QCoreApplication app(appArgc, *argv);
#endif
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir root(base + QStringLiteral("/veldra-fuzz-XXXXXX"));
    if (!root.isValid())
        Fail("no device root");
    SetDeviceRoot(root.path());
    const QString from = qEnvironmentVariable("VELDRA_FUZZ_SEEDS_FROM");
    const QString to = qEnvironmentVariable("VELDRA_FUZZ_SEEDS_TO");
    if (!from.isEmpty() && !to.isEmpty()) {
        QDir().mkpath(to);
        MakeSeeds(QDir(from).absolutePath(), QDir(to).absolutePath());
        std::exit(0);
    }
    SetUp(root.path());
    (void)argc;
    return 0;
}
