#include "StoreFixture.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Station.h"
#include "dicom/Image.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>
#include <cmath>
#include <vector>

namespace {

const char *const MammoClass = "1.2.840.10008.5.1.4.1.1.1.2"; // digital mammography, for presentation
const char *const SecondaryCaptureClass = "1.2.840.10008.5.1.4.1.1.7";
const char *const ExplicitLittle = "1.2.840.10008.1.2.1";

// A minimal writer of explicit VR little endian files: enough for the test images.
class DicomWriter {
public:
    void text(quint16 g, quint16 e, const char vr[3], const QByteArray &value)
    {
        QByteArray v = value;
        if (v.size() % 2)
            v.append(qstrcmp(vr, "UI") == 0 ? '\0' : ' ');
        header(g, e, vr, v.size());
        m_out.append(v);
    }
    void text(quint16 g, quint16 e, const char vr[3], const QString &value) { text(g, e, vr, value.toLatin1()); }
    void us(quint16 g, quint16 e, quint16 v)
    {
        header(g, e, "US", 2);
        put16(v);
    }
    void ul(quint16 g, quint16 e, quint32 v)
    {
        header(g, e, "UL", 4);
        put32(v);
    }
    void bytes(quint16 g, quint16 e, const char vr[3], const char *data, qsizetype size)
    {
        header(g, e, vr, quint32(size));
        m_out.append(data, size);
        if (size % 2)
            m_out.append('\0');
    }
    const QByteArray &data() const { return m_out; }

private:
    void put16(quint16 v)
    {
        char b[2];
        qToLittleEndian(v, b);
        m_out.append(b, 2);
    }
    void put32(quint32 v)
    {
        char b[4];
        qToLittleEndian(v, b);
        m_out.append(b, 4);
    }
    void header(quint16 g, quint16 e, const char vr[3], quint32 len)
    {
        put16(g);
        put16(e);
        m_out.append(vr, 2);
        const bool longForm =
            !qstrcmp(vr, "OB") || !qstrcmp(vr, "OW") || !qstrcmp(vr, "SQ") || !qstrcmp(vr, "UN") || !qstrcmp(vr, "UT");
        if (longForm) {
            put16(0);
            put32(len);
        } else {
            put16(quint16(len));
        }
    }
    QByteArray m_out;
};

QByteArray metaAndPreamble(const QString &sopClass, const QString &sopUid)
{
    DicomWriter meta;
    meta.bytes(0x0002, 0x0001, "OB", "\0\1", 2);
    meta.text(0x0002, 0x0002, "UI", sopClass);
    meta.text(0x0002, 0x0003, "UI", sopUid);
    meta.text(0x0002, 0x0010, "UI", QByteArray(ExplicitLittle));
    meta.text(0x0002, 0x0012, "UI", QByteArray("1.2.826.0.1.3680043.9.7433.1"));
    DicomWriter group;
    group.ul(0x0002, 0x0000, quint32(meta.data().size()));
    QByteArray out(128, '\0');
    out.append("DICM");
    out.append(group.data());
    out.append(meta.data());
    return out;
}

struct ImageFacts {
    QString sopClass;
    QString sopUid;
    QString studyUid;
    QString seriesUid;
    int seriesNr = 1;
    int instanceNumber = 1;
    QString modality;
    QString patientName;
    QString patientId;
    QString laterality;
    QString orientation; // Patient Orientation, rows\columns
    QString view;
    int bitsStored = 8;
    double centre = 0;
    double width = 0;
};

void writeFile(const QString &path, const ImageFacts &f, int width, int height, const std::vector<quint16> &pixels)
{
    DicomWriter ds;
    ds.text(0x0008, 0x0016, "UI", f.sopClass);
    ds.text(0x0008, 0x0018, "UI", f.sopUid);
    ds.text(0x0008, 0x0020, "DA", QByteArray("20260302"));
    ds.text(0x0008, 0x0030, "TM", QByteArray("091500"));
    ds.text(0x0008, 0x0060, "CS", f.modality);
    ds.text(0x0008, 0x0070, "LO", QByteArray("Calvarex test images"));
    ds.text(0x0010, 0x0010, "PN", f.patientName);
    ds.text(0x0010, 0x0020, "LO", f.patientId);
    ds.text(0x0010, 0x0030, "DA", QByteArray("19650412"));
    ds.text(0x0010, 0x0040, "CS", QByteArray("F"));
    if (f.modality == QLatin1String("MG"))
        ds.text(0x0018, 0x1164, "DS", QByteArray("0.085\\0.085")); // the detector's, as every unit states it
    if (!f.view.isEmpty())
        ds.text(0x0018, 0x5101, "CS", f.view);
    ds.text(0x0020, 0x000D, "UI", f.studyUid);
    ds.text(0x0020, 0x000E, "UI", f.seriesUid);
    ds.text(0x0020, 0x0011, "IS", QByteArray::number(f.seriesNr));
    ds.text(0x0020, 0x0013, "IS", QByteArray::number(f.instanceNumber));
    if (!f.orientation.isEmpty())
        ds.text(0x0020, 0x0020, "CS", f.orientation);
    if (!f.laterality.isEmpty())
        ds.text(0x0020, 0x0062, "CS", f.laterality);
    ds.us(0x0028, 0x0002, 1);
    ds.text(0x0028, 0x0004, "CS", QByteArray("MONOCHROME2"));
    ds.us(0x0028, 0x0010, quint16(height));
    ds.us(0x0028, 0x0011, quint16(width));
    ds.us(0x0028, 0x0100, 16);
    ds.us(0x0028, 0x0101, quint16(f.bitsStored));
    ds.us(0x0028, 0x0102, quint16(f.bitsStored - 1));
    ds.us(0x0028, 0x0103, 0);
    if (f.width > 0) {
        ds.text(0x0028, 0x1050, "DS", QByteArray::number(f.centre, 'f', 0));
        ds.text(0x0028, 0x1051, "DS", QByteArray::number(f.width, 'f', 0));
    }

    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(path));
    file.write(metaAndPreamble(f.sopClass, f.sopUid));
    file.write(ds.data());
    // Pixel data header, then the little-endian words.
    DicomWriter px;
    const qsizetype bytes = qsizetype(pixels.size()) * 2;
    px.bytes(0x7FE0, 0x0010, "OW", nullptr, 0);
    QByteArray head = px.data();
    const quint32 len = quint32(bytes);
    qToLittleEndian(len, head.data() + 8);
    file.write(head);
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        file.write(reinterpret_cast<const char *>(pixels.data()), bytes);
    } else {
        std::vector<quint16> le(pixels.size());
        for (size_t i = 0; i < pixels.size(); ++i)
            le[i] = qToLittleEndian(pixels[i]);
        file.write(reinterpret_cast<const char *>(le.data()), bytes);
    }
    if (!file.flush())
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot write %1").arg(path));
}

