#pragma once
#include "core/Station.h"
#include "store/StoreQueries.h"
#include "store/StoreSelection.h"
#include "store/StoreStatus.h"
#include "store/StudyLoader.h"

#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <optional>

class CommandTable;
struct MainHooks;
class QMenu;
class QProgressBar;
class QScrollBar;
class QWidget;
class ViewerWidget;

// The viewer dv1 on the main window: the grid with its scroll bar and keys, the wheel,
// the picking of the current image, one image enlarged with its window (level) drag, and
// the study load. The store lists ask it for loads and picks through the store
// selection; it writes the viewer's files and the current image there.
class ViewerPanel : public QObject {
    Q_OBJECT
public:
    ViewerPanel(Station &station, StoreSelection &selection, CommandTable &commands, MainHooks &hooks, QWidget *parent,
                StudyLoader::RenderFn render = {});
    ~ViewerPanel() override;

    // The pane of the viewer, its scroll bar and the load progress, for the main window.
    QWidget *viewerPane() const { return m_viewerPane; }

    bool isLoading() const { return m_loader.isRunning(); }
    // The file of the current image, empty when none is picked.
    QString currentImageFile() const;

    // The viewer events.
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

    void loadStudy(const ImageSelection &sel);
    // Images that came into the loaded study: put in after those shown (the hanging
    // takes them to their places), the last one marked new and its page shown. While a
    // load runs they wait for it.
    void appendImages(const QStringList &sopUids);
    // The SOP Instance UIDs in the viewer, also of pictures still being read.
    QStringList shownUids() const;
    // Marks the image with this SOP Instance UID as the newest and shows its page.
    void markNewest(const QString &sopUid);
    // The caption under each picture (the dose of its exposure), asked for each picture
    // as it arrives and for all of them by refreshCaptions. Empty: no captions.
    std::function<QString(const ViewerImage &)> captionOf;
    void refreshCaptions();
    void initScrollbar();
    void pickImage(int number);

    void initializeControls();
    void clearViewer();

signals:
    // A study or series load ended (all pictures in, or stopped at a failure).
    void loadFinished();
    // The enlarged image was read again at the viewer's size; its window can change now.
    void windowSourceReady();
    // The text of a status bar panel (StoreStatus::Panel).
    void statusText(int panel, const QString &text);

private:
    void buildControls(QWidget *parent);
    void connectControls();
    void connectSelection();
    void hookCommands();
    void setPanel(StoreStatus::Panel panel, const QString &text) { emit statusText(panel, text); }
    void syncViewerFiles();
    // The loader's items for images of the loaded study.
    QList<StudyLoader::Item> loadItems(const QStringList &sopUids) const;
    // The audit trail's note that the operator opened these images of a study.
    void auditOpened(const QList<StudyLoader::Item> &items) const;
    void stopLoad();
    void stepEnlarged(int step);
    void requestWindowSource(int number);
    void cancelWindowSource();
    void onWindowSource(const ViewerImage &source, const QString &error);
    void frameImage(int number);
    void showImage(const QString &sopInstanceUid);
    void removeImage(int number);
    void showOnPage(int number);
    void setFirst(int first);
    void syncScrollValue();
    void showViewerMenu(bool withImageMenu, const QPoint &globalPos);
    void forCurrent(const std::function<void(int)> &f);
    void forAll(const std::function<void(int)> &f);

    void onImageReady(int number, const ViewerImage &img);
    void onImageFailed(int number, const QString &path, long errorNumber, const QString &description);
    void onLoadFinished(int loaded, int failed);

    Station &m_station;
    StoreSelection &m_state;
    CommandTable &m_commands;
    StudyLoader m_loader;
    std::optional<BusyGuard> m_busy; // held while a study loads

    QWidget *m_viewerPane = nullptr;
    ViewerWidget *m_dv1 = nullptr;
    QScrollBar *m_vscroll = nullptr;
    QProgressBar *m_pbLoad = nullptr;
    bool m_loadFailed = false;
    QStringList m_waitingAppend; // images to put in after the running load
    QStringList m_appending;     // the images the running load puts in after the others
    QMenu *m_viewerMenu = nullptr;

    int m_gridFirst = 1;
    struct Window {
        double centre = 0;
        double width = 0;
    } m_window;
    ViewerImage m_windowSource;
};
