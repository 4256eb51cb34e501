#pragma once
#include <QObject>
#include <QString>
#include <QStringList>

// The image-store patient picked in the browser: ID, display name ("Last, First") and
// birth date as the patient list shows them.
struct StorePatient {
    QString patientId;
    QString displayName;
    QString birthDate;
};

// Where the user stands in the store: the picked patient, study and series, what the
// viewer holds and which image is current. The browser writes it; the dose, header and
// task panels read it and follow its signals.
class StoreSelection : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    qint64 patId = 0;
    QString patId1;
    QString patName;
    QString patBirthDate;
    int patIndex = -1;
    // The patient last right-clicked: what the patient list's context menu acts on. It
    // never becomes the current patient by that.
    qint64 popupSeriesId = 0; // the series row the series menu was opened on
    qint64 popupPatId = 0;
    QString popupPatId1;

    QString studyId; // the item text of the study
    QString studyUid;
    int studyIndex = -1;

    qint64 seriesId = 0;
    int seriesCount = 0;
    int seriesIndex = -1;

    QString loadLevel;    // "Studie" or "Serie"
    int currentImage = 0; // number in the viewer, 0 when none
    QString currentImageFile;
    bool imageFramed = false;
    int listedImages = 0; // rows of the image list
    // The files of the images the viewer shows, in viewer order (export works on them).
    QStringList viewerFiles;

    bool hasPatient() const { return !patId1.isEmpty(); }
    StorePatient storePatient() const { return {patId1, patName, patBirthDate}; }

    // The browser announces what changed.
    void notifyPatientPicked() { emit patientPicked(); }
    void notifyStudyOpened() { emit studyOpened(); }
    // The current image changed (0: none any more).
    void notifyImagePicked() { emit imagePicked(); }

    // The picked patient is gone from the store.
    void notifyPatientDeleted() { emit patientDeleted(); }

    // After a progress window's OK: the image list is emptied and, when repick is set,
    // the selected study picked again.
    void refreshImageList(bool repick) { emit imageListRefreshRequested(repick); }

    // Asks the browser to mark the picked image's row (a dose row was clicked for it).
    void markPickedImageRow() { emit markPickedImageRowRequested(); }

signals:
    void patientPicked();
    void studyOpened();
    void imagePicked();
    void markPickedImageRowRequested();
    void patientDeleted();
    void imageListRefreshRequested(bool repick);
};
