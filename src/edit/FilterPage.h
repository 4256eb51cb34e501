#pragma once
#include "ui/OptionsPage.h"

#include <functional>

class QComboBox;
class QDialog;
class QPushButton;
class QTreeWidget;

// The Options dialog's "Filter" page: the modality filters, the tags of the one being
// edited, adding and removing tags, new and deleted filters, and activation. Activating
// or deleting writes Filter\Active at once; the header list follows when the dialog
// closes.
class FilterPage : public OptionsPage {
    Q_OBJECT
public:
    explicit FilterPage(Station &station, QWidget *parent = nullptr);

    QString title() const override { return QStringLiteral("Filter"); }
    // The filters are written as they are edited; OK has nothing left to copy.
    void load(const Settings &) override {}
    void store(Settings &) override {}

    // cboModality click: the named filter becomes the edited one and its tags are listed.
    void chooseFilter(const QString &name);
    void activate();
    void addTags();
    void removeTags();
    void newFilter();
    void deleteFilter();

    QString editedFilter() const { return m_edited; }

    // Runs a modal dialog; tests replace it to drive the dialog.
    std::function<int(QDialog &)> execDialog;

private:
    void buildControls();
    void fillNames();
    void writeActive(const QString &name);

    Station &m_station;
    QString m_edited;
    QComboBox *m_cboModality = nullptr;
    QTreeWidget *m_lvTags = nullptr;
    QPushButton *m_cmdActivate = nullptr;
};
