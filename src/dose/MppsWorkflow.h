#pragma once
#include "dicom/DataSet.h"
#include "dicom/WorklistQuery.h"
#include "dose/DoseReport.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <atomic>
#include <optional>
#include <thread>

class Station;
struct Settings;
class MppsOutbox;

// The performed procedure step of each examination, as the RIS follows it: the worklist
// patient chosen makes the step (tblMppsStep, nothing sent yet); the patient's first
// stored exposure sends it "IN PROGRESS" with what the worklist scheduled; "New Study"
// sends "COMPLETED" with the images received so far and one dose item per exposure;
// "Delete Dosislist" ends every step in progress "DISCONTINUED" with a reason. An
// examination without an exposure sends nothing. Each message is written to the outbox
// first and goes out from there (MppsOutbox), so nothing is lost while the provider is
// away. Without an MPPS provider in the settings nothing of this happens.
class MppsWorkflow {
public:
    static inline const QString InProgress = QStringLiteral("IN PROGRESS");
    static inline const QString Completed = QStringLiteral("COMPLETED");
    static inline const QString Discontinued = QStringLiteral("DISCONTINUED");
    static inline const QString Scheduled = QStringLiteral("SCHEDULED");

    // One step as the station keeps it.
    struct Step {
        QString uid;
        QString patientId;
        QString state; // SCHEDULED (nothing sent), IN PROGRESS, COMPLETED, DISCONTINUED
        dicom::WorklistAnswer scheduled;
        QString startDate, startTime; // DICOM DA / TM, from the first exposure
    };

    // An image of the examination, as the performed series lists it.
    struct PerformedImage {
        QString seriesUid, sopClassUid, sopUid;
    };

    // The reason of a discontinued step: (code, meaning) of the DCM reasons.
    struct Reason {
        QString code, meaning;
    };
    static Reason unspecifiedReason()
    {
        return {QStringLiteral("110513"), QStringLiteral("Discontinued for unspecified reason")};
    }

    explicit MppsWorkflow(Station &station);

    // The station's AE title towards the RIS: the worklist's LocalAET, else the receiver's.
    static QString stationAet(const Settings &s);

    // True when the settings name an MPPS provider (AE title, host and port).
    bool enabled() const;

    // The operator chose this worklist patient: the step is made for it (or the open one
    // of the same scheduled step is taken up again). Never throws: a failure is logged.
    void patientChosen(const dicom::WorklistAnswer &answer);
    // Dose records were stored: the open step of the patient whose records they are goes
    // "IN PROGRESS" with the first exposure's date and time.
    void recordsStored(const QString &patientId);
    // "New Study" for this patient, before its open records are closed.
    void examinationCompleted(const QString &patientId);
    // "Delete Dosislist", before the records are deleted: every step in progress ends.
    void everythingDiscontinued(const Reason &reason = unspecifiedReason());

    // The station's open step of a patient (SCHEDULED or IN PROGRESS), if any.
    std::optional<Step> openStep(const QString &patientId);
    // Every step, newest last (for the tests and the demo room).
    QList<Step> steps();

    // What N-CREATE says of a step. startDate/startTime DICOM DA/TM.
    static dicom::DataSet createAttributes(const Step &step, const QString &ownAet, const QString &stationName);
    // What the final N-SET says: the status, the end, the performed series (the images, by
    // series; one empty series when none arrived) and the exposures' dose items.
    static dicom::DataSet finalAttributes(const QString &status, const QString &endDate, const QString &endTime,
                                          const QString &protocolName, const QList<PerformedImage> &images,
                                          const QList<DoseEvent> &exposures, const std::optional<Reason> &reason);
    // One Exposure Dose Sequence item: kV, exposure time (ms), tube current (uA) and the
    // dose value under the attribute of its quantity.
    static dicom::DataSet doseItem(const DoseEvent &e);

private:
    void ensureTable();
    QList<Step> stepsWhere(const QString &condition, const QVariantList &binds);
    QList<Step> openSteps();
    void finish(const Step &step, const QString &status, const std::optional<Reason> &reason);
    QList<DoseEvent> openExposures(const QString &patientId);
    QList<PerformedImage> imagesOf(const Step &step);
    void setState(const QString &uid, const QString &state, const QString &startDate = {},
                  const QString &startTime = {});

    Station &m_station;
};

// Delivers the outbox's messages to the provider on a thread of its own, never in the
// window's: started after every new message and by a timer while something waits. Tells
// what waits and the last problem through status().
class MppsDelivery : public QObject {
    Q_OBJECT
public:
    explicit MppsDelivery(Station &station, QObject *parent = nullptr);
    ~MppsDelivery() override;

    // Starts a delivery unless one runs; what it finds waiting goes in order.
    void deliverSoon();
    // Waits until the running delivery ended (the window closes; tests).
    void waitIdle();
    bool busy() const { return m_running.load(); }

    // "MPPS: 2 waiting", with the provider's problem, or the refusals; empty: all sent.
    QString status() const { return m_status; }
    // The refusals and the provider's last problem, for the operator.
    QStringList problems() const { return m_problems; }

signals:
    void statusChanged(const QString &text);

private:
    void delivered(int waiting, const QStringList &problems);

    Station &m_station;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_again{false};
    std::thread m_thread;
    QString m_status;
    QStringList m_problems;
};
