#include "dicom/DataSet.h"

namespace dicom {

const DataSet::Element *DataSet::find(quint16 group, quint16 element) const
{
    for (const Element &e : m_elements) {
        if (e.group == group && e.element == element)
            return &e;
    }
    return nullptr;
}

DataSet::Element &DataSet::slot(quint16 group, quint16 element)
{
    for (Element &e : m_elements) {
        if (e.group == group && e.element == element)
            return e;
    }
    Element e;
    e.group = group;
    e.element = element;
    m_elements.push_back(std::move(e));
    return m_elements.back();
}

DataSet &DataSet::set(quint16 group, quint16 element, const QString &text)
{
    Element &e = slot(group, element);
    e.text = text;
    e.isSequence = false;
    e.items.clear();
    return *this;
}

DataSet &DataSet::setInt(quint16 group, quint16 element, qint64 value)
{
    return set(group, element, QString::number(value));
}

DataSet &DataSet::setSequence(quint16 group, quint16 element, std::vector<DataSet> items)
{
    Element &e = slot(group, element);
    e.text.clear();
    e.isSequence = true;
    e.items = std::move(items);
    return *this;
}

void DataSet::remove(quint16 group, quint16 element)
{
    std::erase_if(m_elements, [&](const Element &e) { return e.group == group && e.element == element; });
}

std::optional<QString> DataSet::value(quint16 group, quint16 element) const
{
    const Element *e = find(group, element);
    if (!e || e->isSequence || e->text.isEmpty())
        return std::nullopt;
    return e->text;
}

const std::vector<DataSet> *DataSet::sequence(quint16 group, quint16 element) const
{
    const Element *e = find(group, element);
    return (e && e->isSequence) ? &e->items : nullptr;
}

bool operator==(const DataSet::Element &a, const DataSet::Element &b)
{
    return a.group == b.group && a.element == b.element && a.isSequence == b.isSequence && a.text == b.text
           && a.items == b.items;
}

bool operator==(const DataSet &a, const DataSet &b) { return a.m_elements == b.m_elements; }
} // namespace dicom
