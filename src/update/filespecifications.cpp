#include "update/filespecifications.h"

#include "core/configuration.h"

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return prefix + path;
    return path.left(slash + 1) + prefix + path.mid(slash + 1);
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}
