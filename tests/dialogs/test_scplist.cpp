// The storage destinations on the Options dialog: lvSCP, its menu and the AddScpForm dialog.
#include "TestStation.h"

#include "app/OptionsPages.h"
#include "core/Station.h"
#include "dialogs/OptionForm.h"
#include "net/AddScpForm.h"
#include "net/Destinations.h"
#include "net/DestinationsWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

class TestScpList : public QObject {
    Q_OBJECT
private slots:
    void addEditDeleteAndDefault();
    void doseRegistryIsMarkedInTheFormAndTheList();
    void commitmentIsAskedOfMarkedDestinations();
    void refusedFieldsKeepTheDialogOpen_data();
    void refusedFieldsKeepTheDialogOpen();
    void storedWithoutBlanksAround();
    void portBoxRefusesPastedText();
};

namespace {

// Fills AddScpForm's fields and presses its Add (or Apply) button.
std::function<int(QDialog &)> fill(const QStringList &texts, QString *title = nullptr)
{
    return [texts, title](QDialog &d) {
        auto &dlg = static_cast<AddScpForm &>(d);
        if (title)
            *title = dlg.windowTitle() + "/" + dlg.addButton()->text();
        for (int i = 0; i < 4; ++i)
            if (!texts[i].isNull())
                dlg.field(i)->setText(texts[i]);
        dlg.addButton()->click();
        return dlg.result();
    };
}

} // namespace

void TestScpList::addEditDeleteAndDefault()
{
    TestStation ts;
    OptionForm form(*ts, stationOptionsPages());
    auto *panel = form.findChild<DestinationsWidget *>();
    QVERIFY(panel);
    QTreeWidget *lv = form.findChild<QTreeWidget *>("lvSCP");
    QVERIFY(lv);
    QCOMPARE(lv->topLevelItemCount(), 0);

    QString title;
    panel->execDialog = fill({"O'Neil's PACS", "ONEIL", "10.0.0.7", "104"}, &title);
    panel->addNew();
    QCOMPARE(title, QString("Add new SCP/Add"));
    panel->execDialog = fill({"Archive", "ARCH", "127.0.0.1", "11112"});
    panel->addNew();
    QCOMPARE(lv->topLevelItemCount(), 2);
    QCOMPARE(lv->topLevelItem(0)->text(0), QString("Archive"));
    QCOMPARE(lv->topLevelItem(1)->text(0), QString("O'Neil's PACS"));
    QCOMPARE(lv->topLevelItem(1)->text(3), QString("104"));

    // The menu over empty space offers only "Add New ...".
    QMenu *menu = panel->popupFor(QPoint(5, 5000));
    QCOMPARE(menu->findChild<QAction *>("PopEditSCP")->isEnabled(), false);
    QCOMPARE(menu->findChild<QAction *>("PopAddNewSCP")->isEnabled(), true);

    lv->setCurrentItem(lv->topLevelItem(1));
    panel->execDialog = fill({QString(), "ONEIL2", QString(), QString()}, &title);
    panel->editSelected();
    QCOMPARE(title, QString("Edit SCP/Apply"));
    QCOMPARE(lv->topLevelItem(1)->text(1), QString("ONEIL2"));

    lv->setCurrentItem(lv->topLevelItem(0));
    panel->makeDefault();
    lv->setCurrentItem(lv->topLevelItem(1));
    panel->makeDefault();
    QCOMPARE(lv->topLevelItem(0)->font(0).bold(), false);
    QCOMPARE(lv->topLevelItem(1)->font(0).bold(), true);
    QCOMPARE(Destinations(*ts).defaultDestination()->aet, QString("ONEIL2"));

    lv->setCurrentItem(lv->topLevelItem(0));
    panel->deleteSelected();
    QCOMPARE(lv->topLevelItemCount(), 1);
    QCOMPARE(Destinations(*ts).list().size(), size_t(1));
}

