#pragma once
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

class Station;

// Fills a station's image store for tests and benchmarks: rows in the data database
// and real DICOM files in the study folders, including generated mammograms (16-bit,
// breast-shaped with tissue texture, the display window stored in the file).
class StoreFixture {
public:
    explicit StoreFixture(Station &station);

    qint64 addPatient(const QString &patId1, const QString &last, const QString &first = {}, const QString &second = {},
                      const QString &birthDate = {});
    // Null values where the texts are null QStrings.
    qint64 addStudy(qint64 patId, const QString &studyUid, const QString &date = QStringLiteral("2026-03-02"),
                    const QString &time = QStringLiteral("09:15:00"), const QString &modality = QStringLiteral("MG"),
                    const QString &bodypart = QStringLiteral("BREAST"));
    qint64 addSeries(qint64 studyId, const QString &seriesUid, int seriesNr);
    qint64 addImage(qint64 seriesId, const QString &imageUid, int imageNr,
                    const QString &date = QStringLiteral("2026-03-02"), const QString &time = {});
    void addReceive(const QString &patId = QStringLiteral("1"));

    struct Mammogram {
        QSize size = QSize(332, 410);
        char laterality = 'R';               // 'L' or 'R'
        QString view = QStringLiteral("CC"); // "CC" or "MLO"
        int instanceNumber = 1;
        quint32 seed = 1;
        QString patientName = QStringLiteral("Doe^Jane");
        QString patientId = QStringLiteral("P1");
        QString studyUid;
        QString seriesUid;
        QString sopUid;
    };
    // Writes a generated mammogram (explicit VR little endian, MONOCHROME2, 14 bits
    // stored, window stored) to path.
    static void writeMammogram(const QString &path, const Mammogram &m);
    // Writes a small plain grey image (quick, for counting tests).
    static void writeSmallImage(const QString &path, const QString &studyUid, const QString &seriesUid,
                                const QString &sopUid, int instanceNumber, int width = 24, int height = 32,
                                const QString &patientId = QStringLiteral("S1"));

    // A whole study of n images under a new or given patient: rows and files. The
    // files are mammograms of the given size when mammoSize is valid, else small
    // images. Returns the SOP Instance UIDs in load order.
    struct StudyMade {
        qint64 patId = 0;
        qint64 studyId = 0;
        qint64 seriesId = 0;
        QString studyUid;
        QStringList sopUids;
        QStringList files;
    };
    StudyMade addStudyWithImages(qint64 patId, int n, const QSize &mammoSize = QSize(), int seriesCount = 1);

    // Copies a real DICOM file into a study of a patient (rows and file), taking its
    // SOP Instance UID from the file. Returns that UID.
    QString addRealFile(qint64 seriesId, const QString &studyUid, const QString &sourceFile, int imageNr);

    // A fresh UID under the tests' root.
    QString newUid();

    QString imageFile(const QString &studyUid, const QString &sopUid) const;

private:
    Station &m_station;
    int m_counter = 0;
};
