#include "app/LiveExamination.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/DateText.h"
#include "core/Station.h"
#include "dicom/WorklistQuery.h"
#include "dose/DoseState.h"
#include "dose/LiveDoses.h"
#include "edit/EditSession.h"
#include "store/ArrivalNotice.h"
#include "store/BrowserPanel.h"
#include "store/StoreSelection.h"
#include "store/ViewerImage.h"
#include "store/ViewerPanel.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"

#include <QAction>
#include <QDate>

namespace {
const QString Procedure = QStringLiteral("MainForm LiveExamination");
}

LiveExamination::LiveExamination(Station &station, DoseState &dose, StoreSelection &selection, EditSession &edits,
                                 BrowserPanel &browser, ViewerPanel &viewer, CommandTable &commands, QObject *parent)
    : QObject(parent), m_station(station), m_dose(dose), m_state(selection), m_edits(edits), m_browser(browser),
      m_viewer(viewer), m_commands(commands)
{
    m_listener = new ArrivalListener(station.paths(), this);
    if (!m_listener->isListening())
        m_station.log().writeError(ErrorNo::General,
                                   QStringLiteral("The data manager's notices cannot reach the station (%1): new "
                                                  "images appear at the lists' next round")
                                       .arg(m_listener->errorString()),
                                   Procedure);
    connect(m_listener, &ArrivalListener::batchCommitted, &m_browser, &BrowserPanel::arrivalNoticed);
    connect(&m_browser, &BrowserPanel::arrivalsTaken, this, &LiveExamination::arrivals);
    connect(&m_browser, &BrowserPanel::patientListComplete, this, [this] {
        if (std::exchange(m_retryWhenListed, false))
            arrivals();
    });
    connect(&m_dose, &DoseState::worklistAnswerTaken, this, &LiveExamination::worklistAnswer);
    connect(&m_dose, &DoseState::recordsStored, this, [this] {
        if (m_captionStudy.isEmpty())
            return;
        m_station.trap(Procedure, [&] {
            Database db = Database::openData(m_station.paths());
            readDoses(db);
        });
        m_viewer.refreshCaptions();
    });
    connect(&m_dose, &DoseState::studyOpenChanged, this, [this](bool open) {
        if (!open && !m_captionStudy.isEmpty()) {
            m_captionStudy.clear();
            m_doses.clear();
            m_viewer.refreshCaptions();
        }
    });
    connect(&m_viewer, &ViewerPanel::loadFinished, this, [this] {
        if (!m_newestAfterLoad.isEmpty())
            m_viewer.markNewest(std::exchange(m_newestAfterLoad, {}));
    });
    m_viewer.captionOf = [this](const ViewerImage &img) { return captionOf(img); };
    // A patient or study the operator picks herself is her choice: from then on the
    // screen is hers until she comes back to the examination.
    const auto operatorPicked = [this] {
        if (!m_opening) {
            m_shownPatient.clear();
            m_shownStudy.clear();
        }
    };
    connect(&m_state, &StoreSelection::patientPicked, this, operatorPicked);
    connect(&m_state, &StoreSelection::studyOpened, this, operatorPicked);

    m_commands.hook(Cmd::LiveView, [this] { setEnabled(!enabled()); });
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::LiveView)))
        a->setChecked(enabled());
}

LiveExamination::~LiveExamination() = default;

bool LiveExamination::enabled() const { return m_station.settings().liveView != 0; }

void LiveExamination::setEnabled(bool on)
{
    m_station.settings().liveView = on ? 1 : 0;
    m_station.settingsStore().writeValue(QStringLiteral("General/LiveView"),
                                         on ? QStringLiteral("1") : QStringLiteral("0"));
    if (QAction *a = m_commands.action(QString::fromLatin1(Cmd::LiveView)))
        a->setChecked(on);
}

bool LiveExamination::noticesHeard() const { return m_listener->isListening(); }

void LiveExamination::worklistAnswer(const dicom::WorklistAnswer &answer)
{
    m_scheduledPatient = answer.patientId.trimmed();
    m_scheduledStudy = answer.studyUid.trimmed();
    m_chosenDate = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
}

bool LiveExamination::examinationOf(Database &db, Examination &exam)
{
    if (!m_dose.hasPatient() || !m_dose.studyOpen())
        return false;
    exam.patientId = m_dose.row(1).trimmed();
    const bool known = m_scheduledPatient == exam.patientId;
    // Without the worklist's answer (an examination open again after a restart): the
    // patient's newest study of today.
    const QString since = known ? m_chosenDate : QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    exam.studyUid = LiveDoses::examinationStudy(db, exam.patientId, known ? m_scheduledStudy : QString(), since);
    return !exam.studyUid.isEmpty();
}

void LiveExamination::readDoses(Database &db)
{
    m_doses = LiveDoses::captions(db, m_dose.row(1), m_station.settings().xrayComm);
}

QString LiveExamination::captionOf(const ViewerImage &img)
{
    if (m_captionStudy.isEmpty() || m_state.studyUid() != m_captionStudy)
        return {};
    return m_doses.value(img.instanceNumber, LiveDoses::NoDoseYet);
}

void LiveExamination::announce(const Examination &exam)
{
    const QString name = QStringList{m_dose.row(3), m_dose.row(2)}.join(QStringLiteral(", "));
    emit statusMessage(QStringLiteral("New images for %1 (%2) arrived").arg(name, exam.patientId), 30000);
    m_browser.markArrival(exam.patientId);
}

void LiveExamination::arrivals()
{
    if (!enabled())
        return;
    m_station.trap(Procedure, [&] {
        Database db = Database::openData(m_station.paths());
        Examination exam;
        if (!examinationOf(db, exam))
            return;
        // The operator looks at another patient or study, or has changes to apply: the
        // view stays where she put it. What the live view showed of the examination
        // before (the previous patient's) is no choice of hers.
        const bool shownByLiveView = m_state.patId1() == m_shownPatient && m_state.studyUid() == m_shownStudy;
        const bool elsewhere =
            m_state.hasPatient() && !shownByLiveView
            && (m_state.patId1() != exam.patientId
                || (!m_state.studyUid().isEmpty() && m_state.studyUid() != exam.studyUid)
                // a single series of it opened from the study's menu
                || (!m_state.studyUid().isEmpty() && m_state.loadLevel() != QLatin1String("Studie")));
        if (elsewhere || m_edits.pendingTasks() > 0) {
            announce(exam);
            return;
        }
        m_captionStudy = exam.studyUid;
        readDoses(db);
        const QStringList byArrival = LiveDoses::imagesByArrival(db, exam.studyUid);
        m_shownPatient = exam.patientId;
        m_shownStudy = exam.studyUid;
        if (m_state.studyUid() == exam.studyUid && m_state.patId1() == exam.patientId) {
            // The study is on screen: the new images join it.
            m_viewer.appendImages(byArrival);
            m_browser.refreshImageRows();
            m_viewer.refreshCaptions();
            return;
        }
        m_newestAfterLoad = byArrival.isEmpty() ? QString() : byArrival.last();
        m_opening = true;
        const bool opened = m_browser.openStudyLive(exam.patientId, exam.studyUid);
        m_opening = false;
        if (!opened) {
            m_newestAfterLoad.clear();
            m_shownPatient.clear();
            m_shownStudy.clear();
            // A long patient list may not hold the patient yet: once it does.
            if (m_browser.patientListFilling())
                m_retryWhenListed = true;
            else
                announce(exam);
        }
    });
}
