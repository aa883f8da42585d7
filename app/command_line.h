#pragma once

#include <QString>
#include <QStringList>

// What the program's own options ask for. Options it does not know (the
// device root's --root, Qt's -platform and the like) are left to others.
struct CCommandLine {
    bool bHelp = false;         // --help or -h: print the usage and exit
    bool bVersion = false;      // --version: print the version and exit
    bool bNativePixels = false; // --pixels=native: map pixels 1:1 on device pixels
    QString strPositionSource;  // --position-source: where Follow My Position reads
    QString strError;           // a malformed option; empty when all is well
};

// Reads the options from the arguments (the program's name first).
CCommandLine ParseCommandLine(const QStringList& args);
// The text --help prints.
QString UsageText();
// The line --version prints.
QString VersionText();
