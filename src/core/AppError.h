#pragma once
#include <QString>
#include <stdexcept>

// Every error number the station reports. The two below 1000 are the numbers the error
// log and the operators have always seen for these two failures.
namespace ErrorNo {
enum Code : long {
    FileNotFound = 53,          // a file the station must read is not there
    InvalidPropertyValue = 380, // a serial setting outside its lists
    General = 1000,
    Database = 1001,
    FileIo = 1002,
    Dicom = 1003,
    Network = 1004,
    BadInput = 1005,
    Serial = 1006,
};
}

// The one exception type of the station's logic: an error number and a description,
// as they go into the error log line.
class AppError : public std::runtime_error {
public:
    AppError(ErrorNo::Code number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number), m_description(description)
    {
    }
    ErrorNo::Code number() const { return m_number; }
    const QString &description() const { return m_description; }

private:
    ErrorNo::Code m_number;
    QString m_description;
};

// Number and text of any exception as the error log and the messages show them: an
// AppError gives its own, anything else is a general error with its what() text.
struct ErrorParts {
    long number = ErrorNo::General;
    QString text;
};
ErrorParts errorParts(const std::exception &e, long otherNumber = ErrorNo::General);

// "Error #n: text", the message the operator sees for a trapped error.
QString errorMessage(const std::exception &e);
// "#n - text" (an AppError) or the bare text, the reason kept with data that could not
// be stored.
QString errorReason(const std::exception &e);
