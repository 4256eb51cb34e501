#pragma once
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace dicom {

// One item of a sequence, held as plain values so that callers can build and read
// sequences (view codes, worklist answers) without the toolkit. Elements keep the order
// in which they were added; the toolkit sorts them by tag when they are written.
class DataSet {
public:
    struct Element {
        quint16 group = 0;
        quint16 element = 0;
        QString text; // the value; several values joined with "\"
        bool isSequence = false;
        std::vector<DataSet> items; // the items when isSequence
    };

    // Adds the element, or replaces its value when the data set already holds it.
    DataSet &set(quint16 group, quint16 element, const QString &text);
    DataSet &setInt(quint16 group, quint16 element, qint64 value);
    DataSet &setSequence(quint16 group, quint16 element, std::vector<DataSet> items);
    void remove(quint16 group, quint16 element);

    bool exists(quint16 group, quint16 element) const { return find(group, element) != nullptr; }
    // nullopt when absent, empty or a sequence.
    std::optional<QString> value(quint16 group, quint16 element) const;
    // The items of a sequence element; nullptr when absent or not a sequence.
    const std::vector<DataSet> *sequence(quint16 group, quint16 element) const;

    const std::vector<Element> &elements() const { return m_elements; }
    bool isEmpty() const { return m_elements.empty(); }
    const Element *find(quint16 group, quint16 element) const;

    friend bool operator==(const DataSet &a, const DataSet &b);

private:
    Element &slot(quint16 group, quint16 element);
    std::vector<Element> m_elements;
};

bool operator==(const DataSet::Element &a, const DataSet::Element &b);
} // namespace dicom