void TestScpList::doseRegistryIsMarkedInTheFormAndTheList()
{
    TestStation ts;
    OptionForm form(*ts, stationOptionsPages());
    auto *panel = form.findChild<DestinationsWidget *>();
    QTreeWidget *lv = form.findChild<QTreeWidget *>("lvSCP");
    QCOMPARE(lv->headerItem()->text(4), QString("Dose reports"));
    QCOMPARE(AddScpForm(*ts).doseReportsBox()->text(), QString("Dose reports"));
    // Fills the fields, notes the box as the dialog opened, sets it and presses the button.
    QList<bool> opened;
    auto fillWith = [&](const QStringList &texts, bool dose) {
        return [&opened, texts, dose](QDialog &d) {
            auto *box = d.findChild<QCheckBox *>("chkDoseReports");
            if (!box)
                return -1;
            opened << box->isChecked();
            box->setChecked(dose);
            return fill(texts)(d);
        };
    };
    panel->execDialog = fillWith({"Archive", "ARCH", "127.0.0.1", "104"}, false);
    panel->addNew();
    panel->execDialog = fillWith({"Registry", "DOSEREG", "10.0.0.9", "11112"}, true);
    panel->addNew();
    QCOMPARE(opened, (QList<bool>{false, false}));
    QCOMPARE(lv->topLevelItem(0)->text(4), QString());
    QCOMPARE(lv->topLevelItem(1)->text(4), QString("yes"));
    auto registries = [&] {
        QStringList out;
        for (const Destination &d : Destinations(*ts).doseRegistries())
            out << d.aet;
        return out;
    };
    QCOMPARE(registries(), QStringList{"DOSEREG"});

    // Edit shows the flag as stored; Apply changes it, the other fields as they were.
    lv->setCurrentItem(lv->topLevelItem(1));
    panel->execDialog = fillWith({QString(), QString(), QString(), QString()}, false);
    panel->editSelected();
    lv->setCurrentItem(lv->topLevelItem(0));
    panel->execDialog = fillWith({QString(), QString(), QString(), QString()}, true);
    panel->editSelected();
    QCOMPARE(opened, (QList<bool>{false, false, true, false}));
    QCOMPARE(registries(), QStringList{"ARCH"});
    QCOMPARE(lv->topLevelItem(0)->text(4), QString("yes"));
    QCOMPARE(lv->topLevelItem(1)->text(4), QString());
    QCOMPARE(lv->topLevelItem(1)->text(1), QString("DOSEREG"));

    // Cancel leaves the flag alone.
    lv->setCurrentItem(lv->topLevelItem(0));
    panel->execDialog = [&](QDialog &d) {
        d.findChild<QCheckBox *>("chkDoseReports")->setChecked(false);
        d.findChild<QPushButton *>("cmdCancel")->click();
        return d.result();
    };
    panel->editSelected();
    QCOMPARE(registries(), QStringList{"ARCH"});
}

void TestScpList::refusedFieldsKeepTheDialogOpen_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("problem");
    QTest::newRow("port 99999") << QStringList{"PACS", "STORE", "1.2.3.4", "99999"} << 3
                                << "Port: a number from 1 to 65535";
    QTest::newRow("port 0") << QStringList{"PACS", "STORE", "1.2.3.4", "0"} << 3 << "Port: a number from 1 to 65535";
    QTest::newRow("port with a blank inside")
        << QStringList{"PACS", "STORE", "1.2.3.4", "1 04"} << 3 << "Port: digits only, a number from 1 to 65535";
    QTest::newRow("AE title of 17") << QStringList{"PACS", "STOREFORTHEARCHIV", "1.2.3.4", "104"} << 1
                                    << "AE title: at most 16 characters, this one has 17";
    QTest::newRow("AE title of blanks") << QStringList{"PACS", "   ", "1.2.3.4", "104"} << 1
                                        << "AE title: not only blanks, 1 to 16 characters";
    QTest::newRow("AE title not ASCII") << QStringList{"PACS", "ZOË", "1.2.3.4", "104"} << 1
                                        << "AE title: plain ASCII letters, digits and signs only, not \"Ë\"";
    QTest::newRow("AE title with a tab") << QStringList{"PACS", "ST\tORE", "1.2.3.4", "104"} << 1
                                         << "AE title: no control characters (tab, line break)";
    QTest::newRow("alias empty") << QStringList{"", "STORE", "1.2.3.4", "104"} << 0 << "Alias: required";
    QTest::newRow("IP with a blank inside")
        << QStringList{"PACS", "STORE", "1.2 .3.4", "104"} << 2 << "IP: Not a valid IP address or host name.";
    QTest::newRow("separator in the alias")
        << QStringList{"PA!++!CS", "STORE", "1.2.3.4", "104"} << 0 << "Alias: \"!++!\" may not be part of a field.";
}

