// Export of the viewer's images: DICOM files with and without a DICOMDIR, read back by
// DCMTK, pydicom and dciodvfy (images lacking what the records need, a medium extended by
// a second export, a foreign file named DICOMDIR); JPEG files checked by ImageMagick and
// against DCMTK's own rendering of every frame; ZIP archives checked by unzip, a medium's
// read back unpacked; the export dialog's controls, messages and settings.
#include "../companions/CompanionTestKit.h"
#include "RecordingProgress.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "Wait.h"
#include "core/AppError.h"
#include "io/ExportForm.h"
#include "io/ImageExport.h"
#include "io/ImportExportCommands.h"
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
    const int rc =
        kit::runTool(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + args, &out);
    return rc == 0 ? out.trimmed() : QStringLiteral("python failed: ") + out;
}

// The files a DICOMDIR names, as dcmdump reads its Referenced File IDs ("ST000001/IM000001").
QStringList mediumRefs(const QString &dicomDir)
{
    QString dump;
    if (kit::runTool("dcmdump", {"+L", dicomDir}, &dump) != 0)
        return {QStringLiteral("dcmdump failed")};
    static const QRegularExpression ref(QStringLiteral("\\(0004,1500\\) CS \\[([^\\]]*)\\]"));
    QStringList refs;
    for (auto it = ref.globalMatch(dump); it.hasNext();)
        refs << it.next().captured(1).replace('\\', '/');
    refs.sort();
    return refs;
}

// The SOP Instance UIDs pydicom's file-set reader loads from every instance a DICOMDIR names.
QStringList pydicomFileSet(const QString &dicomDir)
{
    QString out;
    const int rc = kit::runTool(QStringLiteral("/usr/bin/python3"),
                                {"-c",
                                 "import sys\nfrom pydicom.fileset import FileSet\nfs = FileSet(sys.argv[1])\n"
                                 "print('\\n'.join(sorted(str(i.load().SOPInstanceUID) for i in fs)))",
                                 dicomDir},
                                &out);
    return rc == 0 ? out.trimmed().split('\n') : QStringList{QStringLiteral("python failed: ") + out};
}

// Errors of a that b does not have.
QStringList newErrors(const QStringList &a, const QStringList &b)
{
    QStringList out;
    for (const QString &e : a)
        if (!b.contains(e))
            out << e;
    return out;
}

// Mean difference per channel value between two pictures of one size (0..255); -1 when
// the sizes differ.
double meanDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.isNull())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_RGB888), y = b.convertToFormat(QImage::Format_RGB888);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar *p = x.constScanLine(row), *q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 3; ++i)
            sum += std::abs(int(p[i]) - int(q[i]));
    }
    return sum / (double(x.width()) * x.height() * 3);
}

