#include "AutoExamination.h"
#include "app/MainForm.h"
#include "app/Startup.h"
#include "core/Database.h"
#include "core/Station.h"
#include "net/WorklistEntry.h"
#include "net/WorklistForm.h"
#include "store/StoreSelection.h"
#include "store/ViewerPanel.h"
#include "store/ViewerWidget.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTreeWidget>
#include <cstdio>

namespace {

QWidget *visibleTopLevel(const QString &objectName)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == objectName)
            return w;
    return nullptr;
}

// A left click on a list row as the mouse makes it: press and release on its viewport.
void clickRow(QTreeWidget *list, QTreeWidgetItem *item)
{
    list->scrollToItem(item);
    QWidget *vp = list->viewport();
    // In the row's first column, which is in view: the row may be wider than the list.
    const QRect row = list->visualItemRect(item);
    const QPoint at(qMin(row.left() + 12, vp->width() / 2), row.center().y());
    const QPointF global = vp->mapToGlobal(QPointF(at));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &release);
}

QTreeWidgetItem *rowWithText(QTreeWidget *list, int column, const QString &text)
{
    for (int i = 0; list && i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(column) == text)
            return list->topLevelItem(i);
    return nullptr;
}

} // namespace

AutoExamination::AutoExamination(Startup &startup, const QString &patientId, const QString &screens, QObject *parent)
    : QObject(parent), m_startup(startup), m_wanted(patientId == QLatin1String("first") ? QString() : patientId),
      m_screens(screens)
{
    m_timer.setInterval(200);
    connect(&m_timer, &QTimer::timeout, this, &AutoExamination::tick);
}

void AutoExamination::start()
{
    if (!m_screens.isEmpty())
        QDir().mkpath(m_screens);
    say(QStringLiteral("start"));
    next(Step::Options, 120);
    m_timer.start();
}

void AutoExamination::next(Step step, int timeoutS)
{
    m_step = step;
    m_timeoutS = timeoutS;
    m_clicked = false;
    m_stepClock.start();
}

