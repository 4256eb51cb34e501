// Export of the viewer's images: DICOM files with and without a DICOMDIR, read back by
// DCMTK, pydicom and dciodvfy; JPEG files checked by ImageMagick; ZIP archives checked by
// unzip; the export dialog's controls, messages and settings.
#include "../companions/CompanionTestKit.h"
#include "RecordingProgress.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "Wait.h"
#include "core/AppError.h"
#include "io/ExportForm.h"
#include "io/ImageExport.h"
#include "io/ImportExportPanel.h"
#include "io/ZipPacker.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QtTest>

namespace {

// Every file below a folder, relative, sorted.
QStringList filesBelow(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QStringList relative(const QString &root, const QStringList &files)
{
    QStringList out;
    for (const QString &f : files)
        out << QDir(root).relativeFilePath(f);
    return out;
}

// Two studies of mammograms: three images and two, the second study's patient with a
// name in UTF-8 and a birth date.
struct Viewer {
    explicit Viewer(const QString &folder)
    {
        int n = 0;
        for (int s = 0; s < 2; ++s) {
            const QString study = QStringLiteral("1.2.826.0.1.3680043.9.7777.%1").arg(s + 1);
            studyUids << study;
            for (int i = 0; i < 3 - s; ++i) {
                StoreFixture::Mammogram m;
                m.size = QSize(120, 150);
                m.studyUid = study;
                m.seriesUid = study + QStringLiteral(".1");
                m.sopUid = study + QStringLiteral(".1.%1").arg(i + 1);
                m.instanceNumber = i + 1;
                m.seed = quint32(++n);
                m.laterality = i % 2 ? 'L' : 'R';
                m.patientId = QStringLiteral("P%1").arg(s + 1);
                files << QDir(folder).filePath(QStringLiteral("img%1.dcm").arg(n));
                StoreFixture::writeMammogram(files.last(), m);
                sopUids << m.sopUid;
            }
        }
    }
    QStringList files;
    QStringList sopUids;
    QStringList studyUids;
};

QString errorLog(Station &s) { return QString::fromUtf8(readFile(s.log().errorLogPath())); }

// The "Error" lines dciodvfy reports for a file.
QStringList dciodvfyErrors(const QString &file)
{
    QString out;
    if (kit::runTool(QStringLiteral("dciodvfy"), {file}, &out) < 0 || out.trimmed().isEmpty())
        return {QStringLiteral("dciodvfy did not run")};
    QStringList errors;
    for (const QString &line : out.split('\n'))
        if (line.startsWith(QStringLiteral("Error")))
            errors << line.trimmed();
    errors.sort();
    return errors;
}

QString identify(const QString &file, const QString &format)
{
    QString out;
    kit::runTool(QStringLiteral("identify"), {QStringLiteral("-format"), format, file}, &out);
    return out.trimmed();
}

// Debian's own interpreter: python3-pydicom is installed for it.
QString python(const QString &script, const QStringList &args)
{
    QString out;
    const int rc = kit::runTool(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + args, &out);
    return rc == 0 ? out.trimmed() : QStringLiteral("python failed: ") + out;
}

// Drives the export dialog: fills it, presses Export, keeps what it showed.
struct FormDriver {
    QString directory;
    bool dicomDir = false;
    bool compress = false;
    int slider = -1;
    bool stillOpen = false;
    std::function<void(ExportForm &)> before;
    ImageExport::Result result;

    std::function<int(QDialog &)> exec()
    {
        return [this](QDialog &d) {
            auto &f = static_cast<ExportForm &>(d);
            f.clock = [] { return QTime(9, 5, 7); };
            f.show();
            f.findChild<QLineEdit *>("txtExportDir")->setText(directory);
            f.findChild<QCheckBox *>("chkDicomDir")->setChecked(dicomDir);
            f.findChild<QCheckBox *>("chkCompress")->setChecked(compress);
            if (slider > 0)
                f.findChild<QSlider *>("sldQuality")->setValue(slider);
            if (before)
                before(f);
            f.findChild<QPushButton *>("cmdExport")->click();
            stillOpen = f.isVisible();
            result = f.lastResult();
            if (stillOpen)
                f.findChild<QPushButton *>("cmdCancel")->click();
            return f.result();
        };
    }
};

struct PanelHarness {
    explicit PanelHarness(Station &s)
    {
        commands = new CommandTable(&window);
        MainCommands::build(*commands, &window);
        panel = new ImportExportPanel(s, selection, *commands, hooks, &window);
        panel->execDialog = driver.exec();
    }
    QMainWindow window;
    CommandTable *commands = nullptr;
    MainHooks hooks;
    StoreSelection selection;
    ImportExportPanel *panel = nullptr;
    FormDriver driver;
};

} // namespace

class TestExport : public QObject {
    Q_OBJECT

private slots:
    void dicomWithDicomDir()
    {
        TestStation ts;
        QTemporaryDir src;
        Viewer v(src.path());
        // A real JPEG-compressed image among them: the medium needs it uncompressed.
        v.files.insert(1, QDir(pydicomTestFiles()).filePath("SC_rgb_jpeg_dcmtk.dcm"));
        QTemporaryDir out;
        const QString d = out.filePath(QStringLiteral("Export Ü dir"));
        QVERIFY(QDir().mkpath(d));

        PanelHarness h(*ts);
        h.selection.viewerFiles = v.files;
        h.driver.directory = d;
        h.driver.dicomDir = true;
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(ts.prompter.texts_shown(), QStringList{"Images exported!"});
        QCOMPARE(h.driver.result.failures, QStringList{});
        QCOMPARE(filesBelow(d), (QStringList{"DICOMDIR", "ST000001/IM000001", "ST000001/IM000002", "ST000001/IM000003",
                                             "ST000002/IM000001", "ST000003/IM000001", "ST000003/IM000002"}));

        // DCMTK reads the directory; every reference names its file in exactly that case.
        QString dump;
        QCOMPARE(kit::runTool("dcmdump", {"+L", d + "/DICOMDIR"}, &dump), 0);
        static const QRegularExpression ref(QStringLiteral("\\(0004,1500\\) CS \\[([^\\]]*)\\]"));
        QStringList refs;
        for (auto it = ref.globalMatch(dump); it.hasNext();)
            refs << it.next().captured(1).replace('\\', '/');
        QCOMPARE(refs.size(), 6);
        for (const QString &r : refs)
            QVERIFY2(QDir(d).entryList(QDir::Dirs).contains(r.section('/', 0, 0))
                         && QDir(d + "/" + r.section('/', 0, 0)).entryList(QDir::Files).contains(r.section('/', 1)),
                     qPrintable(r));
        QVERIFY(dump.contains("=MediaStorageDirectoryStorage"));

        // pydicom's file-set reader finds every image and loads it.
        const QString found = python(
            "import sys\nfrom pydicom.fileset import FileSet\nfs = FileSet(sys.argv[1])\n"
            "print('\\n'.join(sorted(str(i.load().SOPInstanceUID) for i in fs)))",
            {d + "/DICOMDIR"});
        QStringList expected = v.sopUids;
        expected << python("import sys, pydicom\nprint(pydicom.dcmread(sys.argv[1]).SOPInstanceUID)", {v.files[1]});
        expected.sort();
        QCOMPARE(found.split('\n'), expected);

        // dciodvfy: the directory is clean, and no image has an error its source had not.
        QCOMPARE(dciodvfyErrors(d + "/DICOMDIR"), QStringList{});
        QCOMPARE(dciodvfyErrors(d + "/ST000001/IM000001"), dciodvfyErrors(v.files[0]));
        QCOMPARE(dciodvfyErrors(d + "/ST000003/IM000002"), dciodvfyErrors(v.files[5]));
        // Explicit VR little endian, the compressed one decoded.
        QString meta;
        kit::runTool("dcmdump", {"+P", "0002,0010", d + "/ST000002/IM000001"}, &meta);
        QVERIFY2(meta.contains("=LittleEndianExplicit"), qPrintable(meta));

        // A second export into the same folder leaves the first one's folders alone.
        const QByteArray first = readFile(d + "/ST000001/IM000001");
        h.selection.viewerFiles = v.files.mid(0, 1);
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(readFile(d + "/ST000001/IM000001"), first);
        QVERIFY(QFile::exists(d + "/ST000004/IM000001"));
        QVERIFY(!QFile::exists(d + "/.DICOMDIR.part"));
        QCOMPARE(kit::runTool("dcmdump", {d + "/DICOMDIR"}, &dump), 0);
        QCOMPARE(dump.count("(0004,1500)"), 1);
    }

