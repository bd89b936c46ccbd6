#pragma once

#include <QList>
#include <QString>

class QObject;

// One recorded file-system change that knows how to undo itself.
class RollbackData
{
public:
    enum Operation {
        Rename = 0,     // a file moved from oldPath to path
        CreateFile = 1, // a file created at path
        CreateDir = 2   // a directory created at path
    };

    // For Rename: the old name first, then the new one.
    RollbackData(Operation operation, const QString& oldPath, const QString& path);
    RollbackData(Operation operation, const QString& path);

    // Undoes the change; failures are reported to reporter (may be null) as warnings.
    bool rollback(QObject* reporter) const;

    // Hands text to the reporter's invokable "message" (a task's message signal).
    static void message(QObject* reporter, const QString& text);

    Operation getOperation() const { return operation; }
    const QString& getPath() const { return path; }
    const QString& getOldPath() const { return oldPath; }

private:
    QString path;
    QString oldPath;
    Operation operation;
};

// A journal of changes, undone last in, first out. Destroying it undoes nothing.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void add(const RollbackData& entry);
    // Appends the other journal's entries after ours; the other one is left as it is.
    void appendList(const RollbackDataList& other);
    void clear();
    // Undoes every entry, newest first. A failed undo makes the result false but does
    // not stop the rest; the journal is empty afterwards either way.
    bool rollback(QObject* reporter);

    const QList<RollbackData>& getEntries() const { return entries; }
    bool isEmpty() const { return entries.isEmpty(); }
    qsizetype size() const { return entries.size(); }

private:
    QList<RollbackData> entries;
};
