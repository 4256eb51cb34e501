#pragma once
#include <QString>
#include <stdexcept>

// The one exception type of the station's logic: an error number and a description,
// as they go into the error log line.
class AppError : public std::runtime_error {
public:
    AppError(long number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number), m_description(description) {}
    long number() const { return m_number; }
    const QString &description() const { return m_description; }

private:
    long m_number;
    QString m_description;
};

// Error numbers used by the station's own failures.
namespace ErrorNo {
constexpr long General = 1000;
constexpr long Database = 1001;
constexpr long FileIo = 1002;
constexpr long Dicom = 1003;
constexpr long Network = 1004;
constexpr long BadInput = 1005;
constexpr long Serial = 1006;
}
