#pragma once
#include <QString>

namespace PatientName {

// Names go into the dose records with "'" turned into "´", so that they never clash
// with SQL quoting elsewhere; the same rule is applied whenever names are compared.
QString replaceApostrophes(const QString &name);

} // namespace PatientName