// Smooth value noise: a coarse random grid, interpolated.
class Noise {
public:
    Noise(int width, int height, int cell, quint32 seed) : m_cell(cell)
    {
        m_gw = width / cell + 3;
        m_gh = height / cell + 3;
        QRandomGenerator rng(seed);
        m_grid.resize(size_t(m_gw) * m_gh);
        for (float &v : m_grid)
            v = float(rng.generateDouble());
    }
    float at(int x, int y) const
    {
        const float fx = float(x) / m_cell, fy = float(y) / m_cell;
        const int ix = int(fx), iy = int(fy);
        float tx = fx - ix, ty = fy - iy;
        tx = tx * tx * (3 - 2 * tx);
        ty = ty * ty * (3 - 2 * ty);
        const float *r0 = &m_grid[size_t(iy) * m_gw + ix];
        const float *r1 = r0 + m_gw;
        const float a = r0[0] + (r0[1] - r0[0]) * tx;
        const float b = r1[0] + (r1[1] - r1[0]) * tx;
        return a + (b - a) * ty;
    }

private:
    int m_cell;
    int m_gw = 0, m_gh = 0;
    std::vector<float> m_grid;
};

} // namespace

StoreFixture::StoreFixture(Station &station) : m_station(station) {}

QString StoreFixture::newUid()
{
    return QStringLiteral("1.2.826.0.1.3680043.9.7433.2.%1.%2")
        .arg(QDateTime::currentMSecsSinceEpoch() % 100000000)
        .arg(++m_counter);
}

QString StoreFixture::imageFile(const QString &studyUid, const QString &sopUid) const
{
    return m_station.paths().imageFile(studyUid, sopUid);
}

