#include "HelpFile.h"

#include <QDir>
#include <QFileInfo>

QString FindHelpFile(const QString& executableDir)
{
    const QDir dir(executableDir);
    const QString beside = dir.filePath(QString::fromLatin1(kHelpFileName));
    const QString installed =
        QDir::cleanPath(dir.filePath(QStringLiteral("../share/quillmere-monitor/") + QString::fromLatin1(kHelpFileName)));
    for (const QString& candidate : {beside, installed})
    {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return beside;
}
