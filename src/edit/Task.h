#pragma once
#include <QString>
#include <QtGlobal>

// One row of the task list: a header edit for the images of an image, series, study or
// patient. Source and Target (for Move and Switch) start with the nine-character tag
// ("0010,0010 - Patient's Name").
struct Task {
    enum Type { Change = 0, Move = 1, Switch = 2 };
    enum class Scope { Patient, Study, Series, Image };

    QString level;  // "Patient", "Study", "Series" or "Image #n"
    QString source; // tag " - " description
    QString value;  // the source's value when the task was made; empty from a rule set
    QString task;   // "Change entry", "Move entry", "Switch entry"
    QString target; // Change: the new value; Move, Switch: tag " - " description
    int type = Change;

    QString sourceTag() const { return source.left(9); }
    QString targetTag() const { return target.left(9); }

    // Which images the task is for: a patient task (also any element of group 0010),
    // a study task (also a Study UID change at series or image level), a series task
    // (also a Series UID change at image level: the image's whole series), else an image
    // task.
    Scope scope() const;
    // The viewer number of an image task ("Image #3" gives 3); 0 when there is none.
    int imageNumber() const;

    static QString typeText(int type);
    // "0010,0010" into group and element; false for anything else.
    static bool parseTag(const QString &tag, quint16 *group, quint16 *element);

    friend bool operator==(const Task &, const Task &) = default;
};
