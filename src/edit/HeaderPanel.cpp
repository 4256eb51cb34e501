#include "edit/HeaderPanel.h"
#include "core/Station.h"
#include "dicom/Image.h"
#include "edit/EditSession.h"
#include "edit/HeaderElement.h"
#include "store/StoreSelection.h"
#include "ui/ListHelpers.h"
#include "ui/MainHooks.h"

#include <QApplication>
#include <QHeaderView>
#include <QTreeWidget>

namespace {

// The hourglass for a scope.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

namespace {

// The element's values as stored, joined with "\"; empty for binary data and sequences.
QString rawValue(const dicom::Image &image, const QString &group, const QString &element)
{
    quint16 g = 0, e = 0;
    if (!HeaderElement::parseHex16(group, &g) || !HeaderElement::parseHex16(element, &e))
        return {};
    const std::optional<QString> v = image.value(g, e);
    if (!v || *v == dicom::UnknownDataType)
        return {};
    return *v;
}

} // namespace

HeaderPanel::HeaderPanel(Station &station, StoreSelection &selection, EditSession &edits, MainHooks &hooks,
                         QWidget *parent)
    : QObject(parent), m_station(station), m_selection(selection), m_state(this)
{
    m_lvHeader = ListHelpers::reportList(
        QStringLiteral("lvHeader"),
        {QStringLiteral("Value"), QStringLiteral("DICOM Tag"), QStringLiteral("DICOM Description")}, parent);
    // Shown as Tag, Description, Value although the value is the row's own text.
    QHeaderView *header = m_lvHeader->header();
    header->moveSection(header->visualIndex(ValueColumn), 2);
    // Tag and description narrow enough that the value shows beside the viewer.
    ListHelpers::setColumnWidths(m_lvHeader, {220, 75, 140});
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    // The list sorts itself by its own rule, not Qt's (which starts every new column
    // ascending).
    m_lvHeader->setSortingEnabled(false);
    connect(header, &QHeaderView::sectionClicked, this, &HeaderPanel::columnClicked);
    connect(m_lvHeader, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { itemClicked(item); });

    connect(&edits, &EditSession::cleared, m_lvHeader, &QTreeWidget::clear);
    connect(&selection, &StoreSelection::imagePicked, this, [this] {
        if (m_selection.currentImage() == 0) {
            ++m_fillNumber;
            m_lvHeader->clear();
        } else if (!m_station.settings().filterActive.isEmpty()) {
            loadHeaderData();
        }
    });
    hooks.loadModFilter.push_back([this] { loadModFilter(); });
    hooks.optionsClosed.push_back([this] { refreshAfterOptions(); });
}

void HeaderPanel::loadModFilter()
{
    m_station.trap(QStringLiteral("MainForm LoadModFilter"), [&] {
        const QString active = m_station.settings().filterActive;
        if (active.isEmpty())
            return;
        m_state.setFilterSet(ModalityFilters(m_station.paths()).filterSet(active));
    });
}

void HeaderPanel::loadHeaderData()
{
    const quint64 fill = ++m_fillNumber;
    m_station.trap(QStringLiteral("MainForm LoadHeaderData"), [&] {
        m_lvHeader->clear();
        const QString file = m_selection.currentImageFile();
        if (file.isEmpty())
            return;
        WaitCursor hourglass;
        const auto image = dicom::Image::readFile(file);
        // Copied: the filter set may change while the fill yields.
        const FilterSet set = m_state.filterSet();
        QList<QTreeWidgetItem *> rows;
        rows.reserve(static_cast<qsizetype>(set.size()));
        int n = 0;
        for (const FilterEntry &entry : set) {
            if (++n % 32 == 0) {
                QCoreApplication::processEvents();
                if (fill != m_fillNumber) {
                    qDeleteAll(rows);
                    return;
                }
            }
            const QString group = entry.tag.section(QLatin1Char(','), 0, 0);
            const QString element = entry.tag.section(QLatin1Char(','), 1);
            const QString value = HeaderElement::GetHeaderElement(m_station, group, element, *image);
            const QString shown =
                value.size() > MaxShownValue ? value.left(MaxShownValue) + QStringLiteral(" ...") : value;
            auto *item = new QTreeWidgetItem(QStringList{shown, group + QLatin1Char(',') + element, entry.description});
            // The editor takes the stored values, several joined with "\" as they are
            // written, not the text shown.
            item->setData(ValueColumn, Qt::UserRole, rawValue(*image, group, element));
            item->setToolTip(ValueColumn, shown.left(200));
            rows << item;
        }
        ListFill frozen(m_lvHeader);
        m_lvHeader->addTopLevelItems(rows);
        m_sortColumn = TagColumn;
        m_sortOrder = Qt::AscendingOrder;
        applySort();
    });
}

void HeaderPanel::refreshAfterOptions()
{
    m_station.trap(QStringLiteral("MainForm mnuAnsichtEinstellungen_Click"), [&] {
        const QString active = m_station.settings().filterActive;
        FilterSet fresh = active.isEmpty() ? FilterSet{} : ModalityFilters(m_station.paths()).filterSet(active);
        if (fresh == m_state.filterSet())
            return;
        m_state.setFilterSet(std::move(fresh));
        if (m_state.filterSet().empty()) {
            ++m_fillNumber;
            m_lvHeader->clear();
        } else if (m_lvHeader->topLevelItemCount() > 0) {
            loadHeaderData();
        }
    });
}

void HeaderPanel::columnClicked(int column)
{
    if (column == m_sortColumn)
        m_sortOrder = m_sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    else
        m_sortColumn = column;
    applySort();
}

void HeaderPanel::applySort()
{
    m_lvHeader->sortItems(m_sortColumn, m_sortOrder);
    m_lvHeader->header()->setSortIndicator(m_sortColumn, m_sortOrder);
}

void HeaderPanel::itemClicked(QTreeWidgetItem *item)
{
    if (!item)
        return;
    m_state.selectElement(item->text(TagColumn), item->text(DescriptionColumn),
                          item->data(ValueColumn, Qt::UserRole).toString());
}
