#pragma once
#include "dose/DoseReport.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QPushButton;
class QTableWidget;

// "Dose report": what a kept dose report says, for the operator to read. The header names
// the patient, the study, the X-ray unit and the report (and the report it replaces); the
// table tblEvents has one row per exposure with each value and its unit ("–" where the unit
// sent none); lblAccumulated sums the study's exposures. The texts come from the static
// functions below, so they can be checked without a screen.
class DoseReportForm : public QDialog {
    Q_OBJECT
public:
    explicit DoseReportForm(const DoseReportFacts &facts, QWidget *parent = nullptr);

    // The table's column headers.
    static QStringList columns();
    // The header lines: "Patient: Doe, Jane", "Patient ID: P1", "Study: 2026-12-10 14:03:22", ...
    static QStringList headerLines(const DoseReportFacts &facts);
    // The cells of an exposure's row, in column order.
    static QStringList eventCells(const DoseEvent &event);
    // The accumulated values: the number of exposures, the totals the unit's values give,
    // and the glandular dose that none of the units measures.
    static QStringList accumulatedLines(const DoseReportFacts &facts);

    // "Doe^Jane^Mary" -> "Doe, Jane Mary".
    static QString personName(const QString &dicomName);
    // DICOM DT "20261210140322" -> "2026-12-10 14:03:22".
    static QString dateTimeText(const QString &dicomDateTime);
    // A value with its unit as the form shows it ("177.8 mA", "9.6E-06 Gy·m²"); "–" when
    // there is none.
    static QString valueText(const std::optional<double> &value, const QString &unit);

private:
    QLabel *m_lblHeader = nullptr;
    QTableWidget *m_tblEvents = nullptr;
    QLabel *m_lblAccumulated = nullptr;
    QPushButton *m_cmdClose = nullptr;
};
