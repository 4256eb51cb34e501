#pragma once
// Helpers for the dose capture tests: a pseudo-terminal pair as the serial line, the
// X-ray unit simulator as a process, and the dose controls of the main window.
#include "PtyPair.h"
#include "TestStation.h"
#include "Wait.h"
#include "XraySim.h"
#include "app/MainForm.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseState.h"
#include "net/WorklistEntry.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSqlRecord>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <memory>

// The worklist patient, as "Apply" in the worklist leaves the dose panel (the study open:
// "Get Dose Product" and "New Study" enabled).
inline void applyWorklistPatient(DoseState &state, const QString &id, const QString &first, const QString &last,
                                 const QString &birth, const QString &bodypart = QStringLiteral("BREAST"))
{
    WorklistEntry e;
    e.columns[WorklistEntry::PatientId] = id;
    e.columns[WorklistEntry::GivenName] = first;
    e.columns[WorklistEntry::FamilyName] = last;
    e.columns[WorklistEntry::BirthDate] = birth;
    e.columns[WorklistEntry::BodyPart] = bodypart;
    state.takeWorklistPatient(e);
    state.setStudyOpen(true);
}

// Patient 4711 (SMITH, ANN) taken from the worklist on the main window's dose panel.
inline void takeSmithFromWorklist(MainForm &form)
{
    applyWorklistPatient(form.doseState(), "4711", "ANN", "SMITH", "1960-12-31");
}

// The station's settings for an HFE 501 on the pseudo-terminal.
inline void useHfeOn(Station &s, const PtyPair &pty)
{
    s.settings().comDevice = pty.slavePath();
    s.settings().xrayComm = XrayUnit::Hfe501;
    s.settings().debug = 0;
    s.saveSettings();
}

// The dose capture panel without the main window: its controls on a widget of their own,
// the real command table and the dose state, counting the dose list refills it asks for.
struct CaptureWidgets {
    QWidget host;
    MainHooks hooks;
    DoseState state;
    CommandTable commands;
    // The panel's controls, once make() built it.
    QPlainTextEdit *txtcInput = nullptr;
    QPlainTextEdit *Text4 = nullptr;
    QListWidget *List1 = nullptr;
    QPushButton *cmdLorad = nullptr;
    QLabel *lblPending = nullptr;
    QTimer *serTimer = nullptr;
    int fills = 0; // lvDosis_Fill calls
    int lastFillMode = -1;

    CaptureWidgets()
    {
        MainCommands::build(commands, &host);
        QObject::connect(&state, &DoseState::recordsStored, &host, [this] {
            ++fills;
            lastFillMode = int(state.assignmentMode);
        });
    }
    std::unique_ptr<DoseCapturePanel> make(Station &station)
    {
        auto panel = std::make_unique<DoseCapturePanel>(station, state, commands, hooks, &host);
        txtcInput = panel->inputBox();
        Text4 = panel->receiveBox();
        List1 = panel->tokenList();
        cmdLorad = panel->loradButton();
        lblPending = panel->pendingLabel();
        serTimer = panel->serTimer();
        return panel;
    }
    void choosePatient(const QString &id, const QString &first, const QString &last, const QString &birth,
                       const QString &bodypart = QStringLiteral("BREAST"))
    {
        applyWorklistPatient(state, id, first, last, birth, bodypart);
    }
};

// Dose records as rows of column texts, by ID.
inline QList<QVariantMap> doseRows(Station &s, const QString &where = QStringLiteral("1=1"))
{
    QList<QVariantMap> out;
    Database db = Database::openData(s.paths());
    QSqlQuery q = db.exec(QStringLiteral("SELECT * FROM tblDosis WHERE ") + where + QStringLiteral(" ORDER BY ID"));
    while (q.next()) {
        QVariantMap m;
        const QSqlRecord rec = q.record();
        for (int i = 0; i < rec.count(); ++i)
            m.insert(rec.fieldName(i), q.value(i));
        out.append(m);
    }
    return out;
}
