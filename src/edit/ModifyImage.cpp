#include "edit/ModifyImage.h"
#include "core/AppError.h"
#include "dicom/DataSet.h"
#include "dicom/Image.h"
#include "dicom/Render.h"
#include "dicom/Uid.h"

#include <QStringList>
#include <cmath>

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

// Transfer syntaxes that keep every pixel value: the others were lossy compressed.
bool losslessSyntax(const QString &uid)
{
    static const QStringList lossless{
        QStringLiteral("1.2.840.10008.1.2"),      QStringLiteral("1.2.840.10008.1.2.1"),
        QStringLiteral("1.2.840.10008.1.2.1.99"), QStringLiteral("1.2.840.10008.1.2.2"),
        QStringLiteral("1.2.840.10008.1.2.4.57"), QStringLiteral("1.2.840.10008.1.2.4.70"),
        QStringLiteral("1.2.840.10008.1.2.4.80"), QStringLiteral("1.2.840.10008.1.2.4.90"),
        QStringLiteral("1.2.840.10008.1.2.5")};
    return uid.isEmpty() || lossless.contains(uid);
}

double number(const dicom::Image &image, quint16 g, quint16 e, double fallback)
{
    bool ok = false;
    const double v = image.valueAt(g, e, 1).value_or(QString()).trimmed().toDouble(&ok);
    return ok && std::isfinite(v) ? v : fallback;
}

// The detector's pixel spacing (row\\column): the Imager Pixel Spacing, else the Pixel
// Spacing, else the Nominal Scanned Pixel Spacing, the first that holds two values; empty
// when none does.
QString detectorSpacing(const dicom::Image &image)
{
    for (const auto &[g, e] : {std::pair<quint16, quint16>{0x0018, 0x1164}, {0x0028, 0x0030}, {0x0018, 0x2010}}) {
        const QString spacing = image.value(g, e).value_or(QString());
        if (spacing.count(QLatin1Char('\\')) == 1)
            return spacing;
    }
    return {};
}

// Refuses what no mammogram can be, before anything is changed.
void checkPixels(const dicom::Image &image)
{
    auto refuse = [&](const QString &why) {
        throw AppError(
            ErrorNo::BadInput,
            QStringLiteral("Image %1 cannot be presented as a mammogram: %2").arg(image.sopInstanceUid(), why));
    };
    if (!image.exists(0x7FE0, 0x0010))
        refuse(QStringLiteral("it holds no pixel data"));
    const QString photometric = image.value(0x0028, 0x0004).value_or(QString()).trimmed();
    if (photometric != QLatin1String("MONOCHROME1") && photometric != QLatin1String("MONOCHROME2"))
        refuse(QStringLiteral("it is not a grey-scale image (%1)")
                   .arg(photometric.isEmpty() ? QStringLiteral("no photometric interpretation") : photometric));
    if (number(image, 0x0028, 0x0103, 0) != 0)
        refuse(QStringLiteral("its pixel values are signed"));
    if (number(image, 0x0028, 0x0008, 1) > 1)
        refuse(QStringLiteral("it has several frames"));
    // The detector's pixel spacing is required and cannot be made up.
    if (detectorSpacing(image).isEmpty())
        refuse(QStringLiteral("it does not say its pixel spacing (Imager Pixel Spacing, Pixel Spacing)"));
    const double bits = number(image, 0x0028, 0x0100, 0);
    if (bits != 8 && bits != 16)
        refuse(QStringLiteral("%1 bits allocated per pixel (8 or 16 are possible)").arg(bits));
}

} // namespace

