// The address of the line's database, CONNINFO, exactly as libpq takes it:
// a URI (postgresql://user@host:port/db?...), keywords (host=... dbname=...)
// or service=NAME, with PG* variables and the password file for the rest.
// Wherever the flasher shows the address or libpq's words about it, every
// password in it is ***.
#ifndef LUMORA_CONNINFO_H
#define LUMORA_CONNINFO_H

#include <QString>

// Empty when libpq can parse `address`; else libpq's reason, passwords
// masked.
QString addressProblem(const QString &address);
// `address` with every password in it as ***, in the form it was given.
QString maskedAddress(const QString &address);
// A message about `address` (libpq's, the server's) with every password of
// `address` in it as ***.
QString maskedText(QString text, const QString &address);

#endif
