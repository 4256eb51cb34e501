#pragma once
#include "dose/DoseRecords.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class CommandTable;
class DoseState;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QWidget;
class SerialLink;
class Station;
struct MainHooks;

// The dose capture of the main window: the serial port and its polling timer SerTimer,
// the receive buffers txtcInput and Text4, the end-of-message rule of the HFE 501,
// dbFill with the debug token list List1, "Fill", "Get Dose Product", the exposures
// that wait for a patient (lblPending) or for the database (lblUnstored), and the text of
// a channel unit that waits for "Fill" (lblFill, cmdFill). It builds those controls; the
// main window places them.
class DoseCapturePanel : public QObject {
    Q_OBJECT
public:
    DoseCapturePanel(Station &station, DoseState &state, CommandTable &commands, MainHooks &hooks, QWidget *parent);
    ~DoseCapturePanel() override;

    // The controls, for the main window to place.
    QPushButton *loradButton() const { return m_cmdLorad; }
    QLabel *pendingLabel() const { return m_lblPending; }
    QLabel *unstoredLabel() const { return m_lblUnstored; }
    QLabel *portLabel() const { return m_lblPort; }
    QLabel *fillLabel() const { return m_lblFill; }
    QPushButton *fillButton() const { return m_cmdFill; }
    QPlainTextEdit *inputBox() const { return m_txtcInput; }
    QListWidget *tokenList() const { return m_List1; }
    QPlainTextEdit *receiveBox() const { return m_Text4; }
    QTimer *serTimer() const { return m_SerTimer; }

    // The debug boxes shown only while General\Debug is 1.
    void applyDebugMode(bool debug);
    // "Get Dose Product" shown for a Lorad only; the "Fill" prompt for Sophie and Giotto.
    void applyUnitType(int unitType);

    // (Re)configures and opens the port; a half-received message is dropped. Runs on
    // every activation of the main window.
    void Initialise_cPort();
    // One tick of SerTimer: gather what is waiting, hand a complete HFE message over.
    void serTimerTick();
    // The serial control's communication event (2 received, 1006/1008 data loss).
    void onCommEvent(int code);
    // Parses the hand-over file or the receive buffer and stores the record.
    void dbFill();
    // "Get Dose Product".
    void cmdLoradClick();
    // Offers the waiting exposures to the worklist patient now chosen.
    void offerPending();
    // At start: takes up what the journal and the hand-over files hold from a station
    // that ended unexpectedly.
    void recover();
    // Stores the exposures that wait for the database; runs again until none waits.
    void retryStore();

    SerialLink &link() { return *m_link; }
    DoseRecords &records() { return m_records; }
    // The receive buffers as received (line breaks as they came).
    const QString &inputText() const { return m_cInput; }
    const QString &text4() const { return m_text4; }

    // The gathered text was longer than this without ever completing: what is older
    // is dropped from the buffer (and reported as data loss).
    static constexpr qsizetype MaxInput = 256 * 1024;
    // The serial polling interval.
    static constexpr int PollIntervalMs = 100;
    // How soon a record the database did not take is tried again.
    static constexpr int StoreRetryMs = 500;
    // After a "Datenverlust!" box is closed, further data losses within this time are
    // logged (one line with a repeat count), not shown: a noisy line would otherwise
    // open the next box the moment the operator closes one.
    static constexpr int LossBoxPauseMs = 30000;

signals:
    // A passing message for the status bar.
    void statusMessage(const QString &text, int timeoutMs);

private:
    void buildControls(QWidget *parent);
    void appendInput(const QString &chunk);
    void setInput(const QString &text);
    void showGathered();
    void fillFrom(QString text);
    void afterCapture(const DoseRecords::Result &r);
    void updateLabels();
    // Says which setting keeps exposures from being read (the device, the unit type).
    void showPortProblem();
    void journalTrouble();
    void showDataLoss(const QString &text);
    QString inputForFill() const;
    void setText4(const QString &text);
    void showTokens(const QStringList &tokens);
    void schedulePendingOffer();
    QString patientKey() const;
    void enableTimer();

    Station &m_station;
    DoseState &m_state;
    QPushButton *m_cmdLorad = nullptr;
    QLabel *m_lblPending = nullptr;
    QLabel *m_lblUnstored = nullptr;
    QLabel *m_lblPort = nullptr;
    QLabel *m_lblFill = nullptr;
    QPushButton *m_cmdFill = nullptr;
    QTimer *m_storeRetry = nullptr;
    QPlainTextEdit *m_txtcInput = nullptr;
    QListWidget *m_List1 = nullptr;
    QPlainTextEdit *m_Text4 = nullptr;
    QTimer *m_SerTimer = nullptr;
    SerialLink *m_link;
    DoseRecords m_records;

    QString m_cInput;
    QString m_text4;
    bool m_mirroring = false;
    bool m_userEdited = false;
    bool m_inFill = false;
    bool m_offerScheduled = false;
    // One "Datenverlust!" box at a time: losses reported while it is open are counted
    // and logged when it closes, so a noisy line cannot pile up boxes; losses soon after
    // it closed are logged only (LossBoxPauseMs).
    bool m_lossShown = false;
    int m_lossesWhileShown = 0;
    QElapsedTimer m_lossBoxClosed;
    // The database did not take a record: logged once, until it takes them again.
    bool m_storeFailing = false;
    // The journal could not be written: shown once, until it can again.
    bool m_journalTroubleShown = false;
    QString m_offeredKey;
};
