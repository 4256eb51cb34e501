#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

class Database;

// The rows the browser lists, read from the data database. Keys are 64-bit.
struct PatientRow {
    qint64 patId = 0;
    QString patId1;
    QString lastName;
    QString firstName;
    QString secondName;
    QString birthDate;
    // "Lastname, Firstname", or the last name alone when the first name is missing.
    QString displayName() const;
};

struct StudyRow {
    qint64 studyId = 0;
    QString studyUid;
    QString date;
    QString time;
    QString modality;
    QString bodypart;
};

struct SeriesRow {
    qint64 seriesId = 0;
    QString seriesUid;
    QString seriesNr; // as text: "# " + number is shown, an empty number stays empty
};

struct ImageRow {
    qint64 imageId = 0;
    QString date;
    QString time;
    QString imageUid;
};

// What the viewer loads: the images of a whole study or of one series.
struct ImageSelection {
    enum Level { Study, Series };
    Level level = Study;
    qint64 id = 0; // StudyID or SeriesID
};

namespace StoreQueries {

QString displayName(const QString &lastName, const QString &firstName);

qint64 receiveCount(Database &db);
void clearReceive(Database &db);

// The patients by ID (as the store orders IDs), at most limit of them (all when limit < 0).
QList<PatientRow> patients(Database &db, int limit = -1);
// The next page of them: the first limit patients whose ID comes after the given one.
QList<PatientRow> patientsAfter(Database &db, const QString &afterPatId1, int limit);
// The patient a study belongs to, if the study is stored.
std::optional<PatientRow> patientOfStudy(Database &db, const QString &studyUid);
// The patient rows (as patients() with limit), and the receive notices consumed with them
// in one transaction: the notices go only with a successful read. With onlyWhenAnnounced
// and no notice, nothing is read (std::nullopt).
std::optional<QList<PatientRow>> takeAnnouncedPatients(Database &db, bool onlyWhenAnnounced, int limit = -1);
QList<StudyRow> studiesOfPatient(Database &db, const QString &patId1);
QList<SeriesRow> seriesOfStudy(Database &db, qint64 studyId);

// The images the viewer loads, in display order (series by key, then image number).
qint64 imageCount(Database &db, const ImageSelection &sel);
QStringList imageUids(Database &db, const ImageSelection &sel);

// The rows of lvImages, sorted by date and time.
QList<ImageRow> imagesOfStudy(Database &db, const QString &studyUid);
QList<ImageRow> imagesOfSeries(Database &db, qint64 seriesId);

} // namespace StoreQueries
