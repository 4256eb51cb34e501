#pragma once
#include <QObject>

class EditSession;
class QTreeWidget;
class QWidget;
class StoreSelection;

// The header list lvHeader of the picked image. It builds its list; the main window
// places it. The list empties whenever the pending edits are discarded and when no image
// is current any more.
class HeaderPanel : public QObject {
    Q_OBJECT
public:
    HeaderPanel(StoreSelection &selection, EditSession &edits, QWidget *parent);

    QTreeWidget *view() const { return m_lvHeader; }

private:
    QTreeWidget *m_lvHeader = nullptr;
};
