#pragma once

#include <QString>

// The record of the update in progress, group "current" of update.ini: its target version,
// temporary directory and client type. It lives from the preparation of an update until that
// update succeeds, so the next start can reuse or remove what an interrupted one left.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    static QString filename();
    // False when there is no valid record. Otherwise writes each value through the pointers
    // that are not null.
    static bool get(int* version, QString* type, QString* dir);
    static void modify(int version, const QString& dir, const QString& type);
    static void cleanup();

    // Group "installed": the version the last successful update installed, and its label,
    // so the window can show what the user has now. False when no update has succeeded here.
    static bool getInstalled(int* version, QString* label);
    static void setInstalled(int version, const QString& label);

    // Whether dir is a directory this updater could have made for a session: directly under
    // the system's temporary directory, named "quorvel_temp_<number>", a real directory owned
    // by this user and closed to everyone else. The record is edited by hand at times, and
    // whatever it names is emptied and removed.
    static bool isSessionDirectory(const QString& dir);
};
