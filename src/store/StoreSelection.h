#pragma once
#include "store/StoreDeletion.h"
#include "store/StoreQueries.h"

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
// viewer holds and which image is current. The store lists and the viewer write it; the
// dose, header, task, send and export panels read it and follow its signals. The lists,
// the viewer and the delete commands talk to each other only through it: what one asks
// of another is a request signal here.
class StoreSelection : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // ---- the patient -----------------------------------------------------------
    qint64 patId() const { return m_patId; }
    const QString &patId1() const { return m_patId1; }
    const QString &patName() const { return m_patName; }
    const QString &patBirthDate() const { return m_patBirthDate; }
    int patIndex() const { return m_patIndex; }
    bool hasPatient() const { return !m_patId1.isEmpty(); }
    StorePatient storePatient() const { return {m_patId1, m_patName, m_patBirthDate}; }

    // The picked patient; patientPicked when it is another one (or other texts). Returns
    // whether anything changed.
    bool setPatient(qint64 patId, const QString &patId1, const QString &name, const QString &birthDate);
    void setPatIndex(int row) { m_patIndex = row; }
    // True while the live examination view picks the examination's patient: the dose
    // list keeps the examination's open records instead of the patient's closed ones.
    bool livePick = false;
    // The picked patient is gone from the store: patient, study and series are
    // forgotten, and patientDeleted tells the panels that showed them.
    void forgetPatient();

    // The patient last right-clicked: what the patient list's context menu acts on. It
    // never becomes the current patient by that.
    qint64 popupPatId() const { return m_popupPatId; }
    const QString &popupPatId1() const { return m_popupPatId1; }
    void setPopupPatient(qint64 patId, const QString &patId1);
    // The series row the series menu was opened on.
    qint64 popupSeriesId() const { return m_popupSeriesId; }
    void setPopupSeriesId(qint64 seriesId) { m_popupSeriesId = seriesId; }

    // ---- study and series --------------------------------------------------------
    const QString &studyId() const { return m_studyId; } // the item text of the study
    const QString &studyUid() const { return m_studyUid; }
    int studyIndex() const { return m_studyIndex; }
    void setStudy(const QString &studyId, const QString &studyUid, int index);
    void setStudyUid(const QString &studyUid) { m_studyUid = studyUid; }

    qint64 seriesId() const { return m_seriesId; }
    int seriesCount() const { return m_seriesCount; }
    int seriesIndex() const { return m_seriesIndex; }
    void setSeriesId(qint64 seriesId) { m_seriesId = seriesId; }
    void setSeries(qint64 seriesId, int count, int index);

    // The study and series rows highlighted in the lists: what the delete commands act
    // on (0 / empty when none is selected).
    const QString &highlightedStudyId() const { return m_hiStudyId; }
    const QString &highlightedStudyUid() const { return m_hiStudyUid; }
    void setHighlightedStudy(const QString &studyId, const QString &studyUid, int index);
    // Makes the highlighted study the picked one; false when none is highlighted.
    bool takeHighlightedStudy();
    qint64 highlightedSeriesId() const { return m_hiSeriesId; }
    void setHighlightedSeriesId(qint64 seriesId) { m_hiSeriesId = seriesId; }

    // ---- what the viewer holds -----------------------------------------------------
    const QString &loadLevel() const { return m_loadLevel; } // "Studie" or "Serie"
    void setLoadLevel(const QString &level) { m_loadLevel = level; }
    int listedImages() const { return m_listedImages; } // rows of the image list
    void setListedImages(int rows) { m_listedImages = rows; }
    // The files of the images the viewer shows, in viewer order (export works on them).
    const QStringList &viewerFiles() const { return m_viewerFiles; }
    void setViewerFiles(const QStringList &files) { m_viewerFiles = files; }

    // The current image: its number in the viewer (0 when none), file and SOP instance
    // UID. imagePicked when it changes; returns whether it did.
    int currentImage() const { return m_currentImage; }
    const QString &currentImageFile() const { return m_currentImageFile; }
    const QString &currentImageUid() const { return m_currentImageUid; }
    bool imageFramed() const { return m_currentImage > 0; }
    bool setCurrentImage(int number, const QString &file, const QString &uid = QString());
    // No current image any more (imagePicked when there was one).
    bool clearCurrentImage() { return setCurrentImage(0, QString()); }

    // ---- announcements -------------------------------------------------------------
    // The same patient picked again: the panels that show its records show them afresh.
    void notifyPatientPicked() { emit patientPicked(); }
    void notifyStudyOpened() { emit studyOpened(); }
    // The current image was picked again (its header may have changed).
    void notifyImagePicked() { emit imagePicked(); }
    void notifyPatientDeleted() { emit patientDeleted(); }
    // Rows and files of the store are gone; the lists drop what showed them.
    void announceDeletion(const StoreDeletion::Result &result) { emit deleted(result); }

    // ---- requests ----------------------------------------------------------------------
    // After a progress window's OK: the image list is emptied and, when repick is set,
    // the selected study picked again.
    void refreshImageList(bool repick) { emit imageListRefreshRequested(repick); }
    // Asks the lists to mark the picked image's row (a dose row was clicked for it).
    void markPickedImageRow() { emit markPickedImageRowRequested(); }
    // Asks the viewer to load a study or a series.
    void openImages(const ImageSelection &sel) { emit openImagesRequested(sel); }
    // Asks the viewer to show and frame the image of this UID.
    void showImage(const QString &sopInstanceUid) { emit showImageRequested(sopInstanceUid); }
    // Asks the viewer to drop its images; reset also empties every status panel.
    void clearViewer() { emit viewerClearRequested(); }
    void resetViewer() { emit viewerResetRequested(); }
    // Asks the viewer to drop one image from the grid (its file is gone).
    void removeViewerImage(int number) { emit viewerImageRemovalRequested(number); }
    // Every patient is gone from the store: the lists forget the picked one and read the
    // patient list again.
    void announceStoreEmptied() { emit storeEmptied(); }

signals:
    void patientPicked();
    void studyOpened();
    void imagePicked();
    void patientDeleted();
    void deleted(const StoreDeletion::Result &result);

    void markPickedImageRowRequested();
    void imageListRefreshRequested(bool repick);
    void openImagesRequested(const ImageSelection &sel);
    void showImageRequested(const QString &sopInstanceUid);
    void viewerClearRequested();
    void viewerResetRequested();
    void viewerImageRemovalRequested(int number);
    void storeEmptied();

private:
    qint64 m_patId = 0;
    QString m_patId1;
    QString m_patName;
    QString m_patBirthDate;
    int m_patIndex = -1;
    qint64 m_popupSeriesId = 0;
    qint64 m_popupPatId = 0;
    QString m_popupPatId1;

    QString m_studyId;
    QString m_studyUid;
    int m_studyIndex = -1;
    QString m_hiStudyId;
    QString m_hiStudyUid;
    int m_hiStudyIndex = -1;

    qint64 m_seriesId = 0;
    int m_seriesCount = 0;
    int m_seriesIndex = -1;
    qint64 m_hiSeriesId = 0;

    QString m_loadLevel;
    int m_currentImage = 0;
    QString m_currentImageFile;
    QString m_currentImageUid;
    int m_listedImages = 0;
    QStringList m_viewerFiles;
};
