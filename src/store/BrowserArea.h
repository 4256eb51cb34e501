#pragma once
#include "store/StoreQueries.h"
#include "store/StudyLoader.h"

#include <QObject>
#include <QPoint>
#include <QString>

class Station;
struct MainWidgets;
struct MainHooks;
class QTreeWidgetItem;
class QListWidgetItem;
class QMenu;

// Where the user stands in the store: patient, study, series, what the viewer holds
// and which image is current.
struct BrowserState {
    qint64 patId = 0;
    QString patId1;
    QString patName;
    QString patBirthDate;
    int patIndex = -1;

    QString studyId; // the item text of the study
    QString studyUid;
    int studyIndex = -1;

    qint64 seriesId = 0;
    int seriesCount = 0;
    int seriesIndex = -1;

    QString loadLevel; // "Studie" or "Serie"
    int currentImage = 0; // number in the viewer, 0 when none
    bool imageFramed = false;
};

// The store browser and the viewer on the main window: the patient, study, series and
// image lists, the viewer dv1 with its scroll bar and keys, the study load and the
// update timer's patient list refresh.
class BrowserArea : public QObject {
    Q_OBJECT
public:
    // The hidden item tag of the lists (column 0): PatID, StudyUID, SeriesID or "back".
    static constexpr int TagRole = Qt::UserRole;

    BrowserArea(Station &station, MainWidgets &widgets, MainHooks &hooks, QObject *parent = nullptr,
                StudyLoader::RenderFn render = {});
    ~BrowserArea() override;

    const BrowserState &state() const { return m_state; }
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

    // The context menu commands.
    void viewStudyImages(); // PopUpStudie "View Images"
    void viewSeries();      // PopUpStudie "View Series"
    void viewSeriesImages(); // PopUpSerie "View Images"

    void loadStudy(const ImageSelection &sel);
    void loadImages(const QList<ImageRow> &rows);
    void initScrollbar();
    void pickImage(int number);

    void initializeControls();
    void clearViewer();

signals:
    // A study or series load ended (all pictures in, or stopped at a failure).
    void loadFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setupLists();
    void hookCommands();
    void connectControls();
    bool confirmDiscardTasks();
    void resetEditors();
    void resetViewerState();
    void stopLoad();
    void takePatient(QTreeWidgetItem *item);
    void showPatientPanels();
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
    MainWidgets &m_w;
    MainHooks &m_hooks;
    BrowserState m_state;
    StudyLoader m_loader;
    bool m_loadFailed = false;
    QMenu *m_viewerMenu = nullptr;
};
