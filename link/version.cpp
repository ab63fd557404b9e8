#include "version.h"

#include "lumora_version.h" // generated from the project() line

#include <ftdi.h>

#include <QtGlobal>

namespace lumora {

QString programVersion()
{
    return QStringLiteral(LUMORA_VERSION);
}

QString libftdiVersion()
{
    const ftdi_version_info info = ftdi_get_library_version();
    if (info.version_str && *info.version_str)
        return QString::fromLatin1(info.version_str);
    return QStringLiteral("%1.%2.%3").arg(info.major).arg(info.minor).arg(info.micro);
}

QString qtVersion()
{
    return QString::fromLatin1(qVersion());
}

QString versionText(const QString &program)
{
    return QStringLiteral("%1 %2\nlibftdi1 %3, Qt %4")
        .arg(program, programVersion(), libftdiVersion(), qtVersion());
}

} // namespace lumora
