#pragma once
// The demo room: a whole mammography room on loopback around one station, with real
// protocol peers - DCMTK's wlmscpfs with today's patients, Orthanc as the PACS, the X-ray
// unit simulator on a pseudo-terminal and the modality simulator sending the images of
// the exposures to the station's receiver. Everything it writes lives in its own folder
// (station folder, settings file, the peers' files); everything it starts it stops, by
// process id.
#include "core/Prompter.h"

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QSize>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

class Station;
namespace peers {
class MppsProvider;
class OrthancPacs;
class PostgresServer;
class WorklistProvider;
class XraySim;
} // namespace peers

class DemoRoom : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString folder;                       // the demo's own folder
        QString binDir;                       // where Calvarex and the simulators are
        bool automatic = false;               // run one examination by itself, check it, end
        bool reset = false;                   // start from an empty demo folder
        QString unit = QStringLiteral("hfe"); // hfe, sophie, giotto, lorad
        QString autoPatient = QStringLiteral("DEMO001");
        QSize imageSize = QSize(2560, 3328);
        int httpPort = 8042;   // Orthanc's web page, when free
        bool registry = false; // the site's shared database on a private PostgreSQL server
    };

    struct Patient {
        QString id, family, given, birthDate, sex, accession, referring, time, studyUid, seriesUid;
        QString dicomName() const { return family + QLatin1Char('^') + given; }
    };

    explicit DemoRoom(const Options &options, QObject *parent = nullptr);
    ~DemoRoom() override;

    // Sets the room up and starts the peers and the station; false (with a message on
    // standard error) when something could not start.
    bool start();
    // Stops the station (if it runs) and every peer; idempotent.
    void stop();
    // The exit code for the program: the station's, or 1 when the automatic
    // examination's check failed.
    int exitCode() const { return m_exitCode; }

    // The day's patients the worklist provider serves.
    static std::vector<Patient> todaysPatients();

signals:
    void finished();

private:
    bool prepareFolder();
    bool writeWorklist();
    bool startWorklist();
    bool startPacs();
    bool startMpps();
    bool startXrayUnit();
    bool writeSettings();
    bool startStation();
    // Says which process a part of the room runs in ("PID <name> <pid>").
    void started(const QString &name, qint64 pid) const;
    void stationOutput();
    void stationEnded(int code);
    void terminalInput();
    void log(const QString &line) const;

    // The examination at the unit: four exposures, each followed by its image.
    void beginExamination();
    void exposeNext();
    void pollDoseRecord();
    void sendImage(const QJsonObject &record);
    void imageSent(int exitCode);
    qint64 lastDoseId() const;
    const Patient *worklistPatient(const QString &id) const;
    const Patient *patientOfRecord(const QString &family, const QString &given, const QString &birth) const;

    // The automatic examination's check against the PACS; true when it holds.
    bool checkPacs();
    // The RIS's view of the automatic examination: one step, COMPLETED, a dose item per exposure.
    bool checkMpps();
    bool checkAudit();
    bool startRegistry();
    bool checkRegistry();
    QByteArray rest(const QString &path) const;

    std::unique_ptr<Prompter> m_prompter;
    Options m_o;
    QString m_station; // station folder
    QString m_settingsFile;
    std::unique_ptr<Station> m_stationObj;
    std::vector<Patient> m_patients;
    std::unique_ptr<peers::WorklistProvider> m_worklist;
    std::unique_ptr<peers::OrthancPacs> m_pacs;
    std::unique_ptr<peers::MppsProvider> m_mpps;
    std::unique_ptr<peers::XraySim> m_xray;
    std::unique_ptr<peers::PostgresServer> m_registry;
    std::unique_ptr<QProcess> m_calvarex;
    quint16 m_worklistPort = 0, m_pacsPort = 0, m_httpPort = 0, m_receiverPort = 0;
    QString m_pty;
    std::unique_ptr<QProcess> m_modality;
    QTimer m_poll;
    QElapsedTimer m_waited;
    int m_exposure = 0;     // 0: no examination running
    int m_examinations = 0; // examinations begun, one per patient
    int m_liveShown = 0;    // images the station's live view showed during the examination
    QString m_lastDose;     // the dose value the unit sent last
    // What the unit sent, by patient ID and exposure number: the check compares each
    // image in the PACS with it.
    QHash<QString, QHash<int, QString>> m_sent;
    qint64 m_seenDoseId = 0;
    bool m_stopping = false;
    bool m_stopped = false;
    int m_exitCode = 0;
};
