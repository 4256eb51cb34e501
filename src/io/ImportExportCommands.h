#pragma once
#include "io/ImageExport.h"

#include <QObject>
#include <QStringList>
#include <functional>

class CommandTable;
class QDialog;
class QWidget;
class Station;
class StoreSelection;
struct MainHooks;

// File > Import and File > Export: image files and DICOMDIRs are imported into the data
// manager's input folder in the progress window; the viewer's images are exported through
// the export dialog.
class ImportExportCommands : public QObject {
    Q_OBJECT
public:
    static inline const QString ProcedureImport = QStringLiteral("EditForm ImportTimer");
    static inline const QString ProcedureImportDir = QStringLiteral("EditForm ImportDirTimer");

    ImportExportCommands(Station &station, StoreSelection &selection, CommandTable &commands, MainHooks &hooks,
                         QWidget *parent);

    // mnuImportImages, mnuImportDir, mnuExportJPEG / mnuExportDICOM.
    void importImages();
    void importDir();
    void exportImages(ImageExport::Kind kind);

    // Runs a modal dialog (the progress window, the export dialog); tests replace it to
    // drive the window.
    std::function<int(QDialog &)> execDialog;

private:
    void runImport(qint16 operation, const QString &procedure, const QStringList &files);

    Station &m_station;
    StoreSelection &m_selection;
    const MainHooks &m_hooks;
    QWidget *m_parent;
};
