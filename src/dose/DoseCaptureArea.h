#pragma once
#include "dose/DoseRecords.h"

#include <QObject>
#include <QString>

class Station;
struct MainWidgets;
struct MainHooks;
class DoseState;
class SerialLink;

// The dose capture of the main window: the serial port and its polling timer SerTimer,
// the receive buffers txtcInput and Text4, the end-of-message rule of the HFE 501,
// dbFill with the debug token list List1, "Fill", "Get Dose Product" and the exposures
// that wait for a patient (lblPending).
class DoseCaptureArea : public QObject {
    Q_OBJECT
public:
    DoseCaptureArea(Station &station, MainWidgets &widgets, MainHooks &hooks, DoseState &state,
                    QObject *parent = nullptr);
    ~DoseCaptureArea() override;

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

    SerialLink &link() { return *m_link; }
    DoseRecords &records() { return m_records; }
    // The receive buffers as received (line breaks as they came).
    const QString &inputText() const { return m_cInput; }
    const QString &text4() const { return m_text4; }

    // The gathered text was longer than this without ever completing: what is older
    // is dropped from the buffer (and reported as data loss).
    static constexpr qsizetype MaxInput = 256 * 1024;

private:
    void appendInput(const QString &chunk);
    void setInput(const QString &text);
    QString inputForFill() const;
    void setText4(const QString &text);
    void showTokens(const QStringList &tokens);
    void updatePendingLabel();
    void schedulePendingOffer();
    QString patientKey() const;
    void enableTimer();

    Station &m_station;
    MainWidgets &m_w;
    MainHooks &m_hooks;
    DoseState &m_state;
    SerialLink *m_link;
    DoseRecords m_records;

    QString m_cInput;
    QString m_text4;
    bool m_mirroring = false;
    bool m_userEdited = false;
    bool m_inFill = false;
    bool m_offerScheduled = false;
    QString m_offeredKey;
};
