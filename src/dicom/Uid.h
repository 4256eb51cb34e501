#pragma once
#include <QString>

namespace dicom {

// A fresh, unique UID under the toolkit's site root: digits and dots, at most 64
// characters. Safe to call from any thread.
QString newUid();
} // namespace dicom
