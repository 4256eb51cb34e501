#pragma once
#include "core/Progress.h"
#include "io/ImageExport.h"

#include <QDialog>
#include <QStringList>
#include <QTime>
#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class Station;

// The export dialog: the viewer's images as DICOM files (optionally with a DICOMDIR) or
// as JPEG files with info.txt, optionally packed into a ZIP archive. It runs the export
// itself, with its own progress bar, and writes the "Export" settings when it ends.
class ExportForm : public QDialog, public Progress {
    Q_OBJECT
public:
    static inline const QString ProcedureZip = QStringLiteral("ExportForm CreateZIP");

    ExportForm(Station &station, ImageExport::Kind kind, const QStringList &files, QWidget *parent = nullptr);
    ~ExportForm() override;

    // ZIP result codes.
    enum ZipCode { ZipMade = 0, ZipFailed = 1, ZipRefused = 2, ZipError = 3 };

    // The clock of the proposed archive name; tests set it.
    std::function<QTime()> clock = [] { return QTime::currentTime(); };

    // What the last export did (for the tests and the log).
    const ImageExport::Result &lastResult() const { return m_result; }
    int lastZipCode() const { return m_zipCode; }

    // Progress: the "Exporting" frame.
    void append(const QString &) override {}
    void setMaximum(int maximum) override;
    void setValue(int value) override;
    void scrollToEnd() override {}
    void yield() override;

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    void buildControls();
    void browse();
    void exportClicked();
    void runExport(const QString &dir);
    int createZip(const QString &dir, const QStringList &files);
    void sliderMoved(int value);
    void qualityChosen(int index);
    void saveSettings();

    Station &m_station;
    ImageExport::Kind m_kind;
    QStringList m_files;
    ImageExport::Result m_result;
    int m_zipCode = ZipMade;
    bool m_running = false;

    QLineEdit *m_txtExportDir = nullptr;
    QPushButton *m_cmdBrowse = nullptr;
    QCheckBox *m_chkDicomDir = nullptr;
    QCheckBox *m_chkCompress = nullptr;
    QGroupBox *m_frmImage = nullptr;
    QComboBox *m_cboQuality = nullptr;
    QLineEdit *m_txtQuality = nullptr;
    QSlider *m_sldQuality = nullptr;
    QGroupBox *m_frmExport = nullptr;
    QProgressBar *m_pbExport = nullptr;
    QLabel *m_lblCount = nullptr;
    QPushButton *m_cmdExport = nullptr;
    QPushButton *m_cmdCancel = nullptr;
};
