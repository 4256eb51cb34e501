#pragma once
#include "edit/Task.h"

#include <QHash>
#include <QString>

namespace dicom {
class Image;
}

// The meaning of a task on one image, for one run of the update. Values are the raw
// element values (several joined with "\") and are checked against the element's value
// representation before anything is written, so a refused task leaves the image as it
// was. The three instance UIDs are never copied from text: every image gets its own new
// SOP Instance UID, and each old Study or Series UID becomes one new UID for the whole
// run, so studies and series neither collide nor merge.
class TaskApplier {
public:
    // Throws AppError (BadInput) when the task cannot be applied to this image: a tag
    // that is not one, a value that does not fit its element, a binary value, an
    // instance UID that would be emptied.
    void apply(const Task &task, dicom::Image &image);

    // Throws AppError for a task that fits no image at all (bad tags, an element that
    // describes the pixel data, a UID moved or switched).
    static void checkTask(const Task &task);

    static bool isInstanceUid(quint16 group, quint16 element);
    // Elements no task may change: the pixel data and what says how to read it (rows,
    // columns, bits, samples, photometric interpretation, planar configuration, number of
    // frames), the SOP Class and the file meta information.
    static bool describesPixels(quint16 group, quint16 element);
    // An element whose values are UIDs (by the dictionary), the instance UIDs included.
    static bool isUid(quint16 group, quint16 element);

private:
    QString newUidFor(quint16 element, const QString &oldUid);
    QHash<QString, QString> m_studyUids;
    QHash<QString, QString> m_seriesUids;
};
