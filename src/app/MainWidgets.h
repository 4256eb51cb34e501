#pragma once

class QTreeWidget;
class QListWidget;
class QPushButton;
class QPlainTextEdit;
class QLineEdit;
class QComboBox;
class QProgressBar;
class QScrollBar;
class QStatusBar;
class QToolBar;
class QLabel;
class QGroupBox;
class QTimer;
class QWidget;
class QMainWindow;
class ViewerWidget;
class CommandTable;

// The controls of the main window, built and laid out by MainForm and driven by the
// subsystem areas (browser, dose panel, task editor, ...). Names are the controls'
// objectNames.
struct MainWidgets {
    QMainWindow *window = nullptr;
    CommandTable *commands = nullptr;

    // Browser (image store)
    QTreeWidget *lvPatients = nullptr;
    QTreeWidget *lvStudien = nullptr;
    QGroupBox *frmSerien = nullptr;
    QListWidget *lvSerien = nullptr;
    QTreeWidget *lvImages = nullptr;
    ViewerWidget *dv1 = nullptr;
    QScrollBar *dv1_vscroll = nullptr;
    QProgressBar *pbLoad = nullptr;

    // Header display and task editor
    QTreeWidget *lvHeader = nullptr;
    QTreeWidget *lvTasks = nullptr;
    QLineEdit *txtSelElement = nullptr; // the selected element's tag
    QComboBox *cboTask = nullptr;       // task choice
    QLineEdit *txtValue = nullptr;      // new value or target tag
    QPushButton *cmdAddTask = nullptr;

    // Dose capture
    QTreeWidget *ListView1 = nullptr; // current patient panel, eight rows
    QTreeWidget *lvDosis = nullptr;
    QListWidget *List1 = nullptr;        // debug: tokens of the last message
    QPlainTextEdit *txtcInput = nullptr; // debug: raw serial input
    QPlainTextEdit *Text4 = nullptr;     // receive event buffer (hidden)
    QPushButton *cmdWorklist = nullptr;
    QPushButton *cmdNew = nullptr;
    QPushButton *cmdLorad = nullptr;
    QPushButton *cmdSelected = nullptr; // "Merge Images"
    QPushButton *cmdAll = nullptr;      // "Manually"
    QLabel *lblPending = nullptr;       // exposures waiting for a patient

    // Window furniture
    QToolBar *Toolbar1 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QLabel *statusPanel[4] = {nullptr, nullptr, nullptr, nullptr};

    // Timers
    QTimer *UpdateTimer = nullptr; // 10000 ms patient list refresh
    QTimer *SerTimer = nullptr;    // 100 ms serial polling
};
