#pragma once
// The header list and the task editor without the main window: a station in a temp
// folder, the shared state, both panels on one parent widget.
#include "TestStation.h"
#include "core/Database.h"
#include "edit/EditSession.h"
#include "edit/DictionaryTable.h"
#include "edit/HeaderPanel.h"
#include "edit/ModalityFilters.h"
#include "edit/TaskPanel.h"
#include "store/StoreSelection.h"
#include "ui/CommandTable.h"
#include "ui/MainCommands.h"
#include "ui/MainHooks.h"

#include <QTreeWidget>
#include <QWidget>
#include <memory>

struct HeaderHarness {
    TestStation ts;
    QWidget parent;
    StoreSelection selection;
    EditSession edits;
    MainHooks hooks;
    CommandTable commands;
    HeaderPanel *header = nullptr;
    TaskPanel *tasks = nullptr;

    HeaderHarness()
    {
        MainCommands::build(commands, &parent);
        header = new HeaderPanel(*ts, selection, edits, hooks, &parent);
        tasks = new TaskPanel(*ts, selection, edits, header->state(), commands, hooks, &parent);
    }

    QTreeWidget *list() const { return header->view(); }

    // A filter holding the given tags (added to the dictionary when missing), made the
    // active one and loaded as at start.
    void useFilter(const QString &name, const QStringList &tags)
    {
        ModalityFilters filters(ts->paths());
        filters.create(name);
        DictionaryTable dict(ts->paths());
        for (const QString &tag : tags)
            dict.add({tag.left(4), tag.mid(5), QStringLiteral("Private ") + tag, QStringLiteral("UN"), true});
        filters.addTags(name, tags);
        ts->settings().filterActive = name;
        MainHooks::run(hooks.loadModFilter);
    }

    // The viewer made the image current.
    void pick(const QString &file, int number = 1)
    {
        selection.currentImage = number;
        selection.currentImageFile = file;
        selection.notifyImagePicked();
    }

    // Rows as (tag, value shown), in the list's order.
    QList<QPair<QString, QString>> rows() const
    {
        QList<QPair<QString, QString>> out;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            auto *it = list()->topLevelItem(i);
            out.append({it->text(HeaderPanel::TagColumn), it->text(HeaderPanel::ValueColumn)});
        }
        return out;
    }
    QString errorLog() const;
};

inline QString HeaderHarness::errorLog() const
{
    QFile f(ts.station->paths().logsDir() + QStringLiteral("/Error.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
