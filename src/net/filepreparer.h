#pragma once

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

// Creates the empty files of a download list on a thread of its own, in list order, ahead
// of the transfers. Creating a file can cost more than fetching a small one (a file system
// may search long for a free inode after many deletions); the GUI thread then only opens a
// file that is already there. A file not reached yet, or not creatable, is left to its
// download, which creates it itself and reports any failure as before.
class FilePreparer
{
public:
    // The files are directory + "/" + each relative path.
    FilePreparer(const QString& directory, const QStringList& relativePaths);
    ~FilePreparer();

    FilePreparer(const FilePreparer&) = delete;
    FilePreparer& operator=(const FilePreparer&) = delete;

    // True when the file at index was made new and empty and is now the caller's to open;
    // false when the caller must create it. An index is handed out at most once. GUI thread.
    bool take(int index);
    // Stops after the file in hand and removes the prepared files nobody took; take() then
    // hands out nothing more. GUI thread.
    void stop();

private:
    enum State : int { Pending, Creating, Ready, Failed, Taken };

    void run();
    const char* path(size_t index) const { return names.constData() + offsets[index]; }

    // All paths in one block, each ended by a NUL: a list of many files costs little more
    // than its names.
    QByteArray names;
    std::vector<qsizetype> offsets;
    std::unique_ptr<std::atomic<int>[]> states;
    std::atomic<bool> stopping{false};
    std::thread worker;
};
