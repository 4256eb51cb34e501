// The progress window as the operator sees it: caption by operation, "Progress:", the
// work started once the window is drawn, OK only at the end, no closing before it, and
// the busy flag for the window's whole life.
#include "TestStation.h"
#include "Wait.h"
#include "core/AppError.h"
#include "ui/EditForm.h"
#include "ui/MainHooks.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TestEditForm : public QObject {
    Q_OBJECT
private slots:
    void captionsByOperation_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("caption");
        const char *captions[] = {"Send images (Series)", "Send images (Study)", "Send Images (Patient)",
                                  "Updating Study",       "Delete Patient list", "Delete images",
                                  "Delete images",        "Delete images",       "Import image(s)",
                                  "Import DICOM-Dir"};
        for (int c = 0; c < 10; ++c)
            QTest::newRow(QByteArray::number(c)) << c << QString::fromLatin1(captions[c]);
        QTest::newRow("other") << 10 << QString();
        QTest::newRow("negative") << -1 << QString();
    }
    void captionsByOperation()
    {
        QFETCH(int, code);
        QFETCH(QString, caption);
        QCOMPARE(EditForm::caption(qint16(code)), caption);
    }

    void runsAfterItIsDrawnAndOffersOkAtTheEnd()
    {
        TestStation ts;
        MainHooks hooks;
        int closedSteps = 0;
        hooks.progressClosed.push_back([&] { ++closedSteps; });
        bool visibleWhenStarted = false;
        bool busyWhileRunning = false;
        bool closeRefused = false;
        EditForm::Job job;
        job.operation = EditForm::DeleteStudy;
        job.procedure = "EditForm Test";
        job.work = [&](EditForm &f) {
            visibleWhenStarted = f.isVisible();
            busyWhileRunning = ts->busy;
            f.append("Updating Database ... ");
            f.setMaximum(2);
            f.setValue(1);
            // Neither the close box nor Escape ends the window while the work runs.
            f.close();
            QTest::keyClick(&f, Qt::Key_Escape);
            closeRefused = f.isVisible();
            f.appendLine("OK");
            f.setValue(2);
        };
        EditForm form(*ts, std::move(job), &hooks);
        QVERIFY(ts->busy); // from the window's load
        QCOMPARE(form.windowTitle(), QStringLiteral("Delete images"));
        QCOMPARE(form.findChild<QLabel *>("lblProgress")->text(), QStringLiteral("Progress:"));
        auto *ok = form.findChild<QPushButton *>("cmdOK");
        QVERIFY(!ok->isEnabled());
        form.show();
        QVERIFY(!form.isDone()); // not before the timer
        QVERIFY(waitUntil([&] { return form.isDone(); }));
        QVERIFY(visibleWhenStarted);
        QVERIFY(busyWhileRunning);
        QVERIFY(closeRefused);
        QCOMPARE(form.progressText(), QStringLiteral("Updating Database ... OK\nTasks done."));
        QCOMPARE(form.findChild<QProgressBar *>("pb1")->value(), 2);
        QVERIFY(ok->isEnabled());
        QVERIFY(ts->busy); // still open
        ok->click();
        QVERIFY(!form.isVisible());
        QCOMPARE(closedSteps, 1);
        QVERIFY(!ts->busy);
    }

    void failureSaysFailedLogsAndStillEnds()
    {
        TestStation ts;
        EditForm::Job job;
        job.operation = EditForm::DeleteAll;
        job.procedure = "EditForm DeleteAllTimer";
        job.errorPrefix = "Fehler #";
        job.work = [](EditForm &f) {
            f.append("Removing database entries ... ");
            throw AppError(ErrorNo::Database, "disk full");
        };
        EditForm form(*ts, std::move(job), nullptr);
        form.show();
        QVERIFY(waitUntil([&] { return form.isDone(); }));
        QCOMPARE(form.progressText(), QStringLiteral("Removing database entries ... failed\nTasks done."));
        QCOMPARE(ts.prompter.lastText(), QStringLiteral("Fehler #1001: disk full"));
        QFile log(ts->log().errorLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("#1001 - disk full [EditForm DeleteAllTimer]"));
        QVERIFY(form.findChild<QPushButton *>("cmdOK")->isEnabled());
    }

    void unknownOperationOpensEmptyAndClosesByItsBox()
    {
        TestStation ts;
        EditForm::Job job;
        job.operation = 42;
        EditForm form(*ts, std::move(job), nullptr);
        form.show();
        QTest::qWait(3 * EditForm::StartDelayMs);
        QCOMPARE(form.windowTitle(), QString());
        QVERIFY(!form.findChild<QPushButton *>("cmdOK")->isEnabled());
        QVERIFY(ts->busy);
        form.close();
        QVERIFY(!form.isVisible());
        QVERIFY(!ts->busy);
    }
};

QTEST_MAIN(TestEditForm)
#include "test_editform.moc"
