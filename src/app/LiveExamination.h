#pragma once
#include <QHash>
#include <QObject>
#include <QString>

class ArrivalListener;
class BrowserPanel;
class CommandTable;
class Database;
class DoseState;
class EditSession;
class Station;
class StoreSelection;
class ViewerPanel;
struct ViewerImage;
namespace dicom {
struct WorklistAnswer;
}

// The live examination view. While an examination is open (a worklist patient chosen,
// "New Study" not yet pressed), each image that arrives for its patient is shown at once:
// the viewer opens the examination's study and the hanging fills as the views come, the
// newest marked, each image with the dose of its own exposure ("no dose yet" until the
// record is in). The data manager's notice starts it; the lists' timer is the fallback.
//
// The operator's choice wins: while she looks at another patient or study, or has changes
// not yet applied, an arrival is only announced (status bar, the patient's row marked).
// Images of another patient, or with no examination open, are never shown as part of it.
class LiveExamination : public QObject {
    Q_OBJECT
public:
    LiveExamination(Station &station, DoseState &dose, StoreSelection &selection, EditSession &edits,
                    BrowserPanel &browser, ViewerPanel &viewer, CommandTable &commands, QObject *parent);
    ~LiveExamination() override;

    bool enabled() const;
    void setEnabled(bool on);
    // Whether the data manager's notices reach this station.
    bool noticesHeard() const;

    // The lists took in new batches: what came for the open examination is shown.
    void arrivals();

signals:
    // A text for the status bar, shown for timeoutMs.
    void statusMessage(const QString &text, int timeoutMs);

private:
    struct Examination {
        QString patientId;
        QString studyUid; // the stored study of the examination, empty before its first image
    };
    bool examinationOf(Database &db, Examination &exam);
    QString captionOf(const ViewerImage &img);
    void refreshCaptions();
    void worklistAnswer(const dicom::WorklistAnswer &answer);
    void readDoses(Database &db);
    void announce(const Examination &exam);

    Station &m_station;
    DoseState &m_dose;
    StoreSelection &m_state;
    EditSession &m_edits;
    BrowserPanel &m_browser;
    ViewerPanel &m_viewer;
    CommandTable &m_commands;
    ArrivalListener *m_listener = nullptr;
    // What the worklist scheduled for the patient chosen last, and when.
    QString m_scheduledPatient, m_scheduledStudy, m_chosenDate;
    // The study whose images carry dose captions (the examination's, while open).
    QString m_captionStudy;
    QHash<int, QString> m_doses;
    QString m_newestAfterLoad; // the image to mark once the study's load is done
    // What the live view itself put on screen (patient ID, study UID): while the screen
    // still shows it, the next examination's images may take its place.
    QString m_shownPatient, m_shownStudy;
    bool m_opening = false; // the live view picks the patient and study itself
    bool m_retryWhenListed = false;
};
