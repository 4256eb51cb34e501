#pragma once
#include "ui/OptionsPage.h"

#include <QDialog>
#include <vector>

class Station;
class QTabWidget;
class QLabel;

// The Options dialog: one tab per page, each page contributed by the subsystem whose
// settings it shows. It shows the settings held in memory; OK has every page check its
// fields (the first refused field is shown with its rule, its tab chosen and the focus
// on it), copies the controls back and saves every setting (a save that does not reach
// the store keeps the dialog open and says so); Cancel closes without saving. The unit
// options take effect at once.
class OptionForm : public QDialog {
    Q_OBJECT
public:
    OptionForm(Station &station, const std::vector<OptionsPageFactory> &pages, QWidget *parent = nullptr);

    QTabWidget *tabs() const { return m_tabs; }
    const std::vector<OptionsPage *> &pages() const { return m_pages; }

signals:
    // OK saved the settings.
    void saved();
    // The unit type changed (at once, before OK) or on OK.
    void unitTypeChanged();

private:
    void okClicked();
    void showProblem(const OptionsPage::Refusal &refusal);

    Station &m_station;
    QTabWidget *m_tabs = nullptr;
    QLabel *m_problem = nullptr;
    std::vector<OptionsPage *> m_pages;
};
