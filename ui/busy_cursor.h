#pragma once

#include <QGuiApplication>

// Shows the busy cursor for the lifetime of the object; nested objects show
// and hide it in turn.
class CBusyCursor {
public:
    CBusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CBusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    CBusyCursor(const CBusyCursor&) = delete;
    CBusyCursor& operator=(const CBusyCursor&) = delete;
};
