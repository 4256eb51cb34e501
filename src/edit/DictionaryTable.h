#pragma once
#include <QList>
#include <QString>
#include <vector>

class StationPaths;

// The DICOM dictionary of the user database (tblDictionary) as the dictionary editor
// reads and changes it.
class DictionaryTable {
public:
    struct Row {
        qint64 index = 0;
        QString tag;
        QString type;
        QString description;
        bool visible = false;
    };
    // A new tag as the operator typed it.
    struct NewTag {
        QString group;
        QString element;
        QString description;
        QString vr;
        bool visible = false;
    };
    enum class AddResult { Added, BadTag, BadVr, Exists };

    explicit DictionaryTable(const StationPaths &paths);

    // Every row, by tag (UpdateDictionary).
    std::vector<Row> rows() const;
    // Sets Visible of the given rows (index, visible) in one transaction.
    void setVisible(const QList<std::pair<qint64, bool>> &changes);
    void remove(qint64 index);
    // Adds the tag unless it exists; group and element are padded to four upper-case
    // digits, the VR trimmed and upper-cased first.
    AddResult add(const NewTag &tag);

    // "8" -> "0008", " 7fe0 " -> "7FE0": trimmed, upper case, padded with "0" on the left.
    static QString padHex(const QString &text);
    // One to four hexadecimal digits.
    static bool isHexPart(const QString &text);
    // Exactly two letters after trimming.
    static bool isVr(const QString &text);

private:
    const StationPaths &m_paths;
};
