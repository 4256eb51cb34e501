#pragma once
#include "core/Station.h"
#include "store/StoreDeletion.h"
#include "store/StoreSelection.h"

#include <QObject>
#include <functional>

class CommandTable;
class EditSession;
struct MainHooks;
class QDialog;
class QWidget;

// The store's delete commands: the patient of the patient list's menu, every patient, the
// highlighted study or series, and the viewer's current image. Each deletion runs in the
// progress window; the lists and the viewer learn what is gone through the store
// selection. It has no pane of its own.
class StoreDeleteCommands : public QObject {
    Q_OBJECT
public:
    StoreDeleteCommands(Station &station, StoreSelection &selection, EditSession &edits, CommandTable &commands,
                        MainHooks &hooks, QWidget *parent);

    void deletePatient();
    void deleteAllPatients();
    void deleteStudy();
    void deleteSeries();
    void deleteImage();

    // Runs a modal dialog (the progress window); tests replace it to drive the window.
    std::function<int(QDialog &)> execDialog;

private:
    void runDeletion(StoreDeletion::Target target);
    void leaveImages();

    Station &m_station;
    StoreSelection &m_state;
    EditSession &m_edits;
    MainHooks &m_hooks;
    QWidget *m_parent;
};
