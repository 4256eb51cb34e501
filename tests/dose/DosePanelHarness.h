#pragma once
// The dose panel of the main window without the main window: real widgets, a command
// table with the dose commands and a test station.
#include "TestStation.h"

#include "app/CommandTable.h"
#include "app/MainHooks.h"
#include "app/MainWidgets.h"
#include "dose/DoseListArea.h"
#include "dose/DoseState.h"
#include "store/Database.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

struct DosePanelHarness {
    TestStation ts;
    QMainWindow window;
    MainWidgets w;
    MainHooks hooks;
    DoseState state;
    DoseListArea *area = nullptr;

    DosePanelHarness()
    {
        w.window = &window;
        w.commands = new CommandTable(&window);
        for (const char *name : {"mnuFill", "Toolbar1_worklist", "Toolbar1_refreshd", "Toolbar1_delete", "Toolbar1_reldosis",
                                 "Popup_Dosis_Delete"})
            w.commands->add(QString::fromLatin1(name), QString::fromLatin1(name));
        auto *menu = new QMenu(&window);
        w.commands->addMenu(QStringLiteral("Popup_Dosis"), menu);
        menu->addAction(w.commands->action(QStringLiteral("Popup_Dosis_Delete")));

        auto *central = new QWidget(&window);
        window.setCentralWidget(central);
        w.lvPatients = new QTreeWidget(central);
        w.lvPatients->setHeaderLabels({"ID", "Lastname, Firstname", "2nd Name", "Birthdate"});
        w.lvImages = new QTreeWidget(central);
        w.lvImages->setHeaderLabels({"ID", "Date", "Time", "ImageUID"});
        w.ListView1 = new QTreeWidget(central);
        w.ListView1->setHeaderLabels({"Field", "Value"});
        for (int i = 0; i < 8; ++i)
            new QTreeWidgetItem(w.ListView1, {QStringLiteral("row %1").arg(i + 1)});
        w.lvDosis = new QTreeWidget(central);
        w.lvDosis->resize(900, 300);
        w.cmdWorklist = new QPushButton(QStringLiteral("Worklist"), central);
        w.cmdNew = new QPushButton(QStringLiteral("New Study"), central);
        w.cmdLorad = new QPushButton(QStringLiteral("Get Dose Product"), central);
        for (QPushButton *b : {w.cmdWorklist, w.cmdNew, w.cmdLorad})
            b->setEnabled(false);
        // What the serial capture works on.
        w.txtcInput = new QPlainTextEdit(central);
        w.Text4 = new QPlainTextEdit(central);
        w.List1 = new QListWidget(central);
        w.lblPending = new QLabel(central);
        w.StatusBar1 = window.statusBar();
        w.SerTimer = new QTimer(&window);
        w.SerTimer->setInterval(100);

        area = new DoseListArea(*ts, w, hooks, state, &window);
    }

    Station &station() { return *ts; }

    qint64 addRecord(const QString &first, const QString &last, const QString &birth, const QString &status,
                     const QString &dap = QStringLiteral("1.00"), int imgNo = 1, qint64 id = 0)
    {
        Database db = Database::openData(ts->paths());
        QVariantList binds{first, last, birth, dap, QStringLiteral("28"), QStringLiteral("56"),
                           QStringLiteral("350"), status, QStringLiteral("BREAST"), imgNo};
        QString cols = QStringLiteral("PatFirstname, PatLastname, PatBirthdate, mGy1, mGy2, mGy3, expTime, Status, Bodypart, ImgNo");
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
        state.assignmentMode = 1;
        state.notify();
    }

    // A row in the browser's patient list, selected.
    void pickStorePatient(const QString &id, const QString &name, const QString &birth)
    {
        w.lvPatients->clear();
        auto *item = new QTreeWidgetItem(w.lvPatients, {id, name, QString(), birth});
        w.lvPatients->setCurrentItem(item);
        item->setSelected(true);
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