void AutoExamination::say(const QString &line)
{
    std::printf("EXAM %s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void AutoExamination::fail(const QString &why)
{
    m_timer.stop();
    say(QStringLiteral("failed: ") + why);
    if (MainForm *main = m_startup.mainForm()) {
        // What the screen showed when the step did not come about.
        picture(QApplication::activeModalWidget() ? QApplication::activeModalWidget() : main, QStringLiteral("failed"));
        main->exitProgram();
    }
    QCoreApplication::exit(3);
}

void AutoExamination::picture(QWidget *w, const QString &name)
{
    if (m_screens.isEmpty() || !w)
        return;
    const QString file = QStringLiteral("%1/%2-%3.png").arg(m_screens).arg(++m_pictures).arg(name);
    if (w->grab().save(file))
        say(QStringLiteral("picture ") + file);
}

void AutoExamination::clickLater(QWidget *button) { QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection); }

void AutoExamination::fillWhenGathered(MainForm *main)
{
    // The units with channel messages leave storing to the operator: "Fill" once the
    // gathered text has stood still for a moment (a whole message has arrived).
    const qint16 unit = main->station().settings().xrayComm;
    if (unit != XrayUnit::Sophie && unit != XrayUnit::Giotto)
        return;
    auto *gathered = main->findChild<QPlainTextEdit *>(QStringLiteral("txtcInput"));
    const QString text = gathered ? gathered->toPlainText() : QString();
    if (text != m_gathered) {
        m_gathered = text;
        m_gatheredClock.start();
        return;
    }
    if (!text.trimmed().isEmpty() && m_gatheredClock.isValid() && m_gatheredClock.elapsed() > 1200) {
        say(QStringLiteral("fill"));
        main->commands().run(QString::fromLatin1(Cmd::Fill));
        m_gathered.clear();
        m_gatheredClock.invalidate();
    }
}

int AutoExamination::storedImages() const
{
    MainForm *main = m_startup.mainForm();
    if (!main)
        return 0;
    int n = 0;
    main->station().trap(QStringLiteral("AutoExamination"), [&] {
        Database db = Database::openData(main->station().paths());
        QSqlQuery q = db.exec(QStringLiteral("SELECT COUNT(*) FROM tblImages i"
                                             " JOIN tblSeries se ON i.FKeySeriesID = se.SeriesID"
                                             " JOIN tblStudies st ON se.FKeyStudyID = st.StudyID"
                                             " JOIN tblPatienten p ON st.FKeyPATID = p.PatID WHERE p.PatID1 = ?"),
                              {m_patientId});
        if (q.next())
            n = q.value(0).toInt();
    });
    return n;
}

void AutoExamination::tick()
{
    if (m_stepClock.elapsed() > qint64(m_timeoutS) * 1000) {
        static const char *const names[] = {
            "options", "worklist", "pick patient", "dose records",       "images", "open study", "study",
            "merge",   "sent",     "dose report",  "storage commitment", "leave"};
        return fail(QStringLiteral("no %1 within %2 s").arg(QLatin1String(names[int(m_step)])).arg(m_timeoutS));
    }
    MainForm *main = m_startup.mainForm();
    if (!main)
        return;
    switch (m_step) {
    case Step::Options: {
        QWidget *options = visibleTopLevel(QStringLiteral("OptionForm"));
        if (options && !m_clicked) {
            picture(options, QStringLiteral("options"));
            clickLater(options->findChild<QPushButton *>(QStringLiteral("cmdOK")));
            m_clicked = true;
        } else if (!options && main->isVisible()) {
            say(QStringLiteral("station ready"));
            next(Step::OpenWorklist, 60);
        }
        break;
    }
    case Step::OpenWorklist: {
        auto *button = main->findChild<QPushButton *>(QStringLiteral("cmdWorklist"));
        if (button && button->isEnabled() && button->isVisible()) {
            clickLater(button);
            next(Step::PickPatient, 60);
        }
        break;
    }
    case Step::PickPatient: {
        auto *form = qobject_cast<WorklistForm *>(visibleTopLevel(QStringLiteral("WorklistForm")));
        if (!form || m_clicked || form->list()->topLevelItemCount() == 0)
            break;
        int row = 0;
        if (!m_wanted.isEmpty()) {
            row = -1;
            for (int i = 0; i < form->list()->topLevelItemCount(); ++i)
                if (form->entryAt(i).columns.value(WorklistEntry::PatientId) == m_wanted)
                    row = i;
            if (row < 0)
                return fail(QStringLiteral("patient %1 is not in the worklist").arg(m_wanted));
        }
        form->list()->setCurrentItem(form->list()->topLevelItem(row));
        const WorklistEntry entry = form->entryAt(row);
        m_patientId = entry.columns.value(WorklistEntry::PatientId);
        picture(form, QStringLiteral("worklist"));
        clickLater(form->findChild<QPushButton *>(QStringLiteral("cmdOK")));
        m_clicked = true;
        say(QStringLiteral("patient %1 %2^%3")
                .arg(m_patientId, entry.columns.value(WorklistEntry::FamilyName),
                     entry.columns.value(WorklistEntry::GivenName)));
        // The exposures are made at the unit; they may take their time.
        next(Step::WaitDoses, 300);
        break;
    }
    case Step::WaitDoses: {
        fillWhenGathered(main);
        // The live view: each image on screen as it arrives, the hanging filling up.
        const ViewerWidget *dv = main->viewer().viewerPane()->findChild<ViewerWidget *>();
        const bool ownStudy = main->selection().patId1() == m_patientId;
        const int shown = dv && ownStudy ? dv->loadedCount() : 0;
        if (shown > m_liveShown) {
            m_liveShown = shown;
            say(QStringLiteral("live view %1 images").arg(shown));
            picture(main, QStringLiteral("live-%1").arg(shown));
        }
        auto *doses = main->findChild<QTreeWidget *>(QStringLiteral("lvDosis"));
        // The examination ends when its exposures are in and its images were seen (or
        // did not come within a minute: the store steps below say which is missing).
        if (doses && doses->topLevelItemCount() >= Views && !m_dosesComplete.isValid())
            m_dosesComplete.start();
        if (m_dosesComplete.isValid() && (m_liveShown >= Views || m_dosesComplete.elapsed() > 60000)) {
            say(QStringLiteral("dose records %1").arg(doses->topLevelItemCount()));
            picture(main, QStringLiteral("dose-list"));
            // The examination is over at the unit: "New Study" closes its records.
            clickLater(main->findChild<QPushButton *>(QStringLiteral("cmdNew")));
            say(QStringLiteral("new study"));
            next(Step::WaitImages, 300);
        }
        break;
    }
    case Step::WaitImages: {
        auto *patients = main->findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
        const int stored = storedImages();
        if (stored >= Views && rowWithText(patients, 0, m_patientId)) {
            say(QStringLiteral("images %1").arg(stored));
            next(Step::OpenStudy, 60);
        }
        break;
    }
    case Step::OpenStudy: {
        auto *patients = main->findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
        auto *studies = main->findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
        if (!m_clicked) {
            if (QTreeWidgetItem *row = rowWithText(patients, 0, m_patientId)) {
                clickRow(patients, row);
                m_clicked = true;
            }
        } else if (studies && studies->topLevelItemCount() > 0) {
            // The newest study is today's examination.
            clickRow(studies, studies->topLevelItem(studies->topLevelItemCount() - 1));
            next(Step::WaitStudy, 120);
        }
        break;
    }
    case Step::WaitStudy:
        if (main->selection().viewerFiles().size() >= Views) {
            if (!m_clicked) {
                // Let the viewer draw the images before the picture is taken.
                m_clicked = true;
                m_stepClock.start();
                m_timeoutS = 120;
                QTimer::singleShot(1500, this, [this, main] {
                    say(QStringLiteral("study open %1 images").arg(main->selection().viewerFiles().size()));
                    picture(main, QStringLiteral("study"));
                    next(Step::Merge, 60);
                });
            }
        }
        break;
    case Step::Merge:
        if (auto *merge = main->findChild<QPushButton *>(QStringLiteral("cmdAll")); merge && merge->isEnabled()) {
            clickLater(merge);
            next(Step::WaitSent, 300);
        }
        break;
    case Step::WaitSent: {
        auto *form = qobject_cast<EditForm *>(visibleTopLevel(QStringLiteral("EditForm")));
        if (form && form->isDone() && !m_clicked) {
            m_clicked = true;
            picture(form, QStringLiteral("progress"));
            for (const QString &line : form->progressText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                say(QStringLiteral("progress ") + line);
            clickLater(form->findChild<QPushButton *>(QStringLiteral("cmdOK")));
        } else if (m_clicked && !form) {
            say(QStringLiteral("sent"));
            picture(main, QStringLiteral("after-send"));
            // The study's dose report, as the study menu shows it.
            next(Step::Report, 30);
        }
        break;
    }
    case Step::Report: {
        QWidget *report = visibleTopLevel(QStringLiteral("DoseReportForm"));
        auto *patients = main->findChild<QTreeWidget *>(QStringLiteral("lvPatients"));
        auto *studies = main->findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
        if (!report && m_reportStage == 0) {
            // The send refreshed the lists: the patient and the study are picked again.
            if (QTreeWidgetItem *row = rowWithText(patients, 0, m_patientId)) {
                clickRow(patients, row);
                m_reportStage = 1;
            }
        } else if (!report && m_reportStage == 1 && studies && studies->topLevelItemCount() > 0) {
            clickRow(studies, studies->topLevelItem(studies->topLevelItemCount() - 1));
            m_reportStage = 2;
            QTimer::singleShot(300, this, [main] { main->commands().run(QString::fromLatin1(Cmd::StudyDoseReport)); });
        } else if (report && !m_clicked) {
            m_clicked = true;
            picture(report, QStringLiteral("dose-report"));
            say(QStringLiteral("dose report shown"));
            clickLater(report->findChild<QPushButton *>(QStringLiteral("cmdClose")));
            // The PACS reports on its own association; the study list follows on its timer.
            next(Step::Committed, 120);
        }
        break;
    }
    case Step::Committed: {
        auto *studies = main->findChild<QTreeWidget *>(QStringLiteral("lvStudien"));
        const int count = studies ? studies->topLevelItemCount() : 0;
        const QString text = count > 0 ? studies->topLevelItem(count - 1)->text(5) : QString();
        static const QRegularExpression all(QStringLiteral("^(\\d+) sent: \\1 committed$"));
        if (!m_clicked && all.match(text).hasMatch()) {
            m_clicked = true;
            say(QStringLiteral("commitment %1").arg(text));
            picture(main, QStringLiteral("committed"));
            next(Step::Leave, 30);
            QTimer::singleShot(1000, this, [this, main] {
                m_timer.stop();
                say(QStringLiteral("done"));
                main->exitProgram();
            });
        }
        break;
    }
    case Step::Leave:
        break;
    }
}
