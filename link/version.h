// The programs' version text, for --version and the About box. The version
// number is the CMake project's, kept in one place: the project() line.
#ifndef LUMORA_VERSION_H
#define LUMORA_VERSION_H

#include <QString>

namespace lumora {

// "1.0.0".
QString programVersion();
// The libftdi1 this program runs with, as it reports itself: "1.5".
QString libftdiVersion();
// The Qt this program runs with (qVersion()): "5.15.8".
QString qtVersion();

// What `PROGRAM --version` prints, without a final newline:
//   lumora-flash 1.0.0
//   libftdi1 1.5, Qt 5.15.8
QString versionText(const QString &program);

} // namespace lumora

#endif
