#include "common/nultext.h"

int lengthUpToNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes.size() : nul;
}

QString textUpToNul(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), lengthUpToNul(bytes));
}
