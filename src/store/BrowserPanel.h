#pragma once
#include "core/Station.h"
#include "store/StoreDeletion.h"
#include "store/StoreQueries.h"
#include "store/StoreSelection.h"
#include "store/StoreStatus.h"

#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>

class CommandTable;
class Database;
class EditSession;
struct MainHooks;
class QDialog;
class QGroupBox;
class QListWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// The store browser on the main window: the patient, study, series and image lists with
// their context menus, and the update timer's patient list refresh. It builds its
// controls in one pane that the main window places. What the viewer is to load or show
// it asks through the store selection, and it follows the viewer's picks from there.
class BrowserPanel : public QObject {
    Q_OBJECT
public:
    // How long the update timer's refresh waits for a database another program holds.
    static constexpr int TickBusyTimeoutMs = 250;
    // The hidden item tag of the lists (column 0): PatID, StudyUID, SeriesID or "back".
    static constexpr int TagRole = Qt::UserRole;
    // The study list's column with the storage commitment of the study's objects
    // ("4 sent: 3 committed, 1 failed"); its tooltip names the failed ones with the reason.
    static constexpr int CommitmentColumn = 5;

    BrowserPanel(Station &station, StoreSelection &selection, EditSession &edits, CommandTable &commands,
                 MainHooks &hooks, QWidget *parent);
    ~BrowserPanel() override;

    // The pane of the four lists, for the main window to place.
    QWidget *listsPane() const { return m_listsPane; }
    QTimer *updateTimer() const { return m_updateTimer; }

    const StoreSelection &state() const { return m_state; }

    // RefreshPatientList: with the timer-refresh flag set, only when tblReceive has rows.
    void refreshPatientList();
    // The update timer's tick.
    void updateTimerTick();
    // The data manager committed a batch: the lists take it in now, as at a tick. While
    // a study loads, it is taken in right after.
    void arrivalNoticed();

    // The open examination's study shown as the operator would open it: its patient
    // picked, the study picked and loaded. False (nothing changed) when there are
    // changes not yet applied or the patient or study is not listed.
    bool openStudyLive(const QString &patId1, const QString &studyUid);
    // Images came for a patient the operator is not looking at: the row says so until the
    // patient is picked.
    void markArrival(const QString &patId1);
    bool isMarked(const QString &patId1) const;
    // The image rows of the loaded study read again (images came into it).
    void refreshImageRows();

    // The list events.
    void patientMouseUp(Qt::MouseButton button, const QPoint &pos);
    void studyItemClick(QTreeWidgetItem *item);
    void studyMouseUp(Qt::MouseButton button, const QPoint &pos);
    void seriesDoubleClick();
    void seriesMouseUp(Qt::MouseButton button, const QPoint &pos);
    void imagesItemClick(QTreeWidgetItem *item);

    // The context menu commands.
    void viewStudyImages();  // PopUpStudie "View Images"
    void viewSeries();       // PopUpStudie "View Series"
    void viewSeriesImages(); // PopUpSerie "View Images"
    // PopUpStudie "Dose report": the kept dose report of the menu's study, in its window.
    void showDoseReport();

    // Runs a modal dialog (the dose report); tests replace it to look at the window.
    std::function<int(QDialog &)> execDialog;

    void loadImages(const QList<ImageRow> &rows);

    // How many patients the list reads and shows at once. A longer list shows its first
    // rows at once and takes in the rest page by page between the window's events.
    int patientPage = 5000;
    // Whether the rest of a long patient list is still being taken in.
    bool patientListFilling() const { return m_fill.pending; }

signals:
    // The text of a status bar panel (StoreStatus::Panel).
    void statusText(int panel, const QString &text);
    // The patient list holds every stored patient (after the last page of a long list).
    void patientListComplete();
    // The lists took in batches the data manager had announced.
    void arrivalsTaken();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls(QWidget *parent);
    void setPanel(StoreStatus::Panel panel, const QString &text) { emit statusText(panel, text); }
    void hookCommands();
    void connectControls();
    void connectSelection();
    void markPickedImageRow();
    void markImageRowOfPick();
    void refreshImageList(bool repick);
    void applyDeletion(const StoreDeletion::Result &r);
    void forgetPatient();
    void resetViewerState();
    void showPatientPanels(const QString &name, const QString &patId1);
    void pickPatient(QTreeWidgetItem *item);
    void keyboardMoved(QTreeWidget *lv);
    void rebuildPatients(const QList<PatientRow> &rows);
    void clearPatients();
    void freeDiscarded();
    void addPatientPage(const QList<PatientRow> &rows);
    void schedulePatientPage(int delayMs);
    void takeNextPatientPage(quint64 generation);
    void finishPatientFill();
    void mergePatients(const QList<PatientRow> &rows);
    void addNewStudies(Database &db);
    int currentPatientRow() const;
    // The row of the patient with this ID, nullptr when not listed.
    QTreeWidgetItem *listedPatient(const QString &patId1) const;
    void setArrivalMark(QTreeWidgetItem *item, bool on);
    void highlightCurrentPatient();
    void highlightCurrentStudy();
    void syncHighlights();
    void fillStudies(const QString &patId1);
    bool takeSelectedStudy();
    void startStudyLoad();
    void seriesPick(bool ask);
    void popup(const QString &menuName, const QPoint &globalPos);

    Station &m_station;
    StoreSelection &m_state;
    EditSession &m_edits;
    CommandTable &m_commands;
    void showCommitment(QTreeWidgetItem *item);
    MainHooks &m_hooks;

    QWidget *m_listsPane = nullptr;
    QTreeWidget *m_lvPatients = nullptr;
    QTreeWidget *m_lvStudien = nullptr;
    QGroupBox *m_frmSerien = nullptr;
    QListWidget *m_lvSerien = nullptr;
    QTreeWidget *m_lvImages = nullptr;
    QTimer *m_updateTimer = nullptr;

    // The patient list's fill, page by page in ID order. A rebuild begins a new one
    // (generation), which makes a page still waiting for the old one do nothing.
    struct PatientFill {
        quint64 generation = 0;
        bool pending = false;
        QByteArray after;       // the last ID read, as the store orders IDs (UTF-8 bytes)
        int placed = 0;         // rows given their place in ID order so far
        QString lastPlaced;     // the last of them in the list's order
        bool unordered = false; // the store's order and the list's differ across pages
    } m_fill;
    bool m_arrivalWaiting = false; // a notice met a running load
    // Rows of a long list taken out by a rebuild, freed a page at a time.
    QList<QTreeWidgetItem *> m_discarded;
};
