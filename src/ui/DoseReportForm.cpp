#include "ui/DoseReportForm.h"
#include "core/DateText.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

namespace {

const QString None = QStringLiteral("–");
const QString GyM2 = QStringLiteral("Gy·m²");
const QString MGy = QStringLiteral("mGy");

enum Column { No, View, Laterality, Started, Dap, EntranceDose, Kvp, Mas, ExposureTime, TubeCurrent, ColumnCount };

// The sum of the values the events have, and how many have one.
struct Total {
    double sum = 0;
    int count = 0;
};

template <class F> Total total(const QList<DoseEvent> &events, F value)
{
    Total t;
    for (const DoseEvent &e : events)
        if (const std::optional<double> v = value(e)) {
            t.sum += *v;
            ++t.count;
        }
    return t;
}

// "Total dose-area product: 3.84E-05 Gy·m²", naming the part of the exposures it covers
// when some lack the value.
QString totalLine(const QString &name, const Total &t, int events, const QString &unit)
{
    QString line = name + QStringLiteral(": ") + DoseReportForm::valueText(t.sum, unit);
    if (t.count < events)
        line += QStringLiteral(" (%1 of %2 exposures)").arg(t.count).arg(events);
    return line;
}

} // namespace

DoseReportForm::DoseReportForm(const DoseReportFacts &facts, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("DoseReportForm"));
    setWindowTitle(QStringLiteral("Dose report"));

    m_lblHeader = new QLabel(headerLines(facts).join(QLatin1Char('\n')), this);
    m_lblHeader->setObjectName(QStringLiteral("lblHeader"));
    // UIDs are copied from here into other programs.
    m_lblHeader->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_tblEvents = new QTableWidget(int(facts.events.size()), ColumnCount, this);
    m_tblEvents->setObjectName(QStringLiteral("tblEvents"));
    m_tblEvents->setHorizontalHeaderLabels(columns());
    m_tblEvents->verticalHeader()->hide();
    m_tblEvents->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tblEvents->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tblEvents->setSelectionMode(QAbstractItemView::SingleSelection);
    for (int row = 0; row < facts.events.size(); ++row) {
        const QStringList cells = eventCells(facts.events.at(row));
        for (int col = 0; col < ColumnCount; ++col) {
            auto *item = new QTableWidgetItem(cells.at(col));
            // Numbers line up at the right, words at the left.
            const bool number = col == No || col >= Dap;
            item->setTextAlignment(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
            m_tblEvents->setItem(row, col, item);
        }
    }
    m_tblEvents->resizeColumnsToContents();
    m_tblEvents->horizontalHeader()->setStretchLastSection(true);

    m_lblAccumulated = new QLabel(accumulatedLines(facts).join(QLatin1Char('\n')), this);
    m_lblAccumulated->setObjectName(QStringLiteral("lblAccumulated"));
    m_lblAccumulated->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_cmdClose = new QPushButton(QStringLiteral("Close"), this);
    m_cmdClose->setObjectName(QStringLiteral("cmdClose"));
    m_cmdClose->setDefault(true);
    connect(m_cmdClose, &QPushButton::clicked, this, &QDialog::accept);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_lblHeader);
    layout->addWidget(m_tblEvents, 1);
    layout->addWidget(m_lblAccumulated);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cmdClose);
    layout->addLayout(buttons);
    resize(980, 460);
}

QStringList DoseReportForm::columns()
{
    return {QStringLiteral("No."),
            QStringLiteral("View"),
            QStringLiteral("Laterality"),
            QStringLiteral("Started"),
            QStringLiteral("Dose-area product"),
            QStringLiteral("Entrance dose"),
            QStringLiteral("kV"),
            QStringLiteral("mAs"),
            QStringLiteral("Exposure time"),
            QStringLiteral("Tube current")};
}