QString sopOf(const QString &file)
{
    return python("import sys, pydicom\nprint(pydicom.dcmread(sys.argv[1]).SOPInstanceUID)", {file});
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
        panel = new ImportExportCommands(s, selection, *commands, hooks, &window);
        panel->execDialog = driver.exec();
    }
    QMainWindow window;
    CommandTable *commands = nullptr;
    MainHooks hooks;
    StoreSelection selection;
    ImportExportCommands *panel = nullptr;
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
        h.selection.setViewerFiles(v.files);
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
        const QString found = python("import sys\nfrom pydicom.fileset import FileSet\nfs = FileSet(sys.argv[1])\n"
                                     "print('\\n'.join(sorted(str(i.load().SOPInstanceUID) for i in fs)))",
                                     {d + "/DICOMDIR"});
        QStringList expected = v.sopUids;
        expected << python("import sys, pydicom\nprint(pydicom.dcmread(sys.argv[1]).SOPInstanceUID)", {v.files[1]});
        expected.sort();
        QCOMPARE(found.split('\n'), expected);

        // dciodvfy: the directory is clean, and no image has an error its source had not.
        QCOMPARE(kit::dciodvfyErrors(d + "/DICOMDIR"), QStringList{});
        QCOMPARE(newErrors(kit::dciodvfyErrors(d + "/ST000001/IM000001"), kit::dciodvfyErrors(v.files[0])),
                 QStringList{});
        QCOMPARE(newErrors(kit::dciodvfyErrors(d + "/ST000003/IM000002"), kit::dciodvfyErrors(v.files[5])),
                 QStringList{});
        // Explicit VR little endian, the compressed one decoded.
        QString meta;
        kit::runTool("dcmdump", {"+P", "0002,0010", d + "/ST000002/IM000001"}, &meta);
        QVERIFY2(meta.contains("=LittleEndianExplicit"), qPrintable(meta));
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
        h.selection.setViewerFiles(v.files);
        h.driver.directory = out.path();
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        const QStringList shown = ts.prompter.texts_shown();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].startsWith("Not everything could be exported (3 of 5 images written):\r\n\r\nimg2.dcm: "),
                 qPrintable(shown[0]));
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
        h.selection.setViewerFiles(v.files);
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
        QCOMPARE(identify(out.path() + "/" + jpegs[0], "%m %w %h %z %[colorspace] %Q"),
                 QStringLiteral("JPEG 120 150 8 Gray 60"));
        QCOMPARE(
            readFile(out.path() + "/" + v.studyUids[0] + "/info.txt"),
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
        h.selection.setViewerFiles(v.files.mid(0, 2));
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
        h.selection.setViewerFiles(v.files.mid(0, 1));
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

    // Images the DICOMDIR's records need values of and that lack them (type 2 elements
    // absent, no Modality): the media copy has them, every file written has its record.
    void mediumWithMissingElements_data()
    {
        QTest::addColumn<QStringList>("erase");
        QTest::addColumn<QStringList>("set");
        QTest::newRow("no Patient's Name") << QStringList{"(0010,0010)"} << QStringList{};
        QTest::newRow("no Modality") << QStringList{"(0008,0060)"} << QStringList{};
        QTest::newRow("empty Modality") << QStringList{} << QStringList{"(0008,0060)="};
        QTest::newRow("no patient, study, series or image values")
            << QStringList{"(0010,0010)", "(0010,0020)", "(0010,0030)", "(0010,0040)", "(0008,0020)", "(0008,0030)",
                           "(0008,0050)", "(0020,0010)", "(0020,0011)", "(0020,0013)", "(0008,0060)"}
            << QStringList{};
    }
    void mediumWithMissingElements()
    {
        QFETCH(QStringList, erase);
        QFETCH(QStringList, set);
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        for (const QString &tag : erase)
            kit::eraseElement(v.files[1], tag); // some the generated image never had
        QString before;
        QCOMPARE(kit::runTool("dcmdump", {v.files[1]}, &before), 0);
        for (const QString &tag : erase)
            QVERIFY2(!before.contains(tag.toLower()), qPrintable(tag));
        if (!set.isEmpty())
            QVERIFY(kit::modify(v.files[1], set));

        PanelHarness h(*ts);
        h.selection.setViewerFiles(v.files.mid(0, 3));
        h.driver.directory = out.path();
        h.driver.dicomDir = true;
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(h.driver.result.failures, QStringList{});
        QCOMPARE(ts.prompter.texts_shown(), QStringList{"Images exported!"});
        // Every file on the medium has its record, and nothing else is there.
        QStringList files = filesBelow(out.path());
        files.removeAll("DICOMDIR");
        QCOMPARE(mediumRefs(out.path() + "/DICOMDIR"), files);
        QCOMPARE(files.size(), 3);
        QCOMPARE(kit::dciodvfyErrors(out.path() + "/DICOMDIR"), QStringList{});
        QStringList expected = v.sopUids.mid(0, 3);
        expected.sort();
        QCOMPARE(pydicomFileSet(out.path() + "/DICOMDIR"), expected);

        // The copy of the changed image: a mammogram's modality, the name present and
        // empty; no error its source did not have.
        const QString copy = out.path() + "/ST000001/IM000002";
        QString dump;
        QCOMPARE(kit::runTool("dcmdump", {"+P", "0008,0060", "+P", "0010,0010", copy}, &dump), 0);
        QVERIFY2(dump.contains("(0008,0060) CS [MG]"), qPrintable(dump));
        QVERIFY2(dump.contains(erase.contains("(0010,0010)") ? "(0010,0010) PN (no value available)"
                                                             : "(0010,0010) PN [Doe^Jane]"),
                 qPrintable(dump));
        QCOMPARE(newErrors(kit::dciodvfyErrors(copy), kit::dciodvfyErrors(v.files[1])), QStringList{});
    }

    // A second export into the folder of a medium extends its DICOMDIR: the first
    // export's files stay listed and unchanged, the new ones join them, an image on the
    // medium already is not written twice.
    void secondExportExtendsTheMedium()
    {
        TestStation ts;
        QTemporaryDir src, more, out;
        Viewer v(src.path());
        PanelHarness h(*ts);
        h.selection.setViewerFiles(v.files);
        h.driver.directory = out.path();
        h.driver.dicomDir = true;
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(h.driver.result.failures, QStringList{});
        QMap<QString, QByteArray> first;
        for (const QString &f : filesBelow(out.path()))
            if (f != "DICOMDIR")
                first.insert(f, readFile(out.path() + "/" + f));
        QCOMPARE(first.size(), 5);

        // Another study, and the first image again.
        QStringList second;
        QStringList newUids;
        for (int i = 0; i < 2; ++i) {
            StoreFixture::Mammogram m;
            m.size = QSize(64, 80);
            m.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7777.9");
            m.seriesUid = m.studyUid + ".1";
            m.sopUid = m.studyUid + QStringLiteral(".1.%1").arg(i + 1);
            m.instanceNumber = i + 1;
            m.patientId = "P9";
            second << QDir(more.path()).filePath(QStringLiteral("new%1.dcm").arg(i + 1));
            StoreFixture::writeMammogram(second.last(), m);
            newUids << m.sopUid;
        }
        second.insert(1, v.files[0]);
        ts.prompter.clear();
        h.selection.setViewerFiles(second);
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(h.driver.result.failures, QStringList{});
        QCOMPARE(
            ts.prompter.texts_shown(),
            QStringList{"Images exported!\r\n\r\n1 image(s) were on the medium already and were not written again:\r\n"
                        "img1.dcm: on the medium already as ST000001\\IM000001"});
        QCOMPARE(relative(out.path(), h.driver.result.written),
                 (QStringList{"ST000003/IM000001", "ST000003/IM000002"}));

        QStringList files = filesBelow(out.path());
        files.removeAll("DICOMDIR");
        QCOMPARE(files.size(), 7);
        QCOMPARE(mediumRefs(out.path() + "/DICOMDIR"), files);
        for (auto it = first.cbegin(); it != first.cend(); ++it)
            QCOMPARE(readFile(out.path() + "/" + it.key()), it.value());
        QStringList expected = v.sopUids + newUids;
        expected.sort();
        QCOMPARE(pydicomFileSet(out.path() + "/DICOMDIR"), expected);
        QCOMPARE(kit::dciodvfyErrors(out.path() + "/DICOMDIR"), QStringList{});
        // Only the finished directory is left, no working copy.
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"DICOMDIR"});
    }

    // A file named DICOMDIR that is no DICOMDIR is not replaced: nothing is written
    // beside it, and the operator is told why.
    void foreignDicomDirIsKept()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        QFile junk(out.path() + "/DICOMDIR");
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a directory\n");
        junk.close();
        PanelHarness h(*ts);
        h.selection.setViewerFiles(v.files.mid(0, 2));
        h.driver.directory = out.path();
        h.driver.dicomDir = true;
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        const QStringList shown = ts.prompter.texts_shown();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].startsWith(QStringLiteral("Not everything could be exported (0 of 2 images written):\r\n\r\n"
                                                    "DICOMDIR: The DICOMDIR in \"%1\" cannot be extended: ")
                                         .arg(out.path())),
                 qPrintable(shown[0]));
        QVERIFY(shown[0].contains("\r\nimg1.dcm: Not written: The DICOMDIR in"));
        QVERIFY(shown[0].contains("\r\nimg2.dcm: Not written: The DICOMDIR in"));
        QCOMPARE(readFile(out.path() + "/DICOMDIR"), QByteArray("not a directory\n"));
        QCOMPARE(filesBelow(out.path()), QStringList{"DICOMDIR"});
        QCOMPARE(QDir(out.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{});
    }

    // The ZIP of a DICOMDIR export is the medium: the DICOMDIR first, with every file it
    // names (an earlier export's too), read back from the unpacked archive.
    void mediumInAZip()
    {
        TestStation ts;
        QTemporaryDir src, out, unpacked;
        Viewer v(src.path());
        PanelHarness h(*ts);
        h.selection.setViewerFiles(v.files.mid(0, 3));
        h.driver.directory = out.path();
        h.driver.dicomDir = true;
        h.driver.compress = true;
        ts.prompter.texts = {QStringLiteral("Medium1")};
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(ts.prompter.texts_shown(), (QStringList{"Please enter ZIP-Archive name:", "Images exported!"}));

        QString list;
        QCOMPARE(kit::runTool("unzip", {"-l", out.path() + "/Medium1.zip"}, &list), 0);
        QVERIFY2(list.contains(QRegularExpression("\\sDICOMDIR\\n")), qPrintable(list));
        QCOMPARE(kit::runTool("zipinfo", {"-1", out.path() + "/Medium1.zip"}, &list), 0);
        QCOMPARE(list.trimmed().split('\n'),
                 (QStringList{"DICOMDIR", "ST000001/IM000001", "ST000001/IM000002", "ST000001/IM000003"}));

        // A second export joins the medium; its archive holds the whole medium.
        ts.prompter.clear();
        h.selection.setViewerFiles(v.files.mid(3));
        ts.prompter.texts = {QStringLiteral("Medium2")};
        h.commands->run(QString::fromLatin1(Cmd::ExportDicom));
        QCOMPARE(ts.prompter.lastText(), QStringLiteral("Images exported!"));
        QCOMPARE(kit::runTool("zipinfo", {"-1", out.path() + "/Medium2.zip"}, &list), 0);
        QCOMPARE(list.trimmed().split('\n'),
                 (QStringList{"DICOMDIR", "ST000001/IM000001", "ST000001/IM000002", "ST000001/IM000003",
                              "ST000002/IM000001", "ST000002/IM000002"}));
        QCOMPARE(kit::runTool("unzip", {"-q", out.path() + "/Medium2.zip", "-d", unpacked.path()}), 0);
        QStringList expected = v.sopUids;
        expected.sort();
        QCOMPARE(pydicomFileSet(unpacked.path() + "/DICOMDIR"), expected);
        QCOMPARE(kit::dciodvfyErrors(unpacked.path() + "/DICOMDIR"), QStringList{});
        QCOMPARE(mediumRefs(unpacked.path() + "/DICOMDIR").size(), 5);
    }

    // Every frame of a multi-frame image becomes a picture of its own, each the frame
    // DCMTK's dcm2pnm shows.
    void jpegEveryFrame_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("RLE colour, 8 bits") << "SC_rgb_rle_2frame.dcm";
        QTest::newRow("RLE colour, 16 bits") << "SC_rgb_rle_16bit_2frame.dcm";
        QTest::newRow("native colour") << "-SC_rgb_rle_2frame.dcm";
    }
    void jpegEveryFrame()
    {
        QFETCH(QString, file);
        TestStation ts;
        QTemporaryDir src, out, frames;
        Viewer v(src.path());
        QString multi = kit::testFile(file);
        if (file.startsWith('-')) {
            multi = src.filePath("native.dcm");
            QCOMPARE(kit::runTool("dcmdrle", {kit::testFile(file.mid(1)), multi}), 0);
        }
        const QString sop = sopOf(multi);
        const QString study =
            python("import sys, pydicom\nprint(pydicom.dcmread(sys.argv[1]).StudyInstanceUID)", {multi});
        RecordingProgress progress;
        ImageExport::Options o;
        o.kind = ImageExport::Jpeg;
        o.directory = out.path();
        o.jpegQuality = 100;
        const auto r = ImageExport(ts->log(), progress).run({multi, v.files[0]}, o);
        QCOMPARE(r.failures, QStringList{});
        QCOMPARE(relative(out.path(), r.written),
                 (QStringList{study + "/" + sop + "_001.jpg", study + "/" + sop + "_002.jpg",
                              v.studyUids[0] + "/" + v.sopUids[0] + ".jpg"}));
        for (int n = 1; n <= 2; ++n)
            QCOMPARE(kit::runTool("dcm2pnm", {"--frame", QString::number(n), "+on", multi,
                                              frames.filePath(QStringLiteral("f%1.png").arg(n))}),
                     0);
        const QImage dcmtk1(frames.filePath("f1.png")), dcmtk2(frames.filePath("f2.png"));
        const QImage ours1(r.written[0]), ours2(r.written[1]);
        QVERIFY(!ours1.isNull() && !ours2.isNull());
        QCOMPARE(identify(r.written[0], "%m"), QStringLiteral("JPEG"));
        const double same1 = meanDifference(ours1, dcmtk1), same2 = meanDifference(ours2, dcmtk2);
        const double crossed = meanDifference(ours1, dcmtk2);
        QVERIFY2(same1 >= 0 && same1 < 6 && same2 >= 0 && same2 < 6,
                 qPrintable(QStringLiteral("%1 %2").arg(same1).arg(same2)));
        QVERIFY2(crossed > 40, qPrintable(QString::number(crossed)));
    }

    // A multi-frame image whose frames cannot all be written is listed with the reason;
    // none of its frames is left.
    void jpegFrameFailureIsListed()
    {
        TestStation ts;
        QTemporaryDir src, out;
        Viewer v(src.path());
        const QString bad = src.filePath("short.dcm");
        QCOMPARE(kit::runTool("dcmdrle", {kit::testFile("SC_rgb_rle_2frame.dcm"), bad}), 0);
        QVERIFY(kit::modify(bad, {"(0028,0008)=3", "(0008,0018)=1.2.826.0.1.3680043.9.7777.77"}));
        // Beside it an image of two frames: the count is of images, not of pictures.
        PanelHarness h(*ts);
        h.selection.setViewerFiles({bad, kit::testFile("SC_rgb_rle_2frame.dcm"), v.files[0]});
        h.driver.directory = out.path();
        h.commands->run(QString::fromLatin1(Cmd::ExportJpeg));
        const QStringList shown = ts.prompter.texts_shown();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].startsWith(
                     "Not everything could be exported (2 of 3 images written):\r\n\r\nshort.dcm: Cannot write the "
                     "frames of "),
                 qPrintable(shown[0]));
        QCOMPARE(h.driver.result.written.size(), 3);
        QVERIFY2(shown[0].endsWith("as JPEG files: its pixel data holds 2 of its 3 frames"), qPrintable(shown[0]));
        QCOMPARE(filesBelow(out.path()).filter(".jpg").size(), 3);
        QVERIFY(filesBelow(out.path()).contains(v.studyUids[0] + "/" + v.sopUids[0] + ".jpg"));
        QCOMPARE(filesBelow(out.path()).filter(sopOf(bad)), QStringList{});
        QVERIFY(errorLog(*ts).contains("[ExportForm ExportJPEG]"));
    }

    void archiveName_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("name"); // empty: refused
        QTest::newRow("upper-case ending kept") << "Study1.ZIP"
                                                << "Study1.ZIP";
        QTest::newRow("ending added") << "Study1"
                                      << "Study1.zip";
        QTest::newRow("trimmed") << "  Mamma 2026  "
                                 << "Mamma 2026.zip";
        QTest::newRow("empty: time") << ""
                                     << "090507.zip";
        QTest::newRow("blank: time") << "   "
                                     << "090507.zip";
        QTest::newRow("umlaut") << "Müller"
                                << "Müller.zip";
        QTest::newRow("slash") << "a/b"
                               << "";
        QTest::newRow("backslash") << "a\\b"
                                   << "";
        QTest::newRow("dot dot") << ".."
                                 << "";
        QTest::newRow("dot dot inside") << "x..zip"
                                        << "";
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
        QCOMPARE(ts.prompter.texts_shown(),
                 (QStringList{"No images loaded into viewport.", "No images loaded into viewport."}));
        QCOMPARE(ts.prompter.shown[0].icon, MsgIcon::Information);

        // A cancelled folder browser empties the box; Export then reports it, the dialog
        // stays open and nothing is stored.
        ts.prompter.clear();
        QTemporaryDir src;
        Viewer v(src.path());
        h.selection.setViewerFiles(v.files);
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
