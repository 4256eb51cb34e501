#include "edit/TaskApplier.h"
#include "core/AppError.h"
#include "dicom/Image.h"
#include "dicom/Uid.h"
#include "dicom/ValueCheck.h"

namespace {

QString tagText(quint16 g, quint16 e)
{
    return QStringLiteral("%1,%2").arg(g, 4, 16, QLatin1Char('0')).arg(e, 4, 16, QLatin1Char('0')).toUpper();
}

// The element's value as it is stored, every value kept; empty when absent.
QString rawValue(const dicom::Image &image, quint16 g, quint16 e)
{
    const auto v = image.value(g, e);
    if (v && *v == dicom::UnknownDataType)
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("%1 holds binary data or a sequence and cannot be moved").arg(tagText(g, e)));
    return v.value_or(QString());
}

void checkFits(const dicom::Image &image, quint16 g, quint16 e, const QString &text)
{
    if (TaskApplier::isInstanceUid(g, e) && text.isEmpty())
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("%1 is an instance UID and cannot be emptied").arg(tagText(g, e)));
    const QString problem = dicom::valueProblem(image, g, e, text);
    if (!problem.isEmpty())
        throw AppError(
            ErrorNo::BadInput,
            QStringLiteral("\"%1\" cannot be written into %2: %3").arg(text.left(80), tagText(g, e), problem));
}

} // namespace

bool TaskApplier::isInstanceUid(quint16 group, quint16 element)
{
    return (group == 0x0008 && element == 0x0018) || (group == 0x0020 && (element == 0x000D || element == 0x000E));
}

bool TaskApplier::describesPixels(quint16 group, quint16 element)
{
    if (group == 0x0002 || group == 0x7FE0)
        return true; // the file meta information, the pixel data itself
    if (group == 0x0008 && element == 0x0016)
        return true; // the SOP Class says what the object is
    if (group != 0x0028)
        return false;
    switch (element) {
    case 0x0002: // Samples per Pixel
    case 0x0004: // Photometric Interpretation
    case 0x0006: // Planar Configuration
    case 0x0008: // Number of Frames
    case 0x0010: // Rows
    case 0x0011: // Columns
    case 0x0100: // Bits Allocated
    case 0x0101: // Bits Stored
    case 0x0102: // High Bit
    case 0x0103: // Pixel Representation
        return true;
    default:
        return false;
    }
}

void TaskApplier::checkTask(const Task &task)
{
    quint16 g = 0, e = 0;
    if (!Task::parseTag(task.sourceTag(), &g, &e))
        throw AppError(ErrorNo::BadInput,
                       QStringLiteral("Task \"%1\": \"%2\" is not an element tag").arg(task.task, task.source));
    auto checkElement = [&](const QString &named, quint16 group, quint16 element) {
        if (describesPixels(group, element))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("Task \"%1\": %2 describes the pixel data or the file and cannot be edited")
                               .arg(task.task, named));
    };
    checkElement(task.source, g, e);
    if (task.type == Task::Move || task.type == Task::Switch) {
        const bool sourceUid = isUid(g, e);
        if (!Task::parseTag(task.targetTag(), &g, &e))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("Task \"%1\": \"%2\" is not an element tag").arg(task.task, task.target));
        checkElement(task.target, g, e);
        // A UID is made, never copied from other text: "New UID" changes it.
        if (sourceUid || isUid(g, e))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("Task \"%1\": a UID cannot be moved or switched; change it with \"New UID\"")
                               .arg(task.task));
    }
}

bool TaskApplier::isUid(quint16 group, quint16 element)
{
    if (isInstanceUid(group, element))
        return true;
    return dicom::dictionaryVr(group, element) == QLatin1String("UI");
}

QString TaskApplier::newUidFor(quint16 element, const QString &oldUid)
{
    auto &map = element == 0x000D ? m_studyUids : m_seriesUids;
    auto it = map.find(oldUid);
    if (it == map.end())
        it = map.insert(oldUid, dicom::newUid());
    return *it;
}

void TaskApplier::apply(const Task &task, dicom::Image &image)
{
    checkTask(task);
    quint16 sg = 0, se = 0, tg = 0, te = 0;
    Task::parseTag(task.sourceTag(), &sg, &se);
    switch (task.type) {
    case Task::Change: {
        QString text = task.target;
        if (sg == 0x0008 && se == 0x0018)
            text = dicom::newUid();
        else if (isInstanceUid(sg, se))
            text = newUidFor(se, image.value(sg, se).value_or(QString()));
        checkFits(image, sg, se, text);
        image.setText(sg, se, text);
        break;
    }
    case Task::Move: {
        // The value is read from each image: tasks from a rule set carry none, and the
        // images of a series need not agree.
        Task::parseTag(task.targetTag(), &tg, &te);
        const QString value = rawValue(image, sg, se);
        checkFits(image, sg, se, QString());
        checkFits(image, tg, te, value);
        image.setText(sg, se, QString());
        image.setText(tg, te, value);
        break;
    }
    case Task::Switch: {
        Task::parseTag(task.targetTag(), &tg, &te);
        const QString sourceValue = rawValue(image, sg, se);
        const QString targetValue = rawValue(image, tg, te);
        checkFits(image, sg, se, targetValue);
        checkFits(image, tg, te, sourceValue);
        image.setText(sg, se, targetValue);
        image.setText(tg, te, sourceValue);
        break;
    }
    default:
        break; // any other type leaves the image unchanged
    }
}
