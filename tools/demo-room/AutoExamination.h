#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class MainForm;
class Startup;
class QWidget;

// One examination run by itself, as an operator would run it at the station, for the demo
// room: accept the Options dialog, pick the patient from the worklist, wait for the four
// exposures in the dose list, close the examination with "New Study", wait for the four
// images in the store, pick the patient and open the study, run "Merge Images" and close
// the progress window. Every step uses the real controls. Its progress
// is printed on standard output as "EXAM <step> ..." lines; a step that does not come
// about in time ends the program with exit code 3.
class AutoExamination : public QObject {
    Q_OBJECT
public:
    // patientId: the worklist entry to pick ("" or "first": the first one). screens: a
    // folder for a picture of each step, or empty.
    AutoExamination(Startup &startup, const QString &patientId, const QString &screens, QObject *parent = nullptr);

    void start();

    // How many exposures and images make the examination.
    static constexpr int Views = 4;

private:
    enum class Step {
        Options,
        OpenWorklist,
        PickPatient,
        WaitDoses,
        WaitImages,
        OpenStudy,
        WaitStudy,
        Merge,
        WaitSent,
        Report,
        Committed,
        Leave
    };
    void tick();
    int m_reportStage = 0; // the study's dose report: 1 patient picked, 2 study picked and asked
    void next(Step step, int timeoutS);
    void fail(const QString &why);
    void say(const QString &line);
    void picture(QWidget *w, const QString &name);
    // A click as the mouse makes it, queued: a click that opens a modal dialog must not
    // run inside this timer's slot.
    static void clickLater(QWidget *button);
    int storedImages() const;
    void fillWhenGathered(MainForm *main);

    Startup &m_startup;
    QString m_wanted;
    QString m_screens;
    QString m_patientId;
    QTimer m_timer;
    QElapsedTimer m_stepClock;
    int m_timeoutS = 0;
    Step m_step = Step::Options;
    bool m_clicked = false;
    int m_pictures = 0;
    QString m_gathered;
    QElapsedTimer m_gatheredClock;
    QElapsedTimer m_dosesComplete; // since the examination's exposures were all listed
    int m_liveShown = 0;           // images the live view showed during the examination

public:
    int liveShown() const { return m_liveShown; }
};
