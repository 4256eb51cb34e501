#pragma once
#include <QObject>
#include <QString>
#include <array>

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
    // True when a worklist patient is in the panel.
    bool hasPatient() const
    {
        for (const auto &r : panel)
            if (!r.isEmpty())
                return true;
        return false;
    }
    void clearPanel() { panel.fill(QString()); }

    qint16 exposureCounter = 0; // reset by "New Study"
    int assignmentMode = 0;     // 1 to 5, 0 = none
    QString currentDoseValue;

    // Exposures captured while no worklist patient was chosen; they wait (kept in the
    // station folder) until the operator stores them for a patient.
    int pendingExposures = 0;

    // The worklist's "Apply" calls this after it filled the panel: waiting exposures
    // are then offered for that patient.
    void notifyPatientChosen()
    {
        emit changed();
        emit patientChosen();
    }

    // Tells the widgets to show the state again.
    void notify() { emit changed(); }

signals:
    void changed();
    void patientChosen();
};
