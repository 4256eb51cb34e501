#pragma once
#include <QWidget>
#include <functional>
#include <optional>

class Station;
struct Settings;

// One tab of the Options dialog, contributed by the subsystem whose settings it shows
// (the dialog knows none of them). When the dialog opens, each page shows the settings
// held in memory; on OK every page checks its fields in tab order (the first refusal
// keeps the dialog open, its tab chosen and the focus on the field), then every page
// copies its controls into the settings, and the dialog saves them.
class OptionsPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    // The tab's caption.
    virtual QString title() const = 0;
    virtual void load(const Settings &s) = 0;

    struct Refusal {
        QWidget *field = nullptr;
        QString text; // "<field name>: <rule>"
    };
    virtual std::optional<Refusal> check() { return std::nullopt; }
    // Only after every page accepted its fields.
    virtual void store(Settings &s) = 0;
    // The operator chose this page's tab.
    virtual void chosen() {}

signals:
    // A setting this page applies at once, before OK (the X-ray unit).
    void appliedAtOnce();
};

// Makes a page for the dialog, which then owns it.
using OptionsPageFactory = std::function<OptionsPage *(Station &)>;
