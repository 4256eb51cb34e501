#pragma once
// The dose panel of the main window without the main window: real widgets, a command
// table with the dose commands and a test station.
#include "TestStation.h"

#include "core/Database.h"
#include "edit/EditSession.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "dose/DoseState.h"
#include "net/WorklistEntry.h"
#include "net/WorklistForm.h"
#include "store/StoreSelection.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

struct DosePanelHarness {
    // The controls the tests look at.
    struct Controls {
        CommandTable *commands = nullptr;
        QTreeWidget *ListView1 = nullptr;
        QTreeWidget *lvDosis = nullptr;
        QPushButton *cmdWorklist = nullptr;
        QPushButton *cmdNew = nullptr;
        QPushButton *cmdSelected = nullptr;
        QPushButton *cmdLorad = nullptr;
        QPlainTextEdit *txtcInput = nullptr;
        QTimer *SerTimer = nullptr;
    };

    TestStation ts;
    QMainWindow window;
    Controls w;
    MainHooks hooks;
    DoseState state;
    StoreSelection selection;
    EditSession edits;
    DoseCapturePanel *capture = nullptr;
    DoseListPanel *area = nullptr;

    DosePanelHarness()
    {
        w.commands = new CommandTable(&window);
        MainCommands::build(*w.commands, &window);
        auto *central = new QWidget(&window);
        window.setCentralWidget(central);
        capture = new DoseCapturePanel(*ts, state, *w.commands, hooks, central);
        area = new DoseListPanel(*ts, state, selection, edits, *w.commands, hooks, central);
        area->pickWorklistPatient = [this](QWidget *parent, const std::function<int(QDialog &)> &run) {
            return WorklistForm::pick(*ts, parent, run);
        };
        auto *layout = new QVBoxLayout(central);
        for (QWidget *c :
             std::initializer_list<QWidget *>{area->patientView(), area->worklistButton(), area->newStudyButton(),
                                              capture->loradButton(), area->mergeButton(), area->manualButton(),
                                              capture->pendingLabel(), area->doseCaption(), area->doseView(), capture->inputBox()})
            layout->addWidget(c);
        area->doseView()->setMinimumSize(900, 300);
        capture->loradButton()->show(); // the unit type decides that on the main window
        // The polling is started and stopped by the commands under test.
        capture->serTimer()->stop();

        w.ListView1 = area->patientView();
        w.lvDosis = area->doseView();
        w.cmdWorklist = area->worklistButton();
        w.cmdNew = area->newStudyButton();
        w.cmdSelected = area->manualButton();
        w.cmdLorad = capture->loradButton();
        w.txtcInput = capture->inputBox();
        w.SerTimer = capture->serTimer();
    }

    // lvDosis_Fill with an assignment mode (0 keeps the current one).
    void fill(int mode)
    {
        if (mode > 0)
            state.assignmentMode = AssignmentMode(mode);
        area->lvDosis_Fill();
    }

    Station &station() { return *ts; }

    qint64 addRecord(const QString &first, const QString &last, const QString &birth, const QString &status,
                     const QString &dap = QStringLiteral("1.00"), int imgNo = 1, qint64 id = 0)
    {
        Database db = Database::openData(ts->paths());
        QVariantList binds{first,
                           last,
                           birth,
                           dap,
                           QStringLiteral("28"),
                           QStringLiteral("56"),
                           QStringLiteral("350"),
                           status,
                           QStringLiteral("BREAST"),
                           imgNo};
        QString cols = QStringLiteral(
            "PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, Status, Bodypart, ImgNo");
        QString marks = QStringLiteral("?, ?, ?, ?, ?, ?, ?, ?, ?, ?");
        if (id) {
            cols += QStringLiteral(", ID");
            marks += QStringLiteral(", ?");
            binds << id;
        }
        QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblDosis (%1) VALUES (%2)").arg(cols, marks), binds);
        return id ? id : db.lastInsertId(q);
    }

    // Status, FKeyPatID and Patname of a record.
    QStringList record(qint64 id)
    {
        Database db = Database::openData(ts->paths());
        QSqlQuery q = db.exec(QStringLiteral("SELECT Status, FKeyPatID, Patname FROM tblDosis WHERE ID = ?"), {id});
        if (!q.next())
            return {};
        return {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
    }

    void choosePatient(const QString &id, const QString &first, const QString &last, const QString &birth)
    {
        state.setRow(1, id);
        state.setRow(2, first);
        state.setRow(3, last);
        state.setRow(5, birth);
        state.setRow(8, QStringLiteral("Unknown"));
        state.assignmentMode = AssignmentMode::WorklistPatient;
        state.notify();
    }

    // The patient picked in the browser's patient list.
    void pickStorePatient(const QString &id, const QString &name, const QString &birth)
    {
        selection.patId1 = id;
        selection.patName = name;
        selection.patBirthDate = birth;
    }

    QStringList column(int c) const
    {
        QStringList out;
        for (int i = 0; i < w.lvDosis->topLevelItemCount(); ++i)
            out << w.lvDosis->topLevelItem(i)->text(c);
        return out;
    }

    QString errorLog() const
    {
        QFile f(ts.station->log().errorLogPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll());
    }
};
