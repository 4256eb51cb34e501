#pragma once
#include <QList>
#include <QObject>
#include <QString>
#include <array>

struct WorklistEntry;
namespace dicom {
struct WorklistAnswer;
}

// What the next RefreshDosisList and lvDosis_Fill do; set by the commands named below.
enum class AssignmentMode {
    None = 0,
    WorklistPatient = 1, // the worklist dialog's OK: assign every listed record
    RemoveRow = 2,       // the dose row menu's "Delete": remove the selected record
    SelectedRow = 3,     // "Manually": assign the selected record
    CloseStudy = 4,      // "New Study": close the worklist patient's study
    StorePatient = 5,    // a patient picked in the browser, the Lorad poll: show closed records
};

// The dose capture's shared state in the main window: the current worklist patient
// (the eight rows of the current-patient panel ListView1), the exposure counter of the
// open study and the dose list's assignment mode. The serial capture, the worklist and
// the dose list all work on this one object.
class DoseState : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Rows of ListView1, 1-based in the names below: 1 patient ID, 2 first name,
    // 3 last name, 4 middle name, 5 birth date, 6 sex, 7 accession/procedure code
    // (15 characters at most), 8 body part ("Unknown" when the worklist gave none).
    std::array<QString, 8> panel;
    QString row(int oneBased) const { return (oneBased >= 1 && oneBased <= 8) ? panel[oneBased - 1] : QString(); }
    void setRow(int oneBased, const QString &v)
    {
        if (oneBased >= 1 && oneBased <= 8)
            panel[oneBased - 1] = v;
    }
    // True when a worklist patient is in the panel: its Patient ID row is filled.
    bool hasPatient() const { return !panel[0].isEmpty(); }
    void clearPanel() { panel.fill(QString()); }

    AssignmentMode assignmentMode = AssignmentMode::None;
    QString currentDoseValue;

    // Exposures captured while no worklist patient was chosen; they wait (kept in the
    // station folder) until the operator stores them for a patient.
    int pendingExposures = 0;

    // Exposures captured for a patient whose records are not yet committed (the database
    // was busy or failing): they are kept in the capture journal and stored as soon as the
    // database takes them. The merge waits for them.
    struct UnstoredExposure {
        QString patientId, firstName, lastName, birthDate;
        int imageNo = 0;
    };
    QList<UnstoredExposure> unstoredExposures;
    // Why they wait (the database's last answer); empty while nothing waits.
    QString unstoredReason;

    // The patient chosen in the worklist: rows 1 to 8 of the panel, assignment mode
    // WorklistPatient; exposures that waited for a patient are then offered for this one.
    void takeWorklistPatient(const WorklistEntry &e);
    // The same from the panel's eight rows (an examination open when the station ended).
    void takePatientRows(const std::array<QString, 8> &rows);

    // A dose record was stored: the dose list shows it.
    void notifyRecordsStored() { emit recordsStored(); }

    // A worklist patient's study is open (the worklist dialog's OK) or closed ("New
    // Study"): the dose buttons follow it.
    void setStudyOpen(bool open)
    {
        m_studyOpen = open;
        emit studyOpenChanged(open);
    }
    bool studyOpen() const { return m_studyOpen; }

    void announceExaminationClosing(const QString &patientId) { emit examinationClosing(patientId); }
    void announceDoseListDeleting() { emit doseListDeleting(); }

    // The serial polling switched on or off by the dose list's commands.
    void requestPolling(bool on) { emit pollingRequested(on); }

    // Tells the widgets to show the state again.
    void notify() { emit changed(); }

signals:
    void changed();
    void patientChosen();
    void recordsStored();
    // The worklist answer of the patient just chosen (the performed step repeats it).
    void worklistAnswerTaken(const dicom::WorklistAnswer &answer);
    // "New Study" for this patient, before its open records are closed.
    void examinationClosing(const QString &patientId);
    // "Delete Dosislist" was confirmed; the records are still there.
    void doseListDeleting();
    void studyOpenChanged(bool open);
    void pollingRequested(bool on);

private:
    bool m_studyOpen = false;
};