void TestScpList::refusedFieldsKeepTheDialogOpen()
{
    QFETCH(QStringList, texts);
    QFETCH(int, field);
    QFETCH(QString, problem);
    TestStation ts;
    AddScpForm dlg(*ts);
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(dlg.field(2)->maxLength(), 15);
    QCOMPARE(dlg.field(3)->maxLength(), 5);
    for (int i = 0; i < 4; ++i)
        dlg.field(i)->setText(texts[i]);
    dlg.addButton()->click();
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.changed());
    QCOMPARE(dlg.result(), 0);
    auto *label = dlg.findChild<QLabel *>("lblProblem");
    QVERIFY(label && label->isVisible());
    QCOMPARE(label->text(), problem);
    QCOMPARE(QApplication::focusWidget(), dlg.field(field));
    dlg.layout()->activate();
    QVERIFY(label->height() >= label->heightForWidth(label->width()));
    QVERIFY(Destinations(*ts).list().empty());
}

void TestScpList::storedWithoutBlanksAround()
{
    TestStation ts;
    AddScpForm dlg(*ts);
    const QStringList texts{"Archive", "  ARCH 2 ", "127.0.0.1", " 104 "};
    for (int i = 0; i < 4; ++i)
        dlg.field(i)->setText(texts[i]);
    dlg.addButton()->click();
    QVERIFY(dlg.changed());
    const auto rows = Destinations(*ts).list();
    QCOMPARE(rows.size(), size_t(1));
    QCOMPARE(rows[0].aet, QString("ARCH 2"));
    QCOMPARE(rows[0].port, QString("104"));
    QVERIFY(dlg.field(1)->toolTip().contains("blanks before and after are dropped"));
}

void TestScpList::portBoxRefusesPastedText()
{
    TestStation ts;
    AddScpForm dlg(*ts);
    QLineEdit *port = dlg.field(3);
    for (const char *bad : {"10a4", "-104", "1 04"}) {
        port->clear();
        QApplication::clipboard()->setText(bad);
        port->paste();
        QVERIFY2(port->text().isEmpty(), bad);
    }
    QApplication::clipboard()->setText("104");
    port->paste();
    QCOMPARE(port->text(), QString("104"));
}

void TestScpList::commitmentIsAskedOfMarkedDestinations()
{
    TestStation ts;
    OptionForm form(*ts, stationOptionsPages());
    auto *panel = form.findChild<DestinationsWidget *>();
    QTreeWidget *lv = form.findChild<QTreeWidget *>("lvSCP");
    QCOMPARE(lv->headerItem()->text(5), QString("Commitment"));
    QList<bool> opened;
    auto fillWith = [&](const QStringList &texts, bool commit) {
        return [&opened, texts, commit](QDialog &d) {
            auto *box = d.findChild<QCheckBox *>("chkCommitment");
            if (!box || box->text() != QLatin1String("Ask for storage commitment"))
                return -1;
            opened << box->isChecked();
            box->setChecked(commit);
            return fill(texts)(d);
        };
    };
    panel->execDialog = fillWith({"Archive", "ARCH", "127.0.0.1", "104"}, true);
    panel->addNew();
    panel->execDialog = fillWith({"Viewer", "VIEW", "10.0.0.9", "11112"}, false);
    panel->addNew();
    QCOMPARE(lv->topLevelItem(0)->text(5), QString("yes"));
    QCOMPARE(lv->topLevelItem(1)->text(5), QString());
    // The send finds the flag by the address a "Send to" entry carries.
    Destinations d(*ts);
    QVERIFY(d.find({"127.0.0.1", "ARCH", "104"})->storageCommitment);
    QVERIFY(!d.find({"10.0.0.9", "VIEW", "11112"})->storageCommitment);
    QVERIFY(!d.find({"10.0.0.9", "VIEW", "104"}));
    // Edit shows it as stored and Apply changes it.
    lv->setCurrentItem(lv->topLevelItem(0));
    panel->execDialog = fillWith({QString(), QString(), QString(), QString()}, false);
    panel->editSelected();
    QCOMPARE(opened, (QList<bool>{false, false, true}));
    QCOMPARE(lv->topLevelItem(0)->text(5), QString());
    QVERIFY(!d.find({"127.0.0.1", "ARCH", "104"})->storageCommitment);
}

QTEST_MAIN(TestScpList)
#include "test_scplist.moc"