ModifyImage::ModifyImage(SideAsker askSide, ViewAsker askView)
    : m_askSide(std::move(askSide)), m_askView(std::move(askView))
{
}

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
    checkPixels(image);

    // The view text is compared as it stands, only upper-cased: "R CC " is no view.
    const auto position = image.value(0x0018, 0x5101);
    const QString viewText = position ? position->toUpper() : QString();
    // The side from the series' Laterality, else from the Image Laterality a mammogram
    // already has.
    auto sideOf = [&](quint16 element) {
        const QString v = image.value(0x0020, element).value_or(QString()).trimmed();
        return v == QLatin1String("L") || v == QLatin1String("R") ? v : QString();
    };
    QString laterality = sideOf(0x0060);
    if (laterality.isEmpty())
        laterality = sideOf(0x0062);
    const bool knownSide = !laterality.isEmpty();
    auto askSide = [&] {
        QString side = m_askSide ? m_askSide(image) : QString();
        if (side != QLatin1String("L") && side != QLatin1String("R"))
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("The side of image %1 (View Position \"%2\") was not given: "
                                          "it was not made a mammogram")
                               .arg(image.sopInstanceUid(), viewText));
        return side;
    };
    QString side;
    if (viewText == QLatin1String("ML"))
        side = askSide();
    else if ((viewText == QLatin1String("MLO") || viewText == QLatin1String("CC")) && !knownSide)
        laterality = askSide();
    View view = recognise(viewText, laterality, side);
    QString chosenView;
    if (view.codeValue.isEmpty()) {
        // A view the text does not name: the operator says which it is.
        chosenView = m_askView ? m_askView(image).trimmed().toUpper() : QString();
        if (chosenView.endsWith(QLatin1String(" ML")))
            view = recognise(QStringLiteral("ML"), QString(), chosenView.left(1));
        else if (!chosenView.isEmpty())
            view = recognise(chosenView, QString(), QString());
        if (view.codeValue.isEmpty() || view.laterality.isEmpty())
            throw AppError(ErrorNo::BadInput,
                           QStringLiteral("The view of image %1 (View Position \"%2\") is not known: "
                                          "it was not made a mammogram")
                               .arg(image.sopInstanceUid(), viewText));
    }

    // Another kind of object becomes a new one that names its source.
    const QString sourceClass = image.sopClassUid();
    const QString sourceUid = image.sopInstanceUid();
    if (sourceClass != MammoSopClass) {
        dicom::DataSet source;
        source.set(0x0008, 0x1150, sourceClass);
        source.set(0x0008, 0x1155, sourceUid);
        image.setSequence(0x0008, 0x2112, {source});
        image.setText(0x0008, 0x0018, dicom::newUid());
    }
    image.setSequence(0x0008, 0x2218, {codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))});
    image.setSopClass(MammoSopClass);

    if (!chosenView.isEmpty()) {
        m_viewSide = view.laterality;
        image.setText(0x0018, 0x5101, chosenView);
    } else if (view.rewritesViewPosition) {
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
    // The side goes into Image Laterality; the series' Laterality may not stay beside it,
    // or the object is no valid mammogram.
    image.remove(0x0020, 0x0060);
    image.setText(0x0020, 0x0062, view.laterality);
    image.setText(0x0028, 0x0301, QStringLiteral("NO"));
    image.setText(0x0028, 0x1040, QStringLiteral("LOG"));
    image.setInt(0x0028, 0x1041, -1);

    // What the image type says is kept to the two values a mammogram has.
    const std::vector<QString> types = image.values(0x0008, 0x0008).value_or(std::vector<QString>());
    const QString type1 =
        !types.empty() && (types[0] == QLatin1String("ORIGINAL") || types[0] == QLatin1String("DERIVED"))
            ? types[0]
            : QStringLiteral("DERIVED");
    const QString type2 =
        types.size() > 1 && (types[1] == QLatin1String("PRIMARY") || types[1] == QLatin1String("SECONDARY"))
            ? types[1]
            : QStringLiteral("PRIMARY");
    image.setText(0x0008, 0x0008, type1 + QLatin1Char('\\') + type2);
    // Lossy compression once means lossy for good; the transfer syntax tells for this copy.
    const QString lossy = image.value(0x0028, 0x2110).value_or(QString()).trimmed();
    image.setText(0x0028, 0x2110,
                  lossy == QLatin1String("01") || !losslessSyntax(image.transferSyntaxUid()) ? QStringLiteral("01")
                                                                                             : QStringLiteral("00"));
    // The detector's pixel spacing, from the pixel spacing or the scanned spacing when the
    // image does not say it; the aspect ratio is the spacing's then.
    image.setText(0x0018, 0x1164, detectorSpacing(image));
    image.remove(0x0028, 0x0034);

    // Presentation values are the stored ones: the rescale is the identity, and a stored
    // window is carried over into the stored values it meant.
    double slope = number(image, 0x0028, 0x1053, 1);
    const double intercept = number(image, 0x0028, 0x1052, 0);
    if (slope == 0)
        slope = 1;
    const auto stored = image.storedWindow();
    image.setText(0x0028, 0x1052, QStringLiteral("0"));
    image.setText(0x0028, 0x1053, QStringLiteral("1"));
    image.setText(0x0028, 0x1054, QStringLiteral("US"));
    if (stored && stored->second > 0) {
        if (slope != 1 || intercept != 0)
            image.setWindow((stored->first - intercept) / slope, std::max(1.0, stored->second / std::abs(slope)));
    } else if (!image.exists(0x0028, 0x3010)) {
        // An image for presentation needs a window: the one its pixel values give, else
        // the whole range of its bits.
        const auto computed = dicom::pixelWindow(image);
        const double bitsStored = number(image, 0x0028, 0x0101, 16);
        if (computed && computed->second >= 1)
            image.setWindow(std::round(computed->first), std::round(computed->second));
        else
            image.setWindow(std::ldexp(1.0, int(bitsStored) - 1), std::ldexp(1.0, int(bitsStored)));
    }
    image.setText(0x0040, 0x0318, QStringLiteral("BREAST"));
    image.setSequence(0x0054, 0x0220, {viewItem});
    if (!image.exists(0x0040, 0x0555))
        image.setSequence(0x0040, 0x0555, {});
    // MONOCHROME1 stores bright as low values: only INVERSE presents it the right way.
    const bool inverse = image.value(0x0028, 0x0004).value_or(QString()).trimmed() == QLatin1String("MONOCHROME1");
    image.setText(0x2050, 0x0020, inverse ? QStringLiteral("INVERSE") : QStringLiteral("IDENTITY"));
}