QStringList DoseReportForm::headerLines(const DoseReportFacts &f)
{
    QString patient = personName(f.patientName);
    if (!f.birthDate.trimmed().isEmpty())
        patient += QStringLiteral(" (born %1)").arg(DateText::fromDicomDate(f.birthDate));
    QStringList lines{QStringLiteral("Patient: ") + patient,
                      QStringLiteral("Patient ID: ") + (f.patientId.trimmed().isEmpty() ? None : f.patientId.trimmed()),
                      QStringLiteral("Study: ") + dateTimeText(f.studyDate.trimmed() + f.studyTime.trimmed())};
    if (!f.accessionNumber.trimmed().isEmpty())
        lines << QStringLiteral("Accession number: ") + f.accessionNumber.trimmed();
    const QString unit = DoseReport::unitName(f.unit);
    lines << QStringLiteral("X-ray unit: ") + (unit.isEmpty() ? QStringLiteral("unknown") : unit);
    QString report = QStringLiteral("Report: ") + (f.sopUid.isEmpty() ? None : f.sopUid);
    if (!f.predecessorUid.isEmpty())
        report += QStringLiteral(", replaces ") + f.predecessorUid;
    lines << report;
    return lines;
}

QStringList DoseReportForm::eventCells(const DoseEvent &e)
{
    QStringList cells;
    cells << QString::number(e.imageNo);
    cells << (e.view.trimmed().isEmpty() ? None : e.view.trimmed());
    cells << (e.laterality == QLatin1String("R")   ? QStringLiteral("Right")
              : e.laterality == QLatin1String("L") ? QStringLiteral("Left")
                                                   : None);
    cells << dateTimeText(e.dateTime);
    cells << valueText(e.dap, GyM2) << valueText(e.entranceDose, MGy) << valueText(e.kvp, QStringLiteral("kV"))
          << valueText(e.mas, QStringLiteral("mAs")) << valueText(e.exposureTime, QStringLiteral("ms"))
          << valueText(e.tubeCurrent, QStringLiteral("mA"));
    return cells;
}

QStringList DoseReportForm::accumulatedLines(const DoseReportFacts &f)
{
    const int n = int(f.events.size());
    QStringList lines{QStringLiteral("Exposures: %1").arg(n)};
    const Total dap = total(f.events, [](const DoseEvent &e) { return e.dap; });
    if (dap.count > 0)
        lines << totalLine(QStringLiteral("Total dose-area product"), dap, n, GyM2);
    const Total entrance = total(f.events, [](const DoseEvent &e) { return e.entranceDose; });
    if (entrance.count > 0)
        lines << totalLine(QStringLiteral("Total entrance dose"), entrance, n, MGy);
    const Total mas = total(f.events, [](const DoseEvent &e) { return e.mas; });
    lines << (mas.count > 0 ? totalLine(QStringLiteral("Total mAs"), mas, n, QStringLiteral("mAs"))
                            : QStringLiteral("Total mAs: ") + None);
    lines << QStringLiteral("Average glandular dose: not measured by the unit");
    return lines;
}

QString DoseReportForm::personName(const QString &dicomName)
{
    // Family name, given names (given and middle); prefix and suffix are not shown.
    const QStringList parts = dicomName.split(QLatin1Char('^'));
    const QString family = parts.value(0).trimmed();
    QStringList givenNames;
    for (int i : {1, 2})
        if (const QString name = parts.value(i).trimmed(); !name.isEmpty())
            givenNames << name;
    const QString given = givenNames.join(QLatin1Char(' '));
    if (family.isEmpty() && given.isEmpty())
        return None;
    if (given.isEmpty())
        return family;
    return family.isEmpty() ? given : family + QStringLiteral(", ") + given;
}

QString DoseReportForm::dateTimeText(const QString &dicomDateTime)
{
    QString t = dicomDateTime.trimmed();
    if (t.isEmpty())
        return None;
    // The offset from UTC is not shown.
    const qsizetype offset = t.indexOf(QRegularExpression(QStringLiteral("[+-]")), 8);
    if (offset >= 0)
        t.truncate(offset);
    const QString date = DateText::fromDicomDate(t.left(8));
    return t.size() > 8 ? date + QLatin1Char(' ') + DateText::fromDicomTime(t.mid(8)) : date;
}

QString DoseReportForm::valueText(const std::optional<double> &value, const QString &unit)
{
    if (!value)
        return None;
    const double v = *value;
    // Four significant digits, and every digit before the decimal point: 177.8, 28, 4.12,
    // 12346, 9.6E-06.
    int digits = 4;
    if (v != 0 && std::isfinite(v))
        digits = std::max(4, int(std::floor(std::log10(std::abs(v)))) + 1);
    return QString::number(v, 'G', digits) + QLatin1Char(' ') + unit;
}
