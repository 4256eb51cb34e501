// Import of image files and DICOMDIRs into the data manager's input folder: pydicom's real
// DICOMDIR variants on a copy whose every byte is checked afterwards, the names CD and DVD
// drives show, references and UIDs that try to leave their folders, objects that are not
// images (pydicom's reports, RT objects, a medium made by dcmmkdir), duplicates, the
// progress window through the panel, and the real data manager: started by the import
// when it is not running, filing what was imported, and what waited when it could not.
#include "../companions/CompanionTestKit.h"
#include "RecordingProgress.h"
#include "Requires.h"
#include "StoreFixture.h"
#include "TestStation.h"
#include "Wait.h"
#include "core/AppError.h"
#include "core/Companions.h"
#include "core/Database.h"
#include "dicom/DicomDir.h"
#include "io/ImageImport.h"
#include "io/ImportExportCommands.h"
#include "store/ImageFiler.h"
#include "store/Schema.h"
#include "store/StoreSelection.h"
#include "ui/CommandIds.h"
#include "ui/CommandTable.h"
#include "ui/EditForm.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {

const QString DirTests = QStringLiteral("dicomdirtests");

QString sourceTree() { return QDir(pydicomTestFiles()).filePath(DirTests); }

// Every file below a folder with its checksum (links as their target text).
QMap<QString, QByteArray> checksums(const QString &root)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        const QFileInfo fi(f);
        out.insert(QDir(root).relativeFilePath(f),
                   fi.isSymLink() ? fi.symLinkTarget().toUtf8()
                                  : QCryptographicHash::hash(readFile(f), QCryptographicHash::Md5));
    }
    return out;
}

bool copyTree(const QString &from, const QString &to)
{
    return kit::runTool(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}) == 0;
}

// Renames every file and folder below root to lower case, deepest first (a CD read on Linux).
void lowerCaseTree(const QString &root)
{
    QStringList all;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        all << it.next();
    std::sort(all.begin(), all.end(), [](const QString &a, const QString &b) { return a.count('/') > b.count('/'); });
    for (const QString &p : all) {
        const QFileInfo fi(p);
        QDir(fi.path()).rename(fi.fileName(), fi.fileName().toLower());
    }
}

