#include "edit/ModifyImage.h"
#include "dicom/DataSet.h"
#include "dicom/Image.h"

namespace {

struct NamedView {
    std::initializer_list<const char *> texts;
    const char *orientation;
    const char *code;
    const char *meaning;
    const char *laterality;
};

const NamedView NamedViews[] = {
    {{"R CC", "RCC", "RLD"}, "P\\L", "R-10242", "cranio-caudal", "R"},
    {{"L CC", "LCC", "LLD"}, "A\\R", "R-10242", "cranio-caudal", "L"},
    {{"R OBLIQUE", "RLO"}, "P\\FL", "R-10226", "medio lateral oblique", "R"},
    {{"L OBLIQUE", "LLO"}, "A\\FR", "R-10226", "medio lateral oblique", "L"},
    {{"R MLO", "MLO R", "R-MLO", "MLO-R", "RMLO", "MLOR"}, "P\\FL", "R-10226", "medio lateral oblique", "R"},
    {{"L MLO", "MLO L", "L-MLO", "MLO-L", "LMLO", "MLOL"}, "A\\FR", "R-10226", "medio lateral oblique", "L"},
};

dicom::DataSet codeItem(const QString &value, const QString &meaning)
{
    dicom::DataSet item;
    item.set(0x0008, 0x0100, value);
    item.set(0x0008, 0x0102, QStringLiteral("SNM-3"));
    item.set(0x0008, 0x0104, meaning);
    return item;
}

} // namespace

ModifyImage::ModifyImage(SideAsker askSide) : m_askSide(std::move(askSide)) {}

ModifyImage::View ModifyImage::recognise(const QString &viewText, const QString &laterality, const QString &side)
{
    View v;
    for (const NamedView &n : NamedViews) {
        for (const char *t : n.texts) {
            if (viewText == QLatin1String(t)) {
                v.orientation = QString::fromLatin1(n.orientation);
                v.codeValue = QString::fromLatin1(n.code);
                v.codeMeaning = QString::fromLatin1(n.meaning);
                v.laterality = QString::fromLatin1(n.laterality);
                return v;
            }
        }
    }
    if (viewText == QLatin1String("MLO")) {
        if (laterality == QLatin1String("L"))
            v.orientation = QStringLiteral("A\\FR");
        else if (laterality == QLatin1String("R"))
            v.orientation = QStringLiteral("P\\FL");
        v.laterality = v.orientation.isEmpty() ? QString() : laterality;
        v.codeValue = QStringLiteral("R-10226");
        v.codeMeaning = QStringLiteral("medio lateral oblique");
        v.viewPosition = v.laterality + QStringLiteral(" MLO");
        v.rewritesViewPosition = true;
    } else if (viewText == QLatin1String("ML")) {
        if (side == QLatin1String("L"))
            v.orientation = QStringLiteral("A\\F");
        else if (side == QLatin1String("R"))
            v.orientation = QStringLiteral("P\\F");
        v.laterality = v.orientation.isEmpty() ? QString() : side;
        v.codeValue = QStringLiteral("R-10224");
        v.codeMeaning = QStringLiteral("medio-lateral");
        v.viewPosition = v.laterality + QStringLiteral(" ML");
        v.rewritesViewPosition = true;
        v.asksSide = true;
    } else if (viewText == QLatin1String("CC")) {
        if (laterality == QLatin1String("R"))
            v.orientation = QStringLiteral("P\\L");
        else if (laterality == QLatin1String("L"))
            v.orientation = QStringLiteral("A\\R");
        v.laterality = v.orientation.isEmpty() ? QString() : laterality;
        v.codeValue = QStringLiteral("R-10242");
        v.codeMeaning = QStringLiteral("cranio-caudal");
        v.viewPosition = v.laterality + QStringLiteral(" CC");
        v.rewritesViewPosition = true;
    }
    return v;
}

void ModifyImage::apply(dicom::Image &image)
{
    m_viewSide.clear();
    image.setSequence(0x0008, 0x2218, {codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))});
    image.setSopClass(MammoSopClass);

    // The view text is compared as it stands, only upper-cased: "R CC " is no view.
    const auto position = image.value(0x0018, 0x5101);
    const QString viewText = position ? position->toUpper() : QString();
    const QString laterality = image.value(0x0020, 0x0060).value_or(QString());
    QString side;
    if (viewText == QLatin1String("ML")) {
        side = m_askSide ? m_askSide(image) : QString();
        if (side != QLatin1String("L") && side != QLatin1String("R"))
            side.clear();
    }
    const View view = recognise(viewText, laterality, side);
    if (view.rewritesViewPosition) {
        m_viewSide = view.laterality;
        image.setText(0x0018, 0x5101, view.viewPosition);
    }

    // The view code item holds an empty View Modifier Code Sequence, which the
    // mammography image requires in it.
    dicom::DataSet viewItem = codeItem(view.codeValue, view.codeMeaning);
    viewItem.setSequence(0x0054, 0x0222, {});

    image.setText(0x0008, 0x0060, QStringLiteral("MG"));
    image.setText(0x0008, 0x0068, QStringLiteral("FOR PRESENTATION"));
    image.setText(0x0018, 0x0015, QStringLiteral("BREAST"));
    image.setInt(0x0018, 0x1460, 0);
    image.setText(0x0018, 0x1508, QStringLiteral("MAMMOGRAPHIC"));
    // The whole shutter goes: a Shutter Shape left without its parameters is invalid.
    for (quint16 e : {0x1600, 0x1602, 0x1604, 0x1606, 0x1608, 0x1610, 0x1612, 0x1620, 0x1622, 0x1624})
        image.remove(0x0018, e);
    image.remove(0x0018, 0x5100);
    image.setText(0x0018, 0x7004, QStringLiteral("DIRECT"));
    image.setText(0x0020, 0x0020, view.orientation);
    // The side goes into Image Laterality; the series' Laterality may only stay when
    // that is empty, or the object is no valid mammogram.
    if (view.laterality.isEmpty())
        image.setText(0x0020, 0x0060, view.laterality);
    else
        image.remove(0x0020, 0x0060);
    image.setText(0x0020, 0x0062, view.laterality);
    image.setText(0x0028, 0x0301, QStringLiteral("NO"));
    image.setText(0x0028, 0x1040, QStringLiteral("LOG"));
    image.setInt(0x0028, 0x1041, -1);
    // The stored window stays: an image for presentation needs a window or a VOI LUT,
    // and the stored one is the one the image was meant to be seen with.
    if (!image.exists(0x0028, 0x1052))
        image.setText(0x0028, 0x1052, QStringLiteral("0"));
    if (!image.exists(0x0028, 0x1053))
        image.setText(0x0028, 0x1053, QStringLiteral("1"));
    image.setText(0x0028, 0x1054, QStringLiteral("US"));
    image.setText(0x0040, 0x0318, QStringLiteral("BREAST"));
    image.setSequence(0x0054, 0x0220, {viewItem});
    if (!image.exists(0x0040, 0x0555))
        image.setSequence(0x0040, 0x0555, {});
    // MONOCHROME1 stores bright as low values: only INVERSE presents it the right way.
    const bool inverse = image.value(0x0028, 0x0004).value_or(QString()).trimmed() == QLatin1String("MONOCHROME1");
    image.setText(0x2050, 0x0020, inverse ? QStringLiteral("INVERSE") : QStringLiteral("IDENTITY"));
}