    void dicomWithoutDicomDir()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        RecordingProgress progress;
        ImageExport::Options o;
        o.directory = out.path();
        const auto r = ImageExport(ts->log(), progress).run(v.files, o);
        QStringList expected;
        for (int i = 0; i < v.files.size(); ++i)
            expected << v.studyUids[i < 3 ? 0 : 1] + "/" + v.sopUids[i] + ".dcm";
        QCOMPARE(relative(out.path(), r.written), expected);
        expected.sort();
        QCOMPARE(filesBelow(out.path()), expected);
        QCOMPARE(progress.maximum, 5);
        QCOMPARE(progress.value, 5);
        QCOMPARE(kit::runTool("dcmdump", {"-q", out.path() + "/" + expected[0]}), 0);
    }

    void failuresAreListed()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        // One image vanished from the store, one has a Study UID that would leave the folder.
        QVERIFY(QFile::remove(v.files[1]));
        // A name of this run's own, so that nothing else on the machine is taken for it.
        const QString escape = QFileInfo(out.path()).fileName() + "-escaped";
        QVERIFY(kit::modify(v.files[3], {"(0020,000D)=../../" + escape}));
        PanelHarness h(*ts);
        h.selection.viewerFiles = v.files;
        h.driver.directory = out.path();
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        const QStringList shown = ts.prompter.texts_shown();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].startsWith("Not everything could be exported (3 of 5 images written):\r\n\r\nimg2.dcm: "), qPrintable(shown[0]));
        QVERIFY(shown[0].contains("img4.dcm: The image has no valid Study Instance UID"));
        QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Critical);
        QCOMPARE(filesBelow(out.path()).size(), 3);
        QVERIFY(!QFile::exists(out.path() + "/../" + escape));
        QVERIFY(errorLog(*ts).contains("[ExportForm ExportDICOM]"));
    }

    void jpegWithInfoFile()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        QVERIFY(kit::modify(v.files[0], {"(0008,0005)=ISO_IR 192", "(0010,0010)=Müller^Jürgen", "(0010,0030)=19601231",
                                         "(0010,0040)=F"}));
        PanelHarness h(*ts);
        h.selection.viewerFiles = v.files;
        h.driver.directory = out.path();
        h.driver.slider = 6;
        h.driver.compress = true;
        ts.prompter.texts = {QStringLiteral("Study1")};
        h.commands->run(QString::fromLatin1(Cmd::ExportJpeg));
        QCOMPARE(ts.prompter.texts_shown(), (QStringList{"Please enter ZIP-Archive name:", "Images exported!"}));
        QCOMPARE(ts.prompter.shown[0].title, QStringLiteral("ZIP Archive"));

        QStringList jpegs;
        for (int i = 0; i < v.files.size(); ++i)
            jpegs << v.studyUids[i < 3 ? 0 : 1] + "/" + v.sopUids[i] + ".jpg";
        QStringList all = jpegs + QStringList{"Study1.zip", v.studyUids[0] + "/info.txt"};
        all.sort();
        QCOMPARE(filesBelow(out.path()), all);
        // Full size, 8-bit grey, the quality of slider 6.
        QCOMPARE(identify(out.path() + "/" + jpegs[0], "%m %w %h %z %[colorspace] %Q"), QStringLiteral("JPEG 120 150 8 Gray 60"));
        QCOMPARE(readFile(out.path() + "/" + v.studyUids[0] + "/info.txt"),
                 QStringLiteral("PATIENT_NAME=Müller^Jürgen\r\nPATIENT_ID=P1\r\nPATIENT_BIRTHDATE=%1\r\nPATIENT_SEX=F\r\n")
                     .arg(QLocale::system().toString(QDate(1960, 12, 31), QLocale::ShortFormat))
                     .toUtf8());

        // The archive holds exactly this export's pictures, in export order.
        QString list;
        QCOMPARE(kit::runTool("unzip", {"-tq", out.path() + "/Study1.zip"}), 0);
        QCOMPARE(kit::runTool("zipinfo", {"-1", out.path() + "/Study1.zip"}, &list), 0);
        QCOMPARE(list.trimmed().split('\n'), jpegs);

        // The four export values are stored.
        QSettings ini(ts.settingsFile(), QSettings::IniFormat);
        QCOMPARE(ini.value("Export/Quality").toString(), QStringLiteral("6"));
        QCOMPARE(ini.value("Export/Directory").toString(), out.path());
        QCOMPARE(ini.value("Export/DicomDir").toString(), QStringLiteral("0"));
        QCOMPARE(ini.value("Export/Compress").toString(), QStringLiteral("1"));
    }

    void archiveReplacesAnOldOne()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        // An archive of the same name from an earlier export, with other entries.
        QFile old(out.path() + "/old.txt");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();
        ZipPacker::pack(out.path() + "/090507.zip", out.path(), {old.fileName()});

        PanelHarness h(*ts);
        h.selection.viewerFiles = v.files.mid(0, 2);
        h.driver.directory = out.path();
        h.driver.compress = true;
        ts.prompter.texts = {QString()}; // an empty answer: the proposed time name
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(ts.prompter.shown[0].text, QStringLiteral("Please enter ZIP-Archive name:"));
        QCOMPARE(ts.prompter.lastText(), QStringLiteral("Images exported!"));
        QString list;
        QCOMPARE(kit::runTool("zipinfo", {"-1", out.path() + "/090507.zip"}, &list), 0);
        QCOMPARE(list.trimmed().split('\n'), relative(out.path(), h.driver.result.written));
        QCOMPARE(h.driver.result.written.size(), 2);
        // No temporary archive is left behind.
        QCOMPARE(QDir(out.path()).entryList({"*.part"}, QDir::Files | QDir::Hidden), QStringList{});
    }

    void refusedArchiveName()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        PanelHarness h(*ts);
        h.selection.viewerFiles = v.files.mid(0, 1);
        h.driver.directory = out.path();
        h.driver.compress = true;
        ts.prompter.texts = {QStringLiteral("../evil")};
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        const QStringList shown = ts.prompter.texts_shown();
        QCOMPARE(shown.size(), 2);
        QVERIFY(shown[1].contains("cannot name a ZIP-Archive"));
        QCOMPARE(ts.prompter.shown[1].icon, MsgIcon::Critical);
        QVERIFY(!shown.contains("Images exported!"));
        QCOMPARE(QDir(out.path()).entryList({"*.zip"}, QDir::Files), QStringList{});
        QVERIFY(!QFile::exists(QFileInfo(out.path()).path() + "/evil.zip"));
        QVERIFY(errorLog(*ts).contains("[ExportForm CreateZIP]"));
    }

    void archiveName_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("name"); // empty: refused
        QTest::newRow("upper-case ending kept") << "Study1.ZIP" << "Study1.ZIP";
        QTest::newRow("ending added") << "Study1" << "Study1.zip";
        QTest::newRow("trimmed") << "  Mamma 2026  " << "Mamma 2026.zip";
        QTest::newRow("empty: time") << "" << "090507.zip";
        QTest::newRow("blank: time") << "   " << "090507.zip";
        QTest::newRow("umlaut") << "Müller" << "Müller.zip";
        QTest::newRow("slash") << "a/b" << "";
        QTest::newRow("backslash") << "a\\b" << "";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("dot dot inside") << "x..zip" << "";
    }
    void archiveName()
    {
        QFETCH(QString, answer);
        QFETCH(QString, name);
        if (name.isEmpty())
            QVERIFY_THROWS_EXCEPTION(AppError, ZipPacker::archiveName(answer, QTime(9, 5, 7)));
        else
            QCOMPARE(ZipPacker::archiveName(answer, QTime(9, 5, 7)), name);
    }

    void emptyViewerAndMissingFolder()
    {
        TestStation ts;
        PanelHarness h(*ts);
        int opened = 0;
        h.panel->execDialog = [&](QDialog &) { return ++opened; };
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        h.commands->run(QString::fromLatin1(Cmd::ExportJpeg));
        QCOMPARE(opened, 0);
        QCOMPARE(ts.prompter.texts_shown(), (QStringList{"No images loaded into viewport.", "No images loaded into viewport."}));
        QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Information);

        // A cancelled folder browser empties the box; Export then reports it, the dialog
        // stays open and nothing is stored.
        ts.prompter.clear();
        QTemporaryDir src;
        Viewer v(src.path());
        h.selection.viewerFiles = v.files;
        h.panel->execDialog = h.driver.exec();
        h.driver.directory = src.path();
        h.driver.before = [&](ExportForm &f) {
            ts.prompter.folders = {QString()};
            f.findChild<QPushButton *>("cmdBrowse")->click();
            QCOMPARE(f.findChild<QLineEdit *>("txtExportDir")->text(), QString());
        };
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QVERIFY(h.driver.stillOpen);
        QCOMPARE(ts.prompter.texts_shown(), (QStringList{"Export Directory", "Export directory does not exists!"}));
        QCOMPARE(ts.prompter.shown[0].kind, QStringLiteral("folder"));
        QCOMPARE(ts.prompter.shown[1].icon, MsgIcon::Critical);
        QCOMPARE(ts.prompter.shown[1].kind, QStringLiteral("message"));
        QVERIFY(!QSettings(ts.settingsFile(), QSettings::IniFormat).contains("Export/Directory"));
    }

    void dialogLayoutAndQuality_data()
    {
        QTest::addColumn<int>("slider");
        QTest::addColumn<QString>("entry");
        QTest::newRow("3 Less") << 3 << "Less";
        QTest::newRow("5 Middle") << 5 << "Middle";
        QTest::newRow("6 keeps High") << 6 << "High";
        QTest::newRow("8 High") << 8 << "High";
        QTest::newRow("10 Max") << 10 << "Max";
    }
    void dialogLayoutAndQuality()
    {
        QFETCH(int, slider);
        QFETCH(QString, entry);
        TestStation ts;
        ExportForm jpeg(*ts, ImageExport::Jpeg, {"x"});
        jpeg.show();
        QCOMPARE(jpeg.windowTitle(), QStringLiteral("Export JPEG"));
        QVERIFY(jpeg.findChild<QGroupBox *>("frmImage")->isVisible());
        QVERIFY(!jpeg.findChild<QGroupBox *>("frmExport")->isVisible());
        QVERIFY(!jpeg.findChild<QCheckBox *>("chkDicomDir")->isVisible());
        auto *cbo = jpeg.findChild<QComboBox *>("cboQuality");
        auto *sld = jpeg.findChild<QSlider *>("sldQuality");
        // The design value and its entry.
        QCOMPARE(sld->value(), 8);
        QCOMPARE(cbo->currentText(), QStringLiteral("High"));
        sld->setValue(slider);
        QCOMPARE(jpeg.findChild<QLineEdit *>("txtQuality")->text(), QString::number(slider));
        QCOMPARE(cbo->currentText(), entry);
        // Choosing an entry moves the slider.
        cbo->setCurrentIndex(0);
        emit cbo->activated(0);
        QCOMPARE(sld->value(), 3);

        ExportForm dicom(*ts, ImageExport::Dicom, {"x"});
        dicom.show();
        QCOMPARE(dicom.windowTitle(), QStringLiteral("Export DICOM"));
        QVERIFY(!dicom.findChild<QGroupBox *>("frmImage")->isVisible());
        QVERIFY(dicom.findChild<QGroupBox *>("frmExport")->isVisible());
        QVERIFY(dicom.findChild<QCheckBox *>("chkDicomDir")->isVisible());
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
