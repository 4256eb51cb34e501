#pragma once
#include <QString>
#include <QUuid>

namespace dicom {

// A fresh, unique UID under the toolkit's site root: digits and dots, at most 64
// characters. Safe to call from any thread.
QString newUid();
// The UID of the 2.25 form for a UUID: its 128 bits as one decimal number.
QString uidOfUuid(const QUuid &uuid);
} // namespace dicom
