#include "core/AppError.h"

ErrorParts errorParts(const std::exception &e, long otherNumber)
{
    if (const auto *ae = dynamic_cast<const AppError *>(&e))
        return {ae->number(), ae->description()};
    return {otherNumber, QString::fromLocal8Bit(e.what())};
}

QString errorMessage(const std::exception &e)
{
    const ErrorParts p = errorParts(e);
    return QStringLiteral("Error #%1: %2").arg(p.number).arg(p.text);
}

QString errorReason(const std::exception &e)
{
    if (const auto *ae = dynamic_cast<const AppError *>(&e))
        return QStringLiteral("#%1 - %2").arg(ae->number()).arg(ae->description());
    return QString::fromLocal8Bit(e.what());
}
