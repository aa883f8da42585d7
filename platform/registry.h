#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

// The registry layer: keys under HKEY_LOCAL_MACHINE ("Software\Apps\..."),
// each with text and 32-bit values. It lives in one file, registry.ini, in the
// device root. Every call looks at the file's stamp and reads it again only
// when it changed, so two processes see each other's changes and a long walk
// reads the file once; every change replaces the file atomically under a
// lock, so a crash in the middle of a write loses nothing that was there.
// Key paths use backslashes and are compared case-sensitively.

// True when the key exists.
bool RegKeyExists(const QString& key);
// The names of the direct subkeys of key in a stable order (sorted by name),
// or nothing when the key does not exist or the registry cannot be read.
std::optional<QStringList> RegEnumSubkeys(const QString& key);
// A text value; nothing when the key or value is missing or not text.
std::optional<QString> RegQueryString(const QString& key, const QString& value);
// A 32-bit value; nothing when the key or value is missing or not a number.
std::optional<uint32_t> RegQueryDword(const QString& key, const QString& value);
// Sets a value, creating the key (and its parents) when needed.
bool RegSetString(const QString& key, const QString& value, const QString& data);
bool RegSetDword(const QString& key, const QString& value, uint32_t data);
// One 32-bit value of a key, for RegSetDwords.
struct RegDwordValue {
    QString key;
    QString value;
    uint32_t data = 0;
};
// Sets many values (creating their keys) in one change: the file is written
// once, with all of them, or not at all. When every value already holds its
// data nothing is written.
bool RegSetDwords(const std::vector<RegDwordValue>& values);
// Creates a key (and its parents); true when it exists afterwards.
bool RegCreateKey(const QString& key);
// Deletes a key with its values and subkeys; false when it did not exist.
bool RegDeleteKey(const QString& key);

// False when the registry file exists but cannot be read (then no change is
// ever written over it).
bool RegistryIsReadable();
// Host path of the registry file, for messages.
QString RegistryFilePath();
// Why this thread's last change of the registry failed, naming what stands in
// the way ("a folder stands at .../registry.ini.lock, the name of its lock
// file"); empty when it succeeded, or failed only for want of something to
// change (a key to delete that is not there).
QString RegistryWriteError();
// How many times the registry file has been read since start-up (for tests).
uint64_t RegistryFileReadCount();
