#include "dicom/ElementScan.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

constexpr quint32 Undefined = 0xFFFFFFFFu;

// Where the walk stopped at a doubtful length, the toolkit may still read on, into
// whatever nesting follows. What follows is searched for the marks of nesting with
// undefined lengths - a sequence or an item opened, a delimiter closing one - and the
// deepest level they reach is returned.
int markedNesting(const char *data, qint64 size)
{
    static const char seqOpen[] = {'S', 'Q', 0, 0, '\xFF', '\xFF', '\xFF', '\xFF'};
    static const char itemOpen[] = {'\xFE', '\xFF', 0, '\xE0', '\xFF', '\xFF', '\xFF', '\xFF'};
    int depth = 0, deepest = 0;
    for (qint64 i = 0; i + 4 <= size; ++i) {
        const char *p = data + i;
        if (i + 8 <= size && (memcmp(p, seqOpen, 8) == 0 || memcmp(p, itemOpen, 8) == 0)) {
            deepest = std::max(deepest, ++depth);
            i += 7;
        } else if (p[0] == '\xFE' && p[1] == '\xFF' && (p[2] == '\xDD' || p[2] == '\x0D') && p[3] == '\xE0') {
            depth = std::max(0, depth - 1);
            i += 3;
        }
    }
    return deepest;
}

// Why the bytes behind a doubtful length must not reach the parser (nesting marked deeper
// than the limit; a sequence and its item make two marks a level), empty when they may.
QString markedNestingProblem(const char *data, qint64 size, const dicom::ScanLimits &limits)
{
    if (markedNesting(data, size) <= 2 * limits.maxDepth)
        return {};
    return QStringLiteral("sequences nested deeper than %1 after a damaged length").arg(limits.maxDepth);
}

struct Frame {
    enum Kind { Data, Sequence, Fragments } kind;
    qint64 end; // -1: undefined length, ends at its delimiter
    bool explicitVr;
    bool bigEndian;
};

class Walker {
public:
    Walker(QIODevice &dev, const dicom::ScanLimits &limits) : m_dev(dev), m_size(dev.size()), m_limits(limits) {}

    QString run()
    {
        QString ts;
        bool haveMeta = false;
        char head[8];
        if (m_size >= 132 && read(128, head, 4) && QByteArray(head, 4) == "DICM") {
            m_pos = 132;
            haveMeta = true;
        } else {
            // Without a preamble the file must begin like a data set or a meta group.
            if (!read(0, head, 8))
                return QStringLiteral("too short for a DICOM file");
            quint16 group = qFromLittleEndian<quint16>(head);
            if (group > 0x7FE0 || (group & 1) || group < 0x0002)
                group = qFromBigEndian<quint16>(head); // a big endian data set without meta group
            if (group < 0x0002 || group > 0x7FE0 || (group & 1))
                return QStringLiteral("no DICOM preamble and an implausible first element (%1)")
                    .arg(group, 4, 16, QLatin1Char('0'));
            haveMeta = group == 0x0002;
        }
        if (haveMeta) {
            const QString problem = readMeta(ts);
            if (!problem.isEmpty())
                return problem;
        }
        if (ts == QLatin1String("1.2.840.10008.1.2.1.99"))
            return walkDeflated();
        return walkDataSet(ts);
    }

    // Whether the walk stopped at a limit that protects the parser (nesting, elements,
    // inflated size), not at a doubtful length the toolkit may still read.
    bool limitHit() const { return m_limitHit; }

private:
    // The data set from m_pos on, encoded as the transfer syntax says (empty: a guess).
    QString walkDataSet(const QString &ts)
    {
        bool explicitVr = true, bigEndian = false;
        if (ts == QLatin1String("1.2.840.10008.1.2")) {
            explicitVr = false;
        } else if (ts == QLatin1String("1.2.840.10008.1.2.2")) {
            bigEndian = true;
        }
        // Two capital letters after the first tag mean explicit VR, whatever the meta group
        // claims; the toolkit decides the same way.
        if (m_pos + 6 <= m_size) {
            char first[6];
            read(m_pos, first, 6);
            explicitVr = isVrChar(first[4]) && isVrChar(first[5]);
            if (ts.isEmpty()) {
                const quint16 g = qFromLittleEndian<quint16>(first);
                bigEndian = g > 0x7FE0 || (g & 1) || g < 0x0002;
            }
        }
        m_stack.push_back({Frame::Data, m_size, explicitVr, bigEndian});
        const QString problem = walk();
        // Without a transfer syntax the encoding is a guess: only the limits that protect
        // the parser refuse such a file; other doubts are left to the parser.
        if (!problem.isEmpty() && ts.isEmpty() && !m_limitHit)
            return {};
        return problem;
    }

