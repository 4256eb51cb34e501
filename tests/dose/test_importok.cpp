// A progress window's OK assigns the listed dose records, except after an import, which
// brings no images of the examination.
#include "PanelHost.h"
#include "dose/DoseCapturePanel.h"
#include "dose/DoseListPanel.h"
#include "net/WorklistEntry.h"
#include "ui/MainCommands.h"

#include "Wait.h"
#include "ui/EditForm.h"
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestImportOk : public QObject {
    Q_OBJECT
private slots:
    void okAfterOperation_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<bool>("assigns");
        QTest::newRow("import images") << int(EditForm::ImportImages) << false;
        QTest::newRow("import DICOM-Dir") << int(EditForm::ImportDir) << false;
        QTest::newRow("send study") << int(EditForm::SendStudy) << true;
        QTest::newRow("update") << int(EditForm::UpdateStudy) << true;
    }
    void okAfterOperation()
    {
        QFETCH(int, operation);
        QFETCH(bool, assigns);
        PanelHost h;
        h.dose.assignmentMode = AssignmentMode(2);
        QSignalSpy refresh(&h.selection, &StoreSelection::imageListRefreshRequested);
        EditForm::Job job;
        job.operation = qint16(operation);
        job.procedure = QStringLiteral("test");
        job.work = [](EditForm &) {};
        EditForm form(*h.ts(), job, &h.hooks);
        form.show();
        QVERIFY(waitUntil([&] { return form.isDone(); }, 5000));
        form.findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
        QCOMPARE(refresh.count(), assigns ? 1 : 0);
        QCOMPARE(h.hooks.closedOperation, qint16(-1));
    }
};

QTEST_MAIN(TestImportOk)
#include "test_importok.moc"