static QVariant nullable(const QString &s) { return s.isNull() ? QVariant() : QVariant(s); }

qint64 StoreFixture::addPatient(const QString &patId1, const QString &last, const QString &first, const QString &second,
                                const QString &birthDate)
{
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, Pat2Vorname, "
                                         "PatGebDatum) VALUES (?, ?, ?, ?, ?)"),
                          {patId1, nullable(last), nullable(first), nullable(second), nullable(birthDate)});
    return db.lastInsertId(q);
}

qint64 StoreFixture::addStudy(qint64 patId, const QString &studyUid, const QString &date, const QString &time,
                              const QString &modality, const QString &bodypart)
{
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, "
                                         "Bodypart) VALUES (?, ?, ?, ?, ?, ?)"),
                          {studyUid, patId, nullable(date), nullable(time), nullable(modality), nullable(bodypart)});
    return db.lastInsertId(q);
}

qint64 StoreFixture::addSeries(qint64 studyId, const QString &seriesUid, int seriesNr)
{
    Database db = Database::openData(m_station.paths());
    QSqlQuery q = db.exec(QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, ?, ?)"),
                          {seriesUid, seriesNr, studyId});
    return db.lastInsertId(q);
}

qint64 StoreFixture::addImage(qint64 seriesId, const QString &imageUid, int imageNr, const QString &date,
                              const QString &time)
{
    Database db = Database::openData(m_station.paths());
    const QString t = time.isNull() ? QStringLiteral("09:%1:%2")
                                          .arg(imageNr / 60 % 60, 2, 10, QLatin1Char('0'))
                                          .arg(imageNr % 60, 2, 10, QLatin1Char('0'))
                                    : time;
    QSqlQuery q =
        db.exec(QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) "
                               "VALUES (?, ?, ?, ?, ?)"),
                {imageUid, imageNr, seriesId, nullable(date), t});
    return db.lastInsertId(q);
}

void StoreFixture::addReceive(const QString &patId)
{
    Database db = Database::openData(m_station.paths());
    db.exec(QStringLiteral("INSERT INTO tblReceive (PatID) VALUES (?)"), {patId});
}

