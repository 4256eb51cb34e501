#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

class Station;

// "Merge Images": the dose of each exposure written into its image, in copies staged for
// sending; the store's own files are not touched.
//
// A record belongs to the image whose Instance Number equals its ImgNo, compared as
// integers. Each image needs exactly one record and each record serves one image, and
// the value must be a decimal string of at most 16 characters; otherwise nothing is
// staged and the operator is told which images lack a dose or have more than one.
//
// What is written depends on the unit that captured the record (its XrayComm column,
// written when the record was stored; older records without it are taken as captured
// by the unit configured now): the HFE 501 gives a dose-area product in cGy*cm2, which
// goes into Image and Fluoroscopy Area Dose Product (0018,115E) in dGy*cm2 (value / 10);
// the other units give an entrance dose in mGy, which goes into Entrance Dose in mGy
// (0040,8302).
class DoseMerge {
public:
    static inline const QString Procedure = QStringLiteral("MainForm cmdAll_Click");

    struct Record {
        qint64 id = 0;
        QString imgNo; // as stored
        QString value; // mGy1
        qint16 unit = 0;
    };
    struct Planned {
        QString sourceFile;
        QString sopUid;
        Record record;
        quint16 group = 0, element = 0; // where the value goes
        QString text;                   // what is written there
    };

    explicit DoseMerge(Station &station);

    // The records with these IDs, in that order. Throws AppError.
    QList<Record> records(const std::vector<qint64> &ids);

    // Matches records to the viewer's files. Throws AppError (BadInput) with the text for
    // the operator when they do not match one to one or a value is not fit; nothing is
    // written then.
    QList<Planned> plan(const QList<Record> &records, const QStringList &viewerFiles);
    // Writes each planned image with its dose into folder as <SOP Instance UID>.dcm.
    // Returns the files written. Throws AppError.
    QStringList stage(const QList<Planned> &planned, const QString &folder);

    // A DICOM decimal string: at most 16 characters, digits with an optional sign,
    // point and exponent ("12,5" is not one).
    static bool isDecimalString(const QString &text);

private:
    Station &m_station;
};
