#pragma once
#include "core/Station.h"
#include "store/StoreDeletion.h"
#include "store/StoreQueries.h"
#include "store/StoreSelection.h"
#include "store/StudyLoader.h"

#include <QObject>
#include <QPoint>
#include <QString>
#include <optional>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class CommandTable;
class Database;
class EditSession;
struct MainHooks;
class QDialog;
class QGroupBox;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QProgressBar;
class QScrollBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class ViewerWidget;

// The store browser and the viewer on the main window: the patient, study, series and
// image lists, the viewer dv1 with its scroll bar and keys, the study load and the
// update timer's patient list refresh. It builds its controls in two panes that the
// main window places: the lists and the viewer.
class BrowserPanel : public QObject {
    Q_OBJECT
public:
    // How long the update timer's refresh waits for a database another program holds.
    static constexpr int TickBusyTimeoutMs = 250;
    // The hidden item tag of the lists (column 0): PatID, StudyUID, SeriesID or "back".
    static constexpr int TagRole = Qt::UserRole;

    // The status bar panels the browser writes.
    enum StatusPanel { PanelPatient = 0, PanelId = 1, PanelImages = 2, PanelSelected = 3, PanelCount = 4 };

    BrowserPanel(Station &station, StoreSelection &selection, EditSession &edits, CommandTable &commands,
                 MainHooks &hooks, QWidget *parent, StudyLoader::RenderFn render = {});
    ~BrowserPanel() override;

    // The two panes, for the main window to place.
    QWidget *listsPane() const { return m_listsPane; }
    QWidget *viewerPane() const { return m_viewerPane; }
    QTimer *updateTimer() const { return m_updateTimer; }

    const StoreSelection &state() const { return m_state; }
    bool isLoading() const { return m_loader.isRunning(); }
    // The file of the current image, empty when none is picked.
    QString currentImageFile() const;

    // RefreshPatientList: with the timer-refresh flag set, only when tblReceive has rows.
    void refreshPatientList();
    // The update timer's tick.
    void updateTimerTick();

    // The list and viewer events.
    void patientMouseUp(Qt::MouseButton button, const QPoint &pos);
    void studyItemClick(QTreeWidgetItem *item);
    void studyMouseUp(Qt::MouseButton button, const QPoint &pos);
    void seriesDoubleClick();
    void seriesMouseUp(Qt::MouseButton button, const QPoint &pos);
    void imagesItemClick(QTreeWidgetItem *item);
    void viewerMouseUp(int number, Qt::MouseButton button, const QPoint &globalPos);
    void viewerKeyDown(int qtKey);
    void scrollChange(int value);
    void scrollDrag(int value);
    void viewerDoubleClick(int number);
    void viewerWheel(int notches);
    void windowDrag(int dx, int dy);

    // One image alone over the viewer, and back to the grid at the page it showed.
    void enlarge(int number);
    void leaveEnlarged();
    // The enlarged image's window (centre, width), from its stored window until dragged.
    double windowCentre() const { return m_window.centre; }
    double windowWidth() const { return m_window.width; }
    void resetWindow();
    // The View menu's mammography layout, kept in the settings.
    void setMammoLayout(bool on);

    // The context menu commands.
    void viewStudyImages();  // PopUpStudie "View Images"
    void viewSeries();       // PopUpStudie "View Series"
    void viewSeriesImages(); // PopUpSerie "View Images"

    // The deletion commands: the patient, every patient, the selected study or series,
    // the current image.
    void deletePatient();
    void deleteAllPatients();
    void deleteStudy();
    void deleteSeries();
    void deleteImage();

    // Runs a modal dialog (the progress window); tests replace it to drive the window.
    std::function<int(QDialog &)> execDialog;

    void loadStudy(const ImageSelection &sel);
    void loadImages(const QList<ImageRow> &rows);
    void initScrollbar();
    void pickImage(int number);

    void initializeControls();
    void clearViewer();

signals:
    // A study or series load ended (all pictures in, or stopped at a failure).
    void loadFinished();
    // The enlarged image was read again at the viewer's size; its window can change now.
    void windowSourceReady();
    // The text of a status bar panel.
    void statusText(int panel, const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls(QWidget *parent);
    void setPanel(StatusPanel panel, const QString &text) { emit statusText(panel, text); }
    void markPickedImageRow();
    void syncViewerFiles();
    void refreshImageList(bool repick);
    void runDeletion(StoreDeletion::Target target);
    void applyDeletion(const StoreDeletion::Result &r);
    void forgetPatient();
    void hookCommands();
    void connectControls();
    void resetEditors();
    void resetViewerState();
    void stopLoad();
    void takePatient(QTreeWidgetItem *item);
    void showPatientPanels();
    void pickPatient(QTreeWidgetItem *item);
    void keyboardMoved(QTreeWidget *lv);
    void rebuildPatients(const QList<PatientRow> &rows);
    void mergePatients(const QList<PatientRow> &rows);
    void addNewStudies(Database &db);
    int currentPatientRow() const;
    void highlightCurrentPatient();
    void highlightCurrentStudy();
    void stepEnlarged(int step);
    void requestWindowSource(int number);
    void cancelWindowSource();
    void onWindowSource(quint64 generation, const ViewerImage &source, const QString &error);
    void fillStudies();
    bool takeSelectedStudy();
    void startStudyLoad();
    void seriesPick(bool ask);
    void frameImage(int number);
    void showOnPage(int number);
    void setFirst(int first);
    void syncScrollValue();
    void popup(const QString &menuName, const QPoint &globalPos);
    void showViewerMenu(bool withImageMenu, const QPoint &globalPos);
    void forCurrent(const std::function<void(int)> &f);
    void forAll(const std::function<void(int)> &f);

    void onImageReady(int number, const ViewerImage &img);
    void onImageFailed(int number, const QString &path, long errorNumber, const QString &description);
    void onLoadFinished(int loaded, int failed);

    Station &m_station;
    StoreSelection &m_state;
    EditSession &m_edits;
    CommandTable &m_commands;
    MainHooks &m_hooks;
    StudyLoader m_loader;
    std::optional<BusyGuard> m_busy; // held while a study loads

    QWidget *m_listsPane = nullptr;
    QWidget *m_viewerPane = nullptr;
    QTreeWidget *m_lvPatients = nullptr;
    QTreeWidget *m_lvStudien = nullptr;
    QGroupBox *m_frmSerien = nullptr;
    QListWidget *m_lvSerien = nullptr;
    QTreeWidget *m_lvImages = nullptr;
    ViewerWidget *m_dv1 = nullptr;
    QScrollBar *m_vscroll = nullptr;
    QProgressBar *m_pbLoad = nullptr;
    QTimer *m_updateTimer = nullptr;
    bool m_loadFailed = false;
    QMenu *m_viewerMenu = nullptr;

    int m_gridFirst = 1;
    struct Window {
        double centre = 0;
        double width = 0;
    } m_window;
    ViewerImage m_windowSource;
    StudyLoader::RenderFn m_windowRender;
    quint64 m_windowGeneration = 0;
    // Readers of enlarged images, each with its done flag, joined once done.
    std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, std::thread>> m_windowThreads;
};
