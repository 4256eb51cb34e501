#include "io/ExportForm.h"

#include "core/AppError.h"
#include "core/Station.h"
#include "io/ZipPacker.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {

struct QualityLevel {
    const char *name;
    int value;
};
constexpr QualityLevel Levels[] = {{"Less", 3}, {"Middle", 5}, {"High", 8}, {"Max", 10}};

// The entry the dialog starts with for a slider value.
int levelIndexFor(int value)
{
    if (value <= 3)
        return 0;
    if (value <= 7)
        return 1;
    if (value <= 9)
        return 2;
    return 3;
}

constexpr int MaxListedFailures = 15;
} // namespace

ExportForm::ExportForm(Station &station, ImageExport::Kind kind, const QStringList &files, QWidget *parent)
    : QDialog(parent), m_station(station), m_kind(kind), m_files(files)
{
    setObjectName(QStringLiteral("ExportForm"));
    setModal(true);
    buildControls();
    // Load: the entry follows the slider's design value; the DICOM kind shows the
    // DICOMDIR box and the progress frame instead of the image properties.
    m_cboQuality->setCurrentIndex(levelIndexFor(m_sldQuality->value()));
    m_txtQuality->setText(QString::number(m_sldQuality->value()));
    if (m_kind == ImageExport::Dicom) {
        setWindowTitle(QStringLiteral("Export DICOM"));
        m_chkDicomDir->setVisible(true);
        m_frmExport->setVisible(true);
        m_frmImage->setVisible(false);
    } else {
        setWindowTitle(QStringLiteral("Export JPEG"));
    }
}

ExportForm::~ExportForm() = default;