    // A deflated data set hides its structure from a walk over the file, and the toolkit
    // inflates it and parses what comes out like any other: it is inflated here (up to a
    // bound) and the result walked as explicit VR little endian.
    QString walkDeflated()
    {
        if (!m_dev.seek(m_pos))
            return QStringLiteral("unreadable deflated data set");
        QByteArray inflated;
        bool damaged = false;
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
            return QStringLiteral("the deflated data set cannot be inflated");
        QByteArray in(64 * 1024, '\0');
        char out[64 * 1024];
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (z.avail_in == 0) {
                const qint64 n = m_dev.read(in.data(), in.size());
                if (n <= 0)
                    break; // cut short: what came out is walked, and ends where it ends
                z.next_in = reinterpret_cast<Bytef *>(in.data());
                z.avail_in = static_cast<uInt>(n);
            }
            z.next_out = reinterpret_cast<Bytef *>(out);
            z.avail_out = sizeof out;
            rc = inflate(&z, Z_NO_FLUSH);
            inflated.append(out, static_cast<qsizetype>(sizeof out - z.avail_out));
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                // The toolkit parses what came out before the damage: that is walked too.
                damaged = true;
                break;
            }
            if (inflated.size() > m_limits.maxInflated) {
                inflateEnd(&z);
                m_limitHit = true;
                return QStringLiteral("a deflated data set larger than %1 bytes").arg(m_limits.maxInflated);
            }
        }
        inflateEnd(&z);
        QBuffer buffer(&inflated);
        buffer.open(QIODevice::ReadOnly);
        Walker inner(buffer, m_limits);
        inner.m_count = m_count;
        QString problem = inner.walkDataSet(QStringLiteral("1.2.840.10008.1.2.1"));
        m_limitHit = m_limitHit || inner.m_limitHit;
        if (!problem.isEmpty() && !m_limitHit) {
            const QString nesting = markedNestingProblem(inflated.constData(), inflated.size(), m_limits);
            if (!nesting.isEmpty()) {
                m_limitHit = true;
                return nesting;
            }
        }
        if (damaged && !inner.m_limitHit)
            return QStringLiteral("the deflated data set is damaged");
        return problem;
    }

    static bool isVrChar(char c) { return c >= 'A' && c <= 'Z'; }
    static bool longVr(const char *vr)
    {
        static const char *const longs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                            "SV", "UC", "UN", "UR", "UT", "UV"};
        for (const char *l : longs)
            if (vr[0] == l[0] && vr[1] == l[1])
                return true;
        return false;
    }

    bool read(qint64 at, char *buf, qint64 n)
    {
        if (at < 0 || at + n > m_size)
            return false;
        if (m_dev.pos() != at && !m_dev.seek(at))
            return false;
        return m_dev.read(buf, n) == n;
    }

    quint16 u16(const char *p, bool be) const
    {
        return be ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }
    quint32 u32(const char *p, bool be) const
    {
        return be ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }

    // The meta group is always explicit VR little endian.
    QString readMeta(QString &ts)
    {
        char h[12];
        qint64 metaEnd = -1; // where the group length says the meta header ends
        while (m_pos + 8 <= m_size) {
            if (!read(m_pos, h, 8))
                return QStringLiteral("unreadable meta header");
            // The toolkit reads as far as the group length says, whatever the groups
            // found there: so does the walk, or a damaged tag would hide the transfer
            // syntax behind it.
            if (qFromLittleEndian<quint16>(h) != 0x0002 && (metaEnd < 0 || m_pos >= metaEnd))
                break;
            if (++m_count > m_limits.maxElements)
                return QStringLiteral("more than %1 elements").arg(m_limits.maxElements);
            const quint16 element = qFromLittleEndian<quint16>(h + 2);
            if (!isVrChar(h[4]) || !isVrChar(h[5]))
                return QStringLiteral("meta header element without a value representation");
            qint64 len, hdr;
            if (longVr(h + 4)) {
                if (!read(m_pos, h, 12))
                    return QStringLiteral("meta header cut short");
                len = qFromLittleEndian<quint32>(h + 8);
                hdr = 12;
            } else {
                len = qFromLittleEndian<quint16>(h + 6);
                hdr = 8;
            }
            if (len == Undefined || m_pos + hdr + len > m_size)
                return QStringLiteral("meta header element of impossible length");
            if (qFromLittleEndian<quint16>(h) == 0x0002 && element == 0x0000 && len == 4 && metaEnd < 0) {
                char g[4];
                if (read(m_pos + hdr, g, 4))
                    metaEnd = m_pos + hdr + len + qFromLittleEndian<quint32>(g);
            }
            if (qFromLittleEndian<quint16>(h) == 0x0002 && element == 0x0010 && len < 256) {
                QByteArray v(static_cast<int>(len), '\0');
                read(m_pos + hdr, v.data(), len);
                while (!v.isEmpty() && (v.endsWith('\0') || v.endsWith(' ')))
                    v.chop(1);
                ts = QString::fromLatin1(v);
            }
            m_pos += hdr + len;
        }
        return {};
    }

    int depth() const
    {
        int d = 0;
        for (const Frame &f : m_stack)
            if (f.kind != Frame::Data)
                ++d;
        return d;
    }

    qint64 limitOf(const Frame &f) const
    {
        for (auto it = m_stack.rbegin(); it != m_stack.rend(); ++it)
            if (it->end >= 0)
                return it->end;
        return f.end >= 0 ? f.end : m_size;
    }

    QString pushContainer(Frame::Kind kind, qint64 end, bool explicitVr, bool bigEndian)
    {
        if (end >= 0 && end > limitOf(m_stack.back()))
            return QStringLiteral("a sequence runs past its container at offset %1").arg(m_pos);
        m_stack.push_back({kind, end, explicitVr, bigEndian});
        if (depth() > m_limits.maxDepth && (m_limitHit = true))
            return QStringLiteral("sequences nested deeper than %1").arg(m_limits.maxDepth);
        return {};
    }

    QString walk()
    {
        char h[12];
        for (;;) {
            // Containers of defined length end where their length says.
            while (!m_stack.empty() && m_stack.back().end >= 0 && m_pos >= m_stack.back().end) {
                if (m_pos > m_stack.back().end)
                    return QStringLiteral("an element runs past its container at offset %1").arg(m_pos);
                if (m_stack.size() == 1)
                    return {};
                m_stack.pop_back();
            }
            const Frame f = m_stack.back();
            if (m_stack.size() == 1 && m_pos + 8 > m_size)
                return {}; // a few bytes of padding after the last element
            if (m_pos >= m_size)
                return QStringLiteral("the file ends inside a sequence");
            const qint64 limit = limitOf(f);
            if (m_pos + 8 > limit || !read(m_pos, h, 8))
                return QStringLiteral("an element header runs past its end at offset %1").arg(m_pos);
            if (++m_count > m_limits.maxElements) {
                m_limitHit = true;
                return QStringLiteral("more than %1 elements").arg(m_limits.maxElements);
            }
            const quint16 group = u16(h, f.bigEndian), element = u16(h + 2, f.bigEndian);

            if (group == 0xFFFE) {
                const quint32 len = u32(h + 4, f.bigEndian);
                m_pos += 8;
                if (element == 0xE000) {
                    if (f.kind == Frame::Data)
                        return QStringLiteral("an item outside a sequence at offset %1").arg(m_pos - 8);
                    if (f.kind == Frame::Fragments) {
                        if (len == Undefined || m_pos + len > limit)
                            return QStringLiteral("a pixel fragment of impossible length at offset %1").arg(m_pos - 8);
                        m_pos += len;
                        continue;
                    }
                    const QString problem =
                        pushContainer(Frame::Data, len == Undefined ? -1 : m_pos + len, f.explicitVr, f.bigEndian);
                    if (!problem.isEmpty())
                        return problem;
                } else if (element == 0xE00D) {
                    if (f.kind != Frame::Data || f.end >= 0 || m_stack.size() < 2)
                        return QStringLiteral("an item end where no item is open at offset %1").arg(m_pos - 8);
                    m_stack.pop_back();
                } else if (element == 0xE0DD) {
                    if (f.kind == Frame::Data || f.end >= 0)
                        return QStringLiteral("a sequence end where no sequence is open at offset %1").arg(m_pos - 8);
                    m_stack.pop_back();
                } else {
                    return QStringLiteral("an unknown delimiter at offset %1").arg(m_pos - 8);
                }
                continue;
            }
            if (f.kind != Frame::Data)
                return QStringLiteral("an element where an item belongs at offset %1").arg(m_pos);
            if (group == 0x0000)
                return QStringLiteral("a command element inside the data set at offset %1").arg(m_pos);

            qint64 len, hdr;
            char vr[2] = {0, 0};
            if (f.explicitVr) {
                vr[0] = h[4];
                vr[1] = h[5];
                if (!isVrChar(vr[0]) || !isVrChar(vr[1]))
                    return QStringLiteral("an element without a value representation at offset %1").arg(m_pos);
                if (longVr(vr)) {
                    if (m_pos + 12 > limit || !read(m_pos, h, 12))
                        return QStringLiteral("an element header runs past its end at offset %1").arg(m_pos);
                    len = u32(h + 8, f.bigEndian);
                    hdr = 12;
                } else {
                    len = u16(h + 6, f.bigEndian);
                    hdr = 8;
                }
            } else {
                len = u32(h + 4, f.bigEndian);
                hdr = 8;
            }
            m_pos += hdr;
            const bool sq = vr[0] == 'S' && vr[1] == 'Q';
            const bool un = vr[0] == 'U' && vr[1] == 'N';
            const bool pixels = group == 0x7FE0 && element == 0x0010;
            if (len == Undefined) {
                QString problem;
                if (pixels && (!f.explicitVr || vr[0] == 'O'))
                    problem = pushContainer(Frame::Fragments, -1, f.explicitVr, f.bigEndian);
                else if (sq || !f.explicitVr)
                    problem = pushContainer(Frame::Sequence, -1, f.explicitVr, f.bigEndian);
                else if (un) // its content is implicit VR little endian
                    problem = pushContainer(Frame::Sequence, -1, false, false);
                else
                    problem = QStringLiteral("an undefined length where none is allowed at offset %1").arg(m_pos - hdr);
                if (!problem.isEmpty())
                    return problem;
                continue;
            }
            if (m_pos + len > limit)
                return QStringLiteral("a value runs past its container at offset %1").arg(m_pos - hdr);
            bool nested = sq;
            if (!nested && (!f.explicitVr || un) && len >= 8) {
                // Without a value representation a sequence shows by its first item.
                char first[4];
                nested =
                    read(m_pos, first, 4) && u16(first, f.bigEndian) == 0xFFFE && u16(first + 2, f.bigEndian) == 0xE000;
            }
            if (nested) {
                const QString problem =
                    pushContainer(Frame::Sequence, m_pos + len, un ? false : f.explicitVr, un ? false : f.bigEndian);
                if (!problem.isEmpty())
                    return problem;
                continue;
            }
            m_pos += len;
        }
    }

    QIODevice &m_dev;
    qint64 m_size;
    dicom::ScanLimits m_limits;
    qint64 m_pos = 0;
    qint64 m_count = 0;
    bool m_limitHit = false;
    std::vector<Frame> m_stack;
};

} // namespace

namespace dicom {

QString scanElementStream(const QString &path, const ScanLimits &limits)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot be opened (%1)").arg(f.errorString());
    return Walker(f, limits).run();
}

QString scanParserLimits(const QString &path, const ScanLimits &limits)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {}; // the reader says why it cannot open it
    Walker w(f, limits);
    const QString problem = w.run();
    if (w.limitHit())
        return problem;
    if (!problem.isEmpty()) {
        // Stopped at a doubtful length: the toolkit may read on into deep nesting.
        if (const uchar *bytes = f.map(0, f.size())) {
            const QString nesting = markedNestingProblem(reinterpret_cast<const char *>(bytes), f.size(), limits);
            f.unmap(const_cast<uchar *>(bytes));
            return nesting;
        }
    }
    return {};
}

QString scanElementBytes(const QByteArray &bytes, const ScanLimits &limits)
{
    QByteArray copy = bytes;
    QBuffer b(&copy);
    b.open(QIODevice::ReadOnly);
    return Walker(b, limits).run();
}

} // namespace dicom