QStringList inputFiles(Station &s)
{
    return QDir(s.paths().tempDir()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// The SOP Instance UIDs DCMTK finds in the files a DICOMDIR names (dcmdump reads them).
QSet<QString> uidsOfFiles(const QStringList &files)
{
    QSet<QString> out;
    for (const QString &f : files) {
        QString text;
        if (kit::runTool(QStringLiteral("dcmdump"), {QStringLiteral("+P"), QStringLiteral("0008,0018"), f}, &text) != 0)
            continue;
        const int a = text.indexOf('['), b = text.indexOf(']');
        if (a >= 0 && b > a)
            out << text.mid(a + 1, b - a - 1).trimmed();
    }
    return out;
}

QString errorLog(Station &s) { return QString::fromUtf8(readFile(s.log().errorLogPath())); }

// The panel on a window of its own with the real command table; the progress window is
// driven to its end and its text kept.
struct PanelHarness {
    // dataManagerRunning: the test process stands in for a running data manager, so the
    // import starts none.
    explicit PanelHarness(Station &s, bool dataManagerRunning = true)
    {
        if (dataManagerRunning)
            s.dataManagerPid = QCoreApplication::applicationPid();
        commands = new CommandTable(&window);
        MainCommands::build(*commands, &window);
        panel = new ImportExportCommands(s, selection, *commands, hooks, &window);
        panel->execDialog = [this](QDialog &d) {
            auto &f = static_cast<EditForm &>(d);
            captions << f.windowTitle();
            f.show();
            if (!waitUntil([&] { return f.isDone(); }, 60000))
                return -1;
            texts << f.progressText();
            maximum = f.findChild<QProgressBar *>(QStringLiteral("pb1"))->maximum();
            f.findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
            return f.result();
        };
    }
    QMainWindow window;
    CommandTable *commands = nullptr;
    MainHooks hooks;
    StoreSelection selection;
    ImportExportCommands *panel = nullptr;
    QStringList captions;
    QStringList texts;
    int maximum = -1;
};

} // namespace

class TestImport : public QObject {
    Q_OBJECT

    QTemporaryDir m_media; // a copy of pydicom's DICOMDIR tree, as on a CD
    QString m_tree;
    QMap<QString, QByteArray> m_before;

private slots:
    void initTestCase()
    {
        if (pydicomTestFiles().isEmpty())
            CALVAREX_MISSING("python3-pydicom is not installed");
        m_tree = m_media.filePath(DirTests);
        QVERIFY(copyTree(sourceTree(), m_tree));
        kit::runTool(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("a-w"), m_tree});
        m_before = checksums(m_tree);
        QVERIFY(m_before.size() > 80);
    }

    void cleanupTestCase()
    {
        if (!m_tree.isEmpty()) {
            // Nothing on the medium was written, moved or deleted by any import.
            QCOMPARE(checksums(m_tree), m_before);
            kit::runTool(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), m_media.path()});
        }
    }

    void dicomDirVariants_data()
    {
        QTest::addColumn<QString>("dicomDir");
        QTest::addColumn<int>("images");
        QTest::addColumn<int>("refused");
        QTest::newRow("DCMTK") << "DICOMDIR" << 31 << 0;
        QTest::newRow("big endian") << "DICOMDIR-bigEnd" << 31 << 0;
        QTest::newRow("implicit VR") << "DICOMDIR-implicit" << 31 << 0;
        QTest::newRow("no offsets") << "DICOMDIR-nooffset" << 31 << 0;
        QTest::newRow("records reordered") << "DICOMDIR-reordered" << 31 << 0;
        // pydicom's tiny file-set: CT objects without pixel data, none of them an image.
        QTest::newRow("TINY_ALPHA") << "TINY_ALPHA/DICOMDIR" << 0 << 50;
        QTest::newRow("empty") << "DICOMDIR-empty.dcm" << 0 << 0;
    }
    void dicomDirVariants()
    {
        QFETCH(QString, dicomDir);
        QFETCH(int, images);
        QFETCH(int, refused);
        TestStation ts;
        RecordingProgress progress;
        const auto r = ImageImport(ts->paths(), ts->log(), progress).importDicomDir(QDir(m_tree).filePath(dicomDir));
        QCOMPARE(r.imported, images);
        QCOMPARE(r.failed, refused);
        QCOMPARE(progress.maximum, images + refused);
        QCOMPARE(progress.value, images + refused);
        if (refused == 0) {
            QCOMPARE(progress.text, QStringLiteral("Importing DICOM-Dir ... OK\n%1 image(s) imported\n").arg(images));
        } else {
            // Each refusal listed with its reason (the first twenty), the rest counted.
            const QStringList lines = progress.text.split('\n', Qt::SkipEmptyParts);
            QCOMPARE(
                lines.mid(0, 3),
                (QStringList{"Importing DICOM-Dir ... OK", QStringLiteral("%1 image(s) imported").arg(images),
                             QStringLiteral("%1 image(s) could not be imported (see the error log).").arg(refused)}));
            QCOMPARE(lines.size(), 3 + 20 + 1);
            for (const QString &line : lines.mid(3, 20))
                QVERIFY2(line.contains(" not imported: it holds no image: no pixel data (CT Image Storage, "
                                       "1.2.840.10008.5.1.4.1.1.2)"),
                         qPrintable(line));
            QCOMPARE(lines.last(), QStringLiteral("  ... and %1 more (see the error log)").arg(refused - 20));
            QCOMPARE(errorLog(*ts).count("no pixel data"), refused);
        }

        // The input folder holds exactly the images DCMTK finds behind the references, each
        // named by its own SOP Instance UID.
        const QStringList written = inputFiles(*ts);
        QCOMPARE(written.size(), images);
        if (images == 0)
            return;
        QStringList sources;
        for (const auto &rec : dicom::readDicomDir(QDir(m_tree).filePath(dicomDir)))
            sources << ImageImport::resolveReferencedFile(QFileInfo(QDir(m_tree).filePath(dicomDir)).path(),
                                                          rec.fileId);
        QSet<QString> expected;
        for (const QString &uid : uidsOfFiles(sources))
            expected << uid + QStringLiteral(".dcm");
        QCOMPARE(QSet<QString>(written.begin(), written.end()), expected);
    }

    // The names CD and DVD file systems show for "IM000001": every file of the medium
    // (the DICOMDIR too) renamed so, folders in the drive's case.
    void cdFileNames_data()
    {
        QTest::addColumn<QString>("pattern"); // %1: the name the DICOMDIR gives
        QTest::addColumn<bool>("lower");
        QTest::newRow("NAME.;1") << "%1.;1" << false;
        QTest::newRow("NAME.") << "%1." << false;
        QTest::newRow("NAME;1") << "%1;1" << false;
        QTest::newRow("name.;1") << "%1.;1" << true;
        QTest::newRow("name;1") << "%1;1" << true;
        QTest::newRow("name") << "%1" << true;
    }
    void cdFileNames()
    {
        QFETCH(QString, pattern);
        QFETCH(bool, lower);
        QTemporaryDir dir;
        const QString tree = dir.filePath(QStringLiteral("cd"));
        QVERIFY(copyTree(sourceTree(), tree));
        if (lower)
            lowerCaseTree(tree);
        QStringList files;
        QDirIterator it(tree, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next();
        for (const QString &f : files) {
            const QFileInfo fi(f);
            if (pattern.arg(fi.fileName()) != fi.fileName())
                QVERIFY(QDir(fi.path()).rename(fi.fileName(), pattern.arg(fi.fileName())));
        }
        const QString dicomDir = tree + "/" + pattern.arg(lower ? "dicomdir" : "DICOMDIR");
        QVERIFY(QFile::exists(dicomDir));

        TestStation ts;
        RecordingProgress progress;
        const auto r = ImageImport(ts->paths(), ts->log(), progress).importDicomDir(dicomDir);
        QCOMPARE(progress.text, QStringLiteral("Importing DICOM-Dir ... OK\n31 image(s) imported\n"));
        QCOMPARE(r.failed, 0);
        // The very images of the medium as it was named before.
        QStringList sources;
        for (const auto &rec : dicom::readDicomDir(QDir(m_tree).filePath("DICOMDIR")))
            sources << ImageImport::resolveReferencedFile(m_tree, rec.fileId);
        QSet<QString> expected;
        for (const QString &uid : uidsOfFiles(sources))
            expected << uid + QStringLiteral(".dcm");
        const QStringList written = inputFiles(*ts);
        QCOMPARE(QSet<QString>(written.begin(), written.end()), expected);
    }

    void notADicomDirFails_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("an image") << QStringLiteral("77654033/CR1/6154");
        QTest::newRow("a text file") << QStringLiteral("README.txt");
    }
    void notADicomDirFails()
    {
        QFETCH(QString, file);
        TestStation ts;
        PanelHarness h(*ts);
        ts.prompter.files = {{QDir(m_tree).filePath(file)}};
        h.commands->run(QString::fromLatin1(Cmd::ImportDir));
        QCOMPARE(h.captions, QStringList{"Import DICOM-Dir"});
        QCOMPARE(h.texts, QStringList{"Importing DICOM-Dir ... failed\nTasks done."});
        QVERIFY(errorLog(*ts).contains("[EditForm ImportDirTimer]"));
        // No message box: the window says it.
        for (const auto &shown : ts.prompter.shown)
            QVERIFY(shown.kind != QStringLiteral("message"));
        QVERIFY(inputFiles(*ts).isEmpty());
    }

    void referencesLeavingTheFolderAreRefused()
    {
        QTemporaryDir dir;
        const QString tree = dir.filePath(QStringLiteral("cd"));
        QVERIFY(copyTree(sourceTree(), tree));
        // A DICOM file outside the medium that the references try to reach.
        QVERIFY(QFile::copy(tree + "/77654033/CR1/6154", dir.filePath("outside.dcm")));
        const QString dicomDir = tree + QStringLiteral("/DICOMDIR");
        QCOMPARE(
            kit::runTool("dcmodify", {"-nb", "-imt", "-m", "(0004,1220)[*].(0004,1500)=..\\outside.dcm", dicomDir}), 0);
        TestStation ts;
        RecordingProgress progress;
        auto r = ImageImport(ts->paths(), ts->log(), progress).importDicomDir(dicomDir);
        QCOMPARE(r.imported, 0);
        QCOMPARE(r.failed, 31);
        QVERIFY(
            progress.text.contains("0 image(s) imported\n31 image(s) could not be imported (see the error log).\n"
                                   "  Referenced file \"..\\outside.dcm\" refused: \"..\" is not a plain file name\n"));
        QVERIFY(errorLog(*ts).contains("refused"));
        QVERIFY(inputFiles(*ts).isEmpty());

        // A link inside the medium that points out of it.
        const QString tree2 = dir.filePath(QStringLiteral("cd2"));
        QVERIFY(copyTree(sourceTree(), tree2));
        QVERIFY(QFile::remove(tree2 + "/77654033/CR1/6154"));
        QVERIFY(QFile::link(dir.filePath("outside.dcm"), tree2 + "/77654033/CR1/6154"));
        r = ImageImport(ts->paths(), ts->log(), progress).importDicomDir(tree2 + "/DICOMDIR");
        QCOMPARE(r.imported, 30);
        QCOMPARE(r.failed, 1);
    }

    void resolveReferencedFile_data()
    {
        QTest::addColumn<QStringList>("fileId");
        QTest::addColumn<QString>("expected"); // empty: refused
        QTest::newRow("exact") << QStringList{"77654033", "CR1", "6154"} << "77654033/CR1/6154";
        QTest::newRow("other case") << QStringList{"77654033", "cr1", "6154"} << "77654033/CR1/6154";
        QTest::newRow("empty component skipped") << QStringList{"77654033", "", "CR1", "6154"} << "77654033/CR1/6154";
        QTest::newRow("dot dot") << QStringList{"..", "dicomdirtests", "77654033", "CR1", "6154"} << QString();
        QTest::newRow("inner dot dot") << QStringList{"77654033", "..", "77654033", "CR1", "6154"} << QString();
        QTest::newRow("slash inside") << QStringList{"77654033/CR1", "6154"} << QString();
        QTest::newRow("absolute") << QStringList{"/etc/passwd"} << QString();
        QTest::newRow("drive") << QStringList{"C:", "x"} << QString();
        QTest::newRow("a folder") << QStringList{"77654033", "CR1"} << QString();
        QTest::newRow("missing") << QStringList{"77654033", "CR9", "1"} << QString();
        QTest::newRow("nothing") << QStringList{"", ""} << QString();
    }
    void resolveReferencedFile()
    {
        QFETCH(QStringList, fileId);
        QFETCH(QString, expected);
        if (expected.isEmpty()) {
            QVERIFY_THROWS_EXCEPTION(AppError, ImageImport::resolveReferencedFile(m_tree, fileId));
        } else {
            QCOMPARE(ImageImport::resolveReferencedFile(m_tree, fileId),
                     QFileInfo(QDir(m_tree).filePath(expected)).canonicalFilePath());
        }
    }

    void badUidsAreRefused_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("value");
        QTest::newRow("SOP UID leading out") << "(0008,0018)"
                                             << "../../Data/TqUser.dat";
        QTest::newRow("SOP UID with a slash") << "(0008,0018)"
                                              << "1.2/3";
        QTest::newRow("no SOP UID") << "(0008,0018)"
                                    << "";
        QTest::newRow("study UID") << "(0020,000D)"
                                   << "1.2.x";
        QTest::newRow("no series UID") << "(0020,000E)"
                                       << "";
    }
    void badUidsAreRefused()
    {
        QFETCH(QString, tag);
        QFETCH(QString, value);
        TestStation ts;
        QTemporaryDir dir;
        const QString bad = dir.filePath("bad.dcm");
        StoreFixture::writeSmallImage(bad, "1.2.3", "1.2.3.1", "1.2.3.1.1", 1);
        // (dcmodify keeps the meta information's copy of the SOP UID in step.)
        if (value.isEmpty())
            QVERIFY(kit::eraseElement(bad, tag));
        else
            QVERIFY(kit::modify(bad, {tag + "=" + value}));
        const QString good = dir.filePath("good.dcm");
        StoreFixture::writeSmallImage(good, "1.2.3", "1.2.3.1", "1.2.3.1.2", 2);

        RecordingProgress progress;
        const auto r = ImageImport(ts->paths(), ts->log(), progress).importFiles({bad, good});
        QCOMPARE(r.imported, 1);
        QCOMPARE(r.failed, 1);
        // The refused file listed under the counts, with its reason.
        const QStringList lines = progress.text.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.mid(0, 3), (QStringList{"Importing image(s) ... OK", "1 image(s) successfully imported.",
                                               "1 file(s) could not be imported (see the error log)."}));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[3].startsWith("  \"" + bad + "\" cannot be imported: ") && lines[3].contains(" UID "),
                 qPrintable(lines[3]));
        QCOMPARE(inputFiles(*ts), QStringList{"1.2.3.1.2.dcm"});
        QVERIFY(errorLog(*ts).contains("[EditForm ImportTimer ERROR_IMPORT_MULTI]"));
        // Nothing landed anywhere else in the station folder.
        QVERIFY(!QFile::exists(ts->paths().dataDir() + "/TqUser.dat.dcm"));
        QVERIFY(!QFile::exists(ts.root() + "/Data/TqUser.dat.dcm"));
    }

    // Objects that are not images never reach the store: each is listed with the reason,
    // the image beside it is imported.
    void nonImagesAreRefused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("RT plan") << "rtplan.dcm"
                                 << "it is not an image (RT Plan Storage, 1.2.840.10008.5.1.4.1.1.481.5)";
        QTest::newRow("RT structure set")
            << "rtstruct.dcm"
            << "it is not an image (RT Structure Set Storage, 1.2.840.10008.5.1.4.1.1.481.3)";
        QTest::newRow("RT dose") << "rtdose.dcm"
                                 << "it is not an image (RT Dose Storage, 1.2.840.10008.5.1.4.1.1.481.2)";
        QTest::newRow("comprehensive SR")
            << "test-SR.dcm"
            << "it is not an image (Comprehensive SR Storage, 1.2.840.10008.5.1.4.1.1.88.33)";
        QTest::newRow("basic text SR") << "reportsi.dcm"
                                       << "it is not an image (Basic Text SR Storage, 1.2.840.10008.5.1.4.1.1.88.11)";
        QTest::newRow("ECG") << "waveform_ecg.dcm"
                             << "it is not an image (Twelve Lead ECG Waveform Storage, 1.2.840.10008.5.1.4.1.1.9.1.1)";
        QTest::newRow("CT without pixels")
            << "-CT_small.dcm"
            << "it holds no image: no pixel data (CT Image Storage, 1.2.840.10008.5.1.4.1.1.2)";
    }
    void nonImagesAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        TestStation ts;
        QTemporaryDir dir;
        QString path = kit::testFile(file);
        if (file.startsWith('-')) {
            // A real image whose pixel data was taken out.
            path = dir.filePath(file.mid(1));
            QVERIFY(QFile::copy(kit::testFile(file.mid(1)), path));
            QVERIFY(kit::eraseElement(path, "(7fe0,0010)"));
        }
        const QString good = dir.filePath("good.dcm");
        StoreFixture::writeSmallImage(good, "1.2.3", "1.2.3.1", "1.2.3.1.2", 2);

        PanelHarness h(*ts);
        ts.prompter.files = {{path, good}};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        QCOMPARE(h.texts,
                 QStringList{QStringLiteral("Importing image(s) ... OK\n1 image(s) successfully imported.\n"
                                            "1 file(s) could not be imported (see the error log).\n"
                                            "  \"%1\" not imported: %2; the store keeps images only\nTasks done.")
                                 .arg(path, reason)});
        QCOMPARE(inputFiles(*ts), QStringList{"1.2.3.1.2.dcm"});
        QVERIFY(errorLog(*ts).contains(reason));

        // Alone, too.
        RecordingProgress progress;
        const auto r = ImageImport(ts->paths(), ts->log(), progress).importFiles({path});
        QCOMPARE(r.imported, 0);
        QCOMPARE(r.reasons,
                 QStringList{QStringLiteral("\"%1\" not imported: %2; the store keeps images only").arg(path, reason)});
        QCOMPARE(inputFiles(*ts), QStringList{"1.2.3.1.2.dcm"});
    }

    // A medium made by DCMTK's dcmmkdir with a report and an RT plan beside an image: their
    // records are not passed over in silence but refused with the reason.
    void nonImageRecordsOfADicomDir()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("CD/OBJ")));
        QCOMPARE(kit::runTool("dcmconv", {"+te", kit::testFile("CT_small.dcm"), dir.filePath("CD/OBJ/IM000001")}), 0);
        QCOMPARE(kit::runTool("dcmconv", {"+te", kit::testFile("test-SR.dcm"), dir.filePath("CD/OBJ/SR000001")}), 0);
        QCOMPARE(kit::runTool("dcmconv", {"+te", kit::testFile("rtplan.dcm"), dir.filePath("CD/OBJ/RP000001")}), 0);
        QString out;
        QCOMPARE(kit::runTool("dcmmkdir",
                              {"+I", "+id", dir.filePath("CD"), "+D", dir.filePath("CD/DICOMDIR"), "OBJ/IM000001",
                               "OBJ/SR000001", "OBJ/RP000001"},
                              &out),
                 0);
        QCOMPARE(kit::runTool("dcmdump", {dir.filePath("CD/DICOMDIR")}, &out), 0);
        QVERIFY(out.contains("[SR DOCUMENT]") && out.contains("[RT PLAN]"));

        TestStation ts;
        RecordingProgress progress;
        const auto r = ImageImport(ts->paths(), ts->log(), progress).importDicomDir(dir.filePath("CD/DICOMDIR"));
        QCOMPARE(r.imported, 1);
        QCOMPARE(r.failed, 2);
        QCOMPARE(progress.maximum, 3);
        const QString sr = QFileInfo(dir.filePath("CD/OBJ/SR000001")).canonicalFilePath();
        const QString rp = QFileInfo(dir.filePath("CD/OBJ/RP000001")).canonicalFilePath();
        QCOMPARE(
            progress.text,
            QStringLiteral(
                "Importing DICOM-Dir ... OK\n1 image(s) imported\n2 image(s) could not be imported (see the error "
                "log).\n"
                "  \"%1\" not imported: it is not an image (Comprehensive SR Storage, 1.2.840.10008.5.1.4.1.1.88.33); "
                "the store keeps images only\n"
                "  \"%2\" not imported: it is not an image (RT Plan Storage, 1.2.840.10008.5.1.4.1.1.481.5); "
                "the store keeps images only\n")
                .arg(sr, rp));
        QCOMPARE(inputFiles(*ts), QStringList{uidsOfFiles({kit::testFile("CT_small.dcm")}).values().first() + ".dcm"});
    }

    void severalFilesWithDuplicates()
    {
        TestStation ts;
        QTemporaryDir dir;
        QStringList files;
        for (int i = 1; i <= 3; ++i) {
            files << dir.filePath(QStringLiteral("f%1.dcm").arg(i));
            StoreFixture::writeSmallImage(files.last(), "1.2.3", "1.2.3.1", QStringLiteral("1.2.3.1.%1").arg(i), i);
        }
        // One of them was imported before and still waits in the input folder.
        QDir().mkpath(ts->paths().tempDir());
        const QString earlier = ts->paths().tempDir() + "/1.2.3.1.2.dcm";
        QVERIFY(QFile::copy(files[1], earlier));
        const QByteArray earlierBytes = readFile(earlier);
        {
            QFile f(earlier);
            QVERIFY(f.open(QIODevice::Append));
            QVERIFY(f.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0)), QFileDevice::FileModificationTime));
        }
        // And a fourth file carries the same UID as the first.
        files << dir.filePath("copy.dcm");
        QVERIFY(QFile::copy(files[0], files[3]));

        PanelHarness h(*ts);
        ts.prompter.files = {files};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        QCOMPARE(h.captions, QStringList{"Import image(s)"});
        QCOMPARE(h.texts, QStringList{"Importing image(s) ... OK\n4 image(s) successfully imported.\nTasks done."});
        QCOMPARE(h.maximum, 4);
        QCOMPARE(inputFiles(*ts), (QStringList{"1.2.3.1.1.dcm", "1.2.3.1.2.dcm", "1.2.3.1.3.dcm"}));
        QCOMPARE(readFile(earlier), earlierBytes);
        QCOMPARE(QFileInfo(earlier).lastModified().date(), QDate(2020, 1, 1));
    }

    void singleFileAndNotDicom()
    {
        TestStation ts;
        PanelHarness h(*ts);
        // One file: a single-file import, also when it is not DICOM.
        QTemporaryDir dir;
        const QString text = dir.filePath("notes.dcm");
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not an image at all\n");
        f.close();
        ts.prompter.files = {{text}};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        QVERIFY2(h.texts.last().startsWith("Importing image(s) ... OK\n0 image(s) successfully imported.\n"
                                           "1 file(s) could not be imported (see the error log).\n  "),
                 qPrintable(h.texts.last()));
        QVERIFY(h.texts.last().contains(text));
        QVERIFY(h.texts.last().endsWith("\nTasks done."));
        QVERIFY(errorLog(*ts).contains("[EditForm ImportTimer ERROR_IMPORT_SINGLE]"));

        // A real-world file of pydicom's.
        ts.prompter.files = {{QDir(pydicomTestFiles()).filePath("CT_small.dcm")}};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        QCOMPARE(h.texts.last(),
                 QStringLiteral("Importing image(s) ... OK\n1 image(s) successfully imported.\nTasks done."));
        QCOMPARE(inputFiles(*ts).size(), 1);

        // Cancelling the dialog does nothing.
        ts.prompter.files = {};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        h.commands->run(QString::fromLatin1(Cmd::ImportDir));
        QCOMPARE(h.texts.size(), 2);
    }

    // The import finds no data manager for this station: it starts one, says so, and the
    // images reach the store.
    void filedByTheDataManager()
    {
        kit::LiveStation live(freeTcpPort());
        QCOMPARE(Companions::FindProcess(Companions::dataManagerName(), live->paths().appPath()), 0);
        PanelHarness h(*live, false);
        live.prompter.files = {{QDir(m_tree).filePath("DICOMDIR")}};
        h.commands->run(QString::fromLatin1(Cmd::ImportDir));
        QCOMPARE(
            h.texts,
            QStringList{"Importing DICOM-Dir ... OK\n31 image(s) imported\nThe data manager TqDataMgr was not "
                        "running and has been started: it files the images from the input folder now.\nTasks done."});
        const qint64 pid = Companions::FindProcess(Companions::dataManagerName(), live->paths().appPath());
        QVERIFY(pid != 0);
        QCOMPARE(live->dataManagerPid, pid);

        QVERIFY(waitUntil([&] { return kit::count(*live, "SELECT COUNT(*) FROM tblImages") == 31; }, 60000));
        QVERIFY(waitUntil([&] { return inputFiles(*live).isEmpty(); }, 10000));
        QCOMPARE(kit::storeProblems(*live), QStringList{});
        QVERIFY(kit::count(*live, "SELECT COUNT(*) FROM tblReceive") >= 1);

        // A second import finds it running: no word about it, and still one data manager.
        live.prompter.files = {{kit::testFile("CT_small.dcm")}};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        QCOMPARE(h.texts.last(),
                 QStringLiteral("Importing image(s) ... OK\n1 image(s) successfully imported.\nTasks done."));
        QCOMPARE(live->dataManagerPid, pid);
        QVERIFY(waitUntil([&] { return kit::count(*live, "SELECT COUNT(*) FROM tblImages") == 32; }, 30000));
        Companions::StopDataManager(*live);
        QVERIFY(!Companions::IsProcessAlive(pid));
    }

    // No data manager can be started: the window says where the images wait, and they
    // are filed once one runs.
    void dataManagerCannotStart()
    {
        TestStation ts;
        QTemporaryDir emptyBin;
        const QByteArray binDir = qgetenv("CALVAREX_BIN_DIR");
        qputenv("CALVAREX_BIN_DIR", emptyBin.path().toLocal8Bit());
        PanelHarness h(*ts, false);
        ts.prompter.files = {{kit::testFile("CT_small.dcm"), kit::testFile("MR_small.dcm")}};
        h.commands->run(QString::fromLatin1(Cmd::ImportImages));
        qputenv("CALVAREX_BIN_DIR", binDir);
        QCOMPARE(h.texts,
                 QStringList{QStringLiteral("Importing image(s) ... OK\n2 image(s) successfully imported.\n"
                                            "The data manager TqDataMgr is not running and could not be started. The "
                                            "images wait in the input folder %1 until it runs (View > Options > "
                                            "Communication).\nTasks done.")
                                 .arg(ts->paths().tempDir())});
        QCOMPARE(inputFiles(*ts).size(), 2);
        // No message box beside the window.
        for (const auto &shown : ts.prompter.shown)
            QVERIFY(shown.kind != QStringLiteral("message"));

        // Started later (at the next start of the station, from the Options dialog), it
        // files what waited.
        Companions::StartDataManager(*ts);
        QVERIFY(Companions::IsProcessAlive(ts->dataManagerPid));
        QVERIFY(waitUntil([&] { return kit::count(*ts, "SELECT COUNT(*) FROM tblImages") == 2; }, 60000));
        QVERIFY(waitUntil([&] { return inputFiles(*ts).isEmpty(); }, 10000));
        Companions::StopDataManager(*ts);
    }
};

QTEST_MAIN(TestImport)
#include "test_import.moc"