void ExportForm::buildControls()
{
    setWindowTitle(QStringLiteral("Export"));
    auto named = [](QWidget *w, const char *name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };
    m_txtExportDir = static_cast<QLineEdit *>(named(new QLineEdit(this), "txtExportDir"));
    m_cmdBrowse = static_cast<QPushButton *>(named(new QPushButton(QStringLiteral("..."), this), "cmdBrowse"));
    m_cmdBrowse->setAutoDefault(false);
    m_chkDicomDir =
        static_cast<QCheckBox *>(named(new QCheckBox(QStringLiteral("Create DicomDir file"), this), "chkDicomDir"));
    m_chkCompress =
        static_cast<QCheckBox *>(named(new QCheckBox(QStringLiteral("Compress to ZIP file"), this), "chkCompress"));

    m_frmImage = static_cast<QGroupBox *>(named(new QGroupBox(QStringLiteral("Image properties"), this), "frmImage"));
    m_cboQuality = static_cast<QComboBox *>(named(new QComboBox(m_frmImage), "cboQuality"));
    for (const QualityLevel &l : Levels)
        m_cboQuality->addItem(QString::fromLatin1(l.name));
    m_txtQuality = static_cast<QLineEdit *>(named(new QLineEdit(m_frmImage), "txtQuality"));
    m_txtQuality->setReadOnly(true);
    m_txtQuality->setMaximumWidth(40);
    m_sldQuality = static_cast<QSlider *>(named(new QSlider(Qt::Horizontal, m_frmImage), "sldQuality"));
    m_sldQuality->setRange(1, 10);
    m_sldQuality->setPageStep(1);
    m_sldQuality->setTickPosition(QSlider::TicksBelow);
    m_sldQuality->setValue(8);
    auto *imageGrid = new QGridLayout(m_frmImage);
    imageGrid->addWidget(new QLabel(QStringLiteral("Quality:"), m_frmImage), 0, 0);
    imageGrid->addWidget(m_cboQuality, 0, 1);
    imageGrid->addWidget(m_txtQuality, 0, 2);
    imageGrid->addWidget(m_sldQuality, 1, 0, 1, 3);

    m_frmExport = static_cast<QGroupBox *>(named(new QGroupBox(QStringLiteral("Exporting"), this), "frmExport"));
    m_pbExport = static_cast<QProgressBar *>(named(new QProgressBar(m_frmExport), "pbExport"));
    m_pbExport->setValue(0);
    m_lblCount = static_cast<QLabel *>(named(new QLabel(m_frmExport), "lblCount"));
    auto *exportGrid = new QGridLayout(m_frmExport);
    exportGrid->addWidget(new QLabel(QStringLiteral("Progress:"), m_frmExport), 0, 0);
    exportGrid->addWidget(m_lblCount, 0, 1, Qt::AlignRight);
    exportGrid->addWidget(m_pbExport, 1, 0, 1, 2);

    m_cmdExport = static_cast<QPushButton *>(named(new QPushButton(QStringLiteral("Export"), this), "cmdExport"));
    m_cmdCancel = static_cast<QPushButton *>(named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel"));
    m_cmdExport->setDefault(true);
    m_cmdCancel->setAutoDefault(false);

    auto *dirRow = new QHBoxLayout;
    dirRow->addWidget(m_txtExportDir, 1);
    dirRow->addWidget(m_cmdBrowse);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdExport);
    buttons->addWidget(m_cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Export directory:"), this));
    layout->addLayout(dirRow);
    layout->addWidget(m_chkDicomDir);
    layout->addWidget(m_chkCompress);
    layout->addWidget(m_frmImage);
    layout->addWidget(m_frmExport);
    layout->addStretch(1);
    layout->addLayout(buttons);

    // Design layout: the image properties show, the DICOMDIR box and the progress do not.
    m_chkDicomDir->setVisible(false);
    m_frmExport->setVisible(false);
    resize(420, 300);

    connect(m_cmdBrowse, &QPushButton::clicked, this, &ExportForm::browse);
    connect(m_cmdExport, &QPushButton::clicked, this, &ExportForm::exportClicked);
    connect(m_cmdCancel, &QPushButton::clicked, this, &ExportForm::reject);
    connect(m_sldQuality, &QSlider::valueChanged, this, &ExportForm::sliderMoved);
    connect(m_cboQuality, &QComboBox::activated, this, &ExportForm::qualityChosen);
}

void ExportForm::qualityChosen(int index)
{
    if (index >= 0 && index < int(std::size(Levels)))
        m_sldQuality->setValue(Levels[index].value);
}

void ExportForm::sliderMoved(int value)
{
    m_txtQuality->setText(QString::number(value));
    for (int i = 0; i < int(std::size(Levels)); ++i) {
        if (Levels[i].value == value)
            m_cboQuality->setCurrentIndex(i);
    }
}

void ExportForm::browse()
{
    // A cancelled browser empties the box, as the operator then has no folder chosen.
    m_txtExportDir->setText(m_station.prompter().askFolder(QStringLiteral("Export Directory"), m_txtExportDir->text()));
}

void ExportForm::setMaximum(int maximum) { m_pbExport->setMaximum(qMax(0, maximum)); }

void ExportForm::setValue(int value)
{
    m_pbExport->setValue(value);
    m_lblCount->setText(QStringLiteral("%1 of %2").arg(value).arg(m_pbExport->maximum()));
}

void ExportForm::yield() { QCoreApplication::processEvents(); }

void ExportForm::reject()
{
    if (m_running)
        return;
    QDialog::reject();
}

void ExportForm::closeEvent(QCloseEvent *e)
{
    if (m_running) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

void ExportForm::exportClicked()
{
    const QString dir = m_txtExportDir->text();
    if (dir.trimmed().isEmpty() || !QFileInfo(dir).isDir()) {
        m_station.prompter().message(QStringLiteral("Export directory does not exists!"), MsgIcon::Critical);
        return;
    }
    m_station.trapAndShow(m_kind == ImageExport::Jpeg ? ImageExport::ProcedureJpeg : ImageExport::ProcedureDicom,
                          [&] { runExport(dir); });
    saveSettings();
    accept();
}

void ExportForm::runExport(const QString &dir)
{
    BusyGuard busy(m_station);
    m_running = true;
    const bool jpeg = m_kind == ImageExport::Jpeg;
    m_cmdExport->setEnabled(false);
    m_cmdBrowse->setEnabled(false);
    m_cmdCancel->setEnabled(false);
    m_chkDicomDir->setEnabled(false);
    m_txtExportDir->setReadOnly(true);
    if (jpeg) {
        m_frmImage->setVisible(false);
        m_frmExport->setVisible(true);
    }
    ImageExport::Options o;
    o.kind = m_kind;
    o.directory = dir;
    o.dicomDir = !jpeg && m_chkDicomDir->isChecked();
    o.jpegQuality = m_sldQuality->value() * 10;
    {
        // The controls come back before the archive name is asked for and the messages show.
        struct Restore {
            ExportForm *f;
            bool jpeg;
            ~Restore()
            {
                f->m_cmdExport->setEnabled(true);
                f->m_cmdBrowse->setEnabled(true);
                f->m_cmdCancel->setEnabled(true);
                f->m_chkDicomDir->setEnabled(true);
                f->m_txtExportDir->setReadOnly(false);
                if (jpeg) {
                    f->m_frmImage->setVisible(true);
                    f->m_frmExport->setVisible(false);
                }
                f->m_running = false;
            }
        } restore{this, jpeg};
        {
            ImageExport exporter(m_station.log(), *this);
            m_result = exporter.run(m_files, o);
        }
    }
    m_zipCode = ZipMade;
    // The archive holds what was written; a medium goes in whole, its DICOMDIR first with
    // every file it names, so that the archive unpacked is the medium. With nothing
    // written there is nothing to pack.
    const QStringList packed = m_result.dicomDirFile.isEmpty() ? m_result.written : m_result.mediumFiles;
    if (m_chkCompress->isChecked() && !packed.isEmpty())
        m_zipCode = createZip(dir, packed);

    Prompter &p = m_station.prompter();
    if (!m_result.failures.isEmpty()) {
        QStringList lines = m_result.failures.mid(0, MaxListedFailures);
        if (m_result.failures.size() > MaxListedFailures)
            lines << QStringLiteral("... and %1 more (see the error log)")
                         .arg(m_result.failures.size() - MaxListedFailures);
        p.message(QStringLiteral("Not everything could be exported (%1 of %2 images written):\r\n\r\n")
                          .arg(m_result.images)
                          .arg(m_files.size())
                      + lines.join(QStringLiteral("\r\n")),
                  MsgIcon::Critical);
    }
    if (m_zipCode == ZipMade && m_result.failures.isEmpty()) {
        QString text = QStringLiteral("Images exported!");
        if (!m_result.alreadyThere.isEmpty()) {
            QStringList lines = m_result.alreadyThere.mid(0, MaxListedFailures);
            if (m_result.alreadyThere.size() > MaxListedFailures)
                lines << QStringLiteral("... and %1 more").arg(m_result.alreadyThere.size() - MaxListedFailures);
            text += QStringLiteral("\r\n\r\n%1 image(s) were on the medium already and were not written again:\r\n")
                        .arg(m_result.alreadyThere.size())
                    + lines.join(QStringLiteral("\r\n"));
        }
        p.message(text, MsgIcon::Information);
    } else if (m_zipCode == ZipError)
        p.message(
            QStringLiteral("An unspecified error occured during ZIP compression!\r\nView log-files for information."),
            MsgIcon::Critical);
}

int ExportForm::createZip(const QString &dir, const QStringList &files)
{
    try {
        const QTime now = clock();
        const std::optional<QString> answer = m_station.prompter().askText(
            QStringLiteral("ZIP Archive"), QStringLiteral("Please enter ZIP-Archive name:"), ZipPacker::timeName(now));
        QString name;
        try {
            name = ZipPacker::archiveName(answer.value_or(QString()), now);
        } catch (const AppError &e) {
            m_station.logError(e, ProcedureZip);
            m_station.prompter().message(e.description(), MsgIcon::Critical);
            return ZipFailed;
        }
        try {
            ZipPacker::pack(QFileInfo(dir).absoluteFilePath() + QLatin1Char('/') + name, dir, files);
        } catch (const AppError &e) {
            m_station.logError(e, ProcedureZip);
            m_station.prompter().message(
                QStringLiteral("An error occured during ZIP compression!\r\nPlease try again."), MsgIcon::Critical);
            return ZipFailed;
        }
        return ZipMade;
    } catch (const std::exception &e) {
        m_station.logError(e, ProcedureZip);
        return ZipError;
    }
}

void ExportForm::saveSettings()
{
    Settings::Export &e = m_station.settings().exportValues;
    e.quality = QString::number(m_sldQuality->value());
    e.directory = m_txtExportDir->text();
    e.dicomDir = m_chkDicomDir->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    e.compress = m_chkCompress->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    m_station.settingsStore().saveExport(e);
}
