// Text that ends at the first NUL byte, as the device and the cloud service both send it.
#pragma once

#include <QByteArray>
#include <QString>

// How many bytes come before the first NUL byte (all of them when there is none).
int lengthUpToNul(const QByteArray &bytes);

// Those bytes, decoded as UTF-8.
QString textUpToNul(const QByteArray &bytes);
