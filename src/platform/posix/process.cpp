#include "platform/process.h"

#include <QFile>

namespace platform {

QString executablePath()
{
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

} // namespace platform