void StoreFixture::writeSmallImage(const QString &path, const QString &studyUid, const QString &seriesUid,
                                   const QString &sopUid, int instanceNumber, int width, int height,
                                   const QString &patientId)
{
    ImageFacts f;
    f.sopClass = QString::fromLatin1(SecondaryCaptureClass);
    f.sopUid = sopUid;
    f.studyUid = studyUid;
    f.seriesUid = seriesUid;
    f.instanceNumber = instanceNumber;
    f.modality = QStringLiteral("OT");
    f.patientName = QStringLiteral("Test^Small");
    f.patientId = patientId;
    f.bitsStored = 8;
    std::vector<quint16> px(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            px[size_t(y) * width + x] = quint16((x * 255 / qMax(1, width - 1) + instanceNumber * 17) % 256);
    writeFile(path, f, width, height, px);
}

namespace {

double smoothstep(double e0, double e1, double x)
{
    const double t = qBound(0.0, (x - e0) / (e1 - e0), 1.0);
    return t * t * (3 - 2 * t);
}

// Value noise on a free grid (cell units), for the fibrous strands that run towards the
// nipple.
class GridNoise {
public:
    GridNoise(int w, int h, quint32 seed) : m_w(w), m_h(h), m_v(size_t(w) * h)
    {
        QRandomGenerator rng(seed);
        for (float &v : m_v)
            v = float(rng.generateDouble());
    }
    float at(double gx, double gy) const
    {
        gx = qBound(0.0, gx, double(m_w - 2));
        gy = qBound(0.0, gy, double(m_h - 2));
        const int ix = int(gx), iy = int(gy);
        double tx = gx - ix, ty = gy - iy;
        tx = tx * tx * (3 - 2 * tx);
        ty = ty * ty * (3 - 2 * ty);
        const float *r0 = &m_v[size_t(iy) * m_w + ix];
        const float *r1 = r0 + m_w;
        const double a = r0[0] + (r0[1] - r0[0]) * tx;
        const double b = r1[0] + (r1[1] - r1[0]) * tx;
        return float(a + (b - a) * ty);
    }

private:
    int m_w, m_h;
    std::vector<float> m_v;
};

} // namespace

void StoreFixture::writeMammogram(const QString &path, const Mammogram &m)
{
    const int w = m.size.width(), h = m.size.height();
    const double scale = w / 3328.0;
    QRandomGenerator rng(m.seed);
    // Chest wall on the left for a right breast, on the right for a left one.
    const bool chestLeft = m.laterality != 'L';
    const bool mlo = m.view == QLatin1String("MLO");
    const double a = w * (0.60 + 0.08 * rng.generateDouble()); // depth from the chest wall to the nipple
    const double b = h * (mlo ? 0.46 : 0.41);
    const double cy = h * (mlo ? 0.56 : 0.50);
    const Noise coarse(w, h, qMax(4, int(520 * scale)), m.seed * 7 + 1);
    const Noise mid(w, h, qMax(3, int(160 * scale)), m.seed * 7 + 2);
    const Noise fine(w, h, qMax(2, int(40 * scale)), m.seed * 7 + 3);
    const Noise grain(w, h, qMax(1, int(6 * scale)), m.seed * 7 + 4);
    const Noise edge(w, h, qMax(4, int(380 * scale)), m.seed * 7 + 5);
    const GridNoise strands(420, 40, m.seed * 7 + 6);
    const GridNoise strands2(900, 60, m.seed * 7 + 8);

    // A cluster of microcalcifications and a few scattered ones.
    struct Spot {
        double d, y, r;
    };
    std::vector<Spot> calcs;
    const double cd = a * (0.35 + 0.3 * rng.generateDouble());
    const double cyc = cy + b * 0.4 * (rng.generateDouble() - 0.5);
    for (int i = 0; i < 9; ++i)
        calcs.push_back({cd + 60 * scale * (rng.generateDouble() - 0.5),
                         cyc + 60 * scale * (rng.generateDouble() - 0.5),
                         qMax(0.8, 5 * scale * (0.6 + rng.generateDouble()))});
    for (int i = 0; i < 4; ++i)
        calcs.push_back({a * (0.2 + 0.6 * rng.generateDouble()), cy + b * 0.8 * (rng.generateDouble() - 0.5),
                         qMax(1.0, 9 * scale * (0.6 + rng.generateDouble()))});

    std::vector<quint16> px(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        const double dy = (y - cy) / b;
        for (int x = 0; x < w; ++x) {
            const double d = chestLeft ? x : (w - 1 - x); // distance from the chest wall
            const double wobble = 1.0 + 0.05 * (edge.at(x, y) - 0.5);
            const double dx = d / (a * wobble);
            const double t = 1.0 - (dx * dx + dy * dy);
            double v;
            if (t <= 0) {
                v = 40 + 30 * grain.at(x, y); // air beside the breast
            } else {
                // Compressed tissue is thinner towards the skin line.
                const double thick = smoothstep(0.0, 0.22, t);
                // Glandular tissue: a cone behind the nipple, patchy, wider at the chest wall.
                const double across = (y - cy) / (b * (0.30 + 0.45 * (1.0 - dx)));
                const double cone = std::exp(-across * across) * (1.0 - smoothstep(0.75, 1.0, dx));
                const double patch = smoothstep(0.30, 0.78, 0.65 * coarse.at(x, y) + 0.35 * mid.at(x, y));
                const double gland = cone * patch;
                // Fibrous strands running towards the nipple.
                const double ax = a - d, ay = y - cy;
                const double theta = std::atan2(ay, ax) + M_PI; // 0..2 pi around the nipple
                const double r = std::sqrt(ax * ax + ay * ay) / a;
                const double n1 = strands.at(theta * 60.0, r * 7.0 + 1);
                const double n2 = strands2.at(theta * 130.0, r * 12.0 + 1);
                const double ridge1 = std::pow(1.0 - std::abs(2 * n1 - 1), 8.0);
                const double ridge2 = std::pow(1.0 - std::abs(2 * n2 - 1), 10.0);
                const double fibres = 0.7 * ridge1 + 0.5 * ridge2;
                v = 700 + 1000 * thick + thick * (1500 * gland + 520 * fibres * (0.4 + gland))
                    + 90 * (fine.at(x, y) - 0.5) + 70 * (grain.at(x, y) - 0.5);
                if (t < 0.012)
                    v += 260 * (1.0 - t / 0.012); // the skin line
                if (mlo) {
                    // The pectoral muscle: a bright wedge in the upper chest-wall corner.
                    const double edgeAt = a * 0.45 * (1.0 - double(y) / (h * 0.50));
                    const double inside = smoothstep(-6 * scale - 1, 6 * scale + 1, edgeAt - d);
                    const double muscle = 2450 + 350 * smoothstep(0.0, 1.0, 1.0 - d / qMax(1.0, edgeAt))
                                          + 150 * mid.at(x, y) + 60 * (grain.at(x, y) - 0.5);
                    v = v * (1 - inside) + inside * qMax(v, muscle);
                }
                for (const Spot &s : calcs) {
                    const double ex = d - s.d, ey = y - s.y;
                    const double q = (ex * ex + ey * ey) / (s.r * s.r);
                    if (q < 1.0)
                        v = qMax(v, 3950.0 - 400 * q);
                }
            }
            px[size_t(y) * w + x] = quint16(qBound(0.0, v, 4095.0) * 4); // 14 bits stored
        }
    }

    ImageFacts f;
    f.sopClass = QString::fromLatin1(MammoClass);
    f.sopUid = m.sopUid;
    f.studyUid = m.studyUid;
    f.seriesUid = m.seriesUid;
    f.instanceNumber = m.instanceNumber;
    f.modality = QStringLiteral("MG");
    f.patientName = m.patientName;
    f.patientId = m.patientId;
    f.laterality = QString(QLatin1Char(m.laterality));
    // The rows run from the chest wall to the nipple (A) on a right breast, the other way
    // (P) on a left one, as the pixels are drawn; the columns run to the feet.
    f.orientation = m.laterality == 'L' ? QStringLiteral("P\\F") : QStringLiteral("A\\F");
    f.view = m.view;
    f.bitsStored = 14;
    f.centre = 2350 * 4;
    f.width = 2900 * 4;
    writeFile(path, f, w, h, px);
}

StoreFixture::StudyMade StoreFixture::addStudyWithImages(qint64 patId, int n, const QSize &mammoSize, int seriesCount)
{
    StudyMade made;
    made.patId = patId;
    made.studyUid = newUid();
    made.studyId = addStudy(patId, made.studyUid);
    QList<qint64> series;
    QStringList seriesUids;
    for (int s = 0; s < qMax(1, seriesCount); ++s) {
        seriesUids.append(newUid());
        series.append(addSeries(made.studyId, seriesUids.last(), s + 1));
    }
    made.seriesId = series.first();
    static const char *const views[] = {"CC", "CC", "MLO", "MLO"};
    static const char lats[] = {'R', 'L', 'R', 'L'};
    // Images are dealt out to the series in turn, so each series' rows are its own.
    QList<QStringList> perSeries(series.size());
    QList<QStringList> perSeriesFiles(series.size());
    for (int i = 0; i < n; ++i) {
        const int s = i % int(series.size());
        const QString uid = newUid();
        const QString file = imageFile(made.studyUid, uid);
        const int nr = int(perSeries[s].size()) + 1;
        if (mammoSize.isValid()) {
            Mammogram m;
            m.size = mammoSize;
            m.laterality = lats[i % 4];
            m.view = QString::fromLatin1(views[i % 4]);
            m.instanceNumber = i + 1;
            m.seed = quint32(i + 11);
            m.studyUid = made.studyUid;
            m.seriesUid = seriesUids[s];
            m.sopUid = uid;
            writeMammogram(file, m);
        } else {
            writeSmallImage(file, made.studyUid, seriesUids[s], uid, i + 1);
        }
        addImage(series[s], uid, nr);
        perSeries[s].append(uid);
        perSeriesFiles[s].append(file);
    }
    for (int s = 0; s < series.size(); ++s) {
        made.sopUids += perSeries[s];
        made.files += perSeriesFiles[s];
    }
    return made;
}

QString StoreFixture::addRealFile(qint64 seriesId, const QString &studyUid, const QString &sourceFile, int imageNr)
{
    const QString uid = dicom::Image::readFile(sourceFile)->sopInstanceUid();
    const QString target = imageFile(studyUid, uid);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    if (!QFile::copy(sourceFile, target))
        throw AppError(ErrorNo::FileIo, QStringLiteral("Cannot copy %1").arg(sourceFile));
    addImage(seriesId, uid, imageNr);
    return uid;
}
