#include "dose/ExposureJournal.h"
#include "dicom/Uid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

bool syncFile(QFile &f)
{
    if (!f.flush())
        return false;
#ifdef Q_OS_WIN
    return ::_commit(f.handle()) == 0;
#else
    return ::fdatasync(f.handle()) == 0;
#endif
}

// A new file's name in its folder is on disk only once the folder is synced.
void syncFolder(const QString &file)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(file);
#endif
}

QJsonArray rowsJson(const ExamPatient &p)
{
    QJsonArray a;
    for (const QString &r : p.rows)
        a.append(r);
    return a;
}

ExamPatient rowsFrom(const QJsonValue &v)
{
    ExamPatient p;
    const QJsonArray a = v.toArray();
    for (int i = 0; i < 8 && i < a.size(); ++i)
        p.rows[size_t(i)] = a.at(i).toString();
    return p;
}

QJsonObject exposureJson(const JournalExposure &e)
{
    QJsonObject o{{"s", e.seq},
                  {"u", e.uid},
                  {"d", e.date},
                  {"h", e.time},
                  {"k", e.unit},
                  {"m", e.message},
                  {"v", QJsonArray{e.values.mGy1, e.values.mGy2, e.values.mGy3, e.values.expTime}}};
    if (e.hasPatient()) {
        o.insert("p", rowsJson(e.patient));
        o.insert("n", e.imageNo);
    }
    if (e.closed)
        o.insert("c", true);
    return o;
}

JournalExposure exposureFrom(const QJsonObject &o)
{
    JournalExposure e;
    e.seq = o.value("s").toInteger();
    e.uid = o.value("u").toString();
    e.date = o.value("d").toString();
    e.time = o.value("h").toString();
    e.unit = o.value("k").toInt();
    e.message = o.value("m").toString();
    const QJsonArray v = o.value("v").toArray();
    e.values.mGy1 = v.at(0).toString();
    e.values.mGy2 = v.at(1).toString();
    e.values.mGy3 = v.at(2).toString();
    e.values.expTime = v.at(3).toString();
    if (o.contains("p")) {
        e.patient = rowsFrom(o.value("p"));
        e.imageNo = o.value("n").toInt();
    }
    e.closed = o.value("c").toBool();
    return e;
}

QByteArray lineOf(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'; }

} // namespace

ExposureJournal::ExposureJournal(QString path) : m_path(std::move(path)) {}

QString ExposureJournal::newUid() { return dicom::uidOfUuid(QUuid::createUuid()); }

JournalExposure *ExposureJournal::find(qint64 seq)
{
    for (JournalExposure &e : m_exposures)
        if (e.seq == seq)
            return &e;
    return nullptr;
}

void ExposureJournal::apply(const QJsonObject &line)
{
    const QString t = line.value("t").toString();
    if (t == QLatin1String("in")) {
        m_gathered += line.value("x").toString();
    } else if (t == QLatin1String("keep")) {
        m_gathered = m_gathered.right(line.value("n").toInteger());
    } else if (t == QLatin1String("set")) {
        m_gathered = line.value("x").toString();
    } else if (t == QLatin1String("head")) {
        m_nextSeq = std::max(m_nextSeq, line.value("next").toInteger());
    } else if (t == QLatin1String("exam")) {
        m_exam = rowsFrom(line.value("p"));
        m_lastImageNo = line.value("last").toInt();
    } else if (t == QLatin1String("close")) {
        // Its exposures still waiting for their records belong to the closed study.
        for (JournalExposure &e : m_exposures)
            if (m_exam && e.state == JournalExposure::State::Waiting && e.patient.id() == m_exam->id())
                e.closed = true;
        m_exam.reset();
        m_lastImageNo = 0;
    } else if (t == QLatin1String("cut")) {
        for (const QJsonValue &v : line.value("e").toArray()) {
            JournalExposure e = exposureFrom(v.toObject());
            if (find(e.seq))
                continue;
            m_nextSeq = std::max(m_nextSeq, e.seq + 1);
            if (e.hasPatient() && m_exam && e.patient == *m_exam)
                m_lastImageNo = std::max(m_lastImageNo, e.imageNo);
            m_exposures.append(e);
        }
        if (line.contains("g"))
            m_gathered = line.value("g").toString();
    } else if (t == QLatin1String("assign")) {
        if (JournalExposure *e = find(line.value("s").toInteger())) {
            e->patient = rowsFrom(line.value("p"));
            e->imageNo = line.value("n").toInt();
            if (m_exam && e->patient == *m_exam)
                m_lastImageNo = std::max(m_lastImageNo, e->imageNo);
        }
    } else if (t == QLatin1String("stored")) {
        if (JournalExposure *e = find(line.value("s").toInteger())) {
            e->state = JournalExposure::State::Stored;
            e->recordId = line.value("id").toInteger();
        }
    }
}

bool ExposureJournal::writeLines(const QList<QByteArray> &lines)
{
    QFile f(m_path);
    const bool fresh = !f.exists();
    if (fresh)
        QDir().mkpath(QFileInfo(m_path).absolutePath());
    // Unbuffered: what did not go through is not written later by a flush on close.
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_lastError = f.errorString();
        return false;
    }
    const qint64 before = f.size();
    QByteArray bytes;
    for (const QByteArray &l : lines)
        bytes += l;
    if (f.write(bytes) != bytes.size() || !syncFile(f)) {
        m_lastError = f.errorString().isEmpty() ? QStringLiteral("the write did not go through") : f.errorString();
        // Never leave part of a line behind: the next line would run into it.
        if (!f.resize(before))
            m_lastError += QStringLiteral(" (and a part line could not be cut off: %1)").arg(f.errorString());
        return false;
    }
    f.close();
    if (fresh)
        syncFolder(m_path);
    m_size = before + bytes.size();
    m_lastError.clear();
    return true;
}

bool ExposureJournal::flush()
{
    if (m_backlog.isEmpty())
        return true;
    if (!writeLines(m_backlog))
        return false;
    m_backlog.clear();
    return true;
}

bool ExposureJournal::record(const QJsonObject &line)
{
    apply(line);
    m_backlog.append(lineOf(line));
    if (!flush())
        return false;
    // Rewritten when it grew well past what it holds.
    if (m_size > std::max(CompactAt, 4 * m_compactSize))
        compact();
    return true;
}

void ExposureJournal::load(QStringList *problems)
{
    m_gathered.clear();
    m_exam.reset();
    m_lastImageNo = 0;
    m_exposures.clear();
    m_backlog.clear();
    m_size = 0;
    QFile f(m_path);
    if (!f.exists() || !f.open(QIODevice::ReadWrite))
        return;
    QByteArray all = f.readAll();
    const qsizetype end = all.lastIndexOf('\n') + 1;
    if (end < all.size()) {
        // A kill while the last line was written: only whole lines count.
        if (problems)
            problems->append(
                QStringLiteral("a line cut short at the end (%1 bytes) was dropped").arg(all.size() - end));
        f.resize(end);
        all.truncate(end);
    }
    f.close();
    m_size = all.size();
    int number = 0;
    for (const QByteArray &l : all.split('\n')) {
        ++number;
        if (l.trimmed().isEmpty())
            continue;
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(l, &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject()) {
            if (problems)
                problems->append(QStringLiteral("line %1 is damaged (%2)").arg(number).arg(err.errorString()));
            continue;
        }
        apply(doc.object());
    }
}

bool ExposureJournal::compact()
{
    QList<QByteArray> lines;
    lines << lineOf(QJsonObject{{"t", "head"}, {"next", m_nextSeq}});
    if (!m_gathered.isEmpty())
        lines << lineOf(QJsonObject{{"t", "set"}, {"x", m_gathered}});
    if (m_exam)
        lines << lineOf(QJsonObject{{"t", "exam"}, {"p", rowsJson(*m_exam)}, {"last", m_lastImageNo}});
    QList<JournalExposure> keep;
    QJsonArray kept;
    for (const JournalExposure &e : std::as_const(m_exposures))
        if (e.state == JournalExposure::State::Waiting) {
            keep << e;
            kept.append(exposureJson(e));
        }
    if (!kept.isEmpty())
        lines << lineOf(QJsonObject{{"t", "cut"}, {"e", kept}});

    const QString tmp = m_path + QStringLiteral(".new");
    QFile::remove(tmp);
    {
        QFile f(tmp);
        QByteArray bytes;
        for (const QByteArray &l : lines)
            bytes += l;
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !syncFile(f)) {
            m_lastError = f.errorString();
            f.close();
            QFile::remove(tmp);
            return false;
        }
    }
#ifdef Q_OS_WIN
    QFile::remove(m_path);
#endif
    if (std::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(m_path).constData()) != 0) {
        m_lastError = QStringLiteral("cannot replace %1").arg(m_path);
        QFile::remove(tmp);
        return false;
    }
    syncFolder(m_path);
    m_size = m_compactSize = QFileInfo(m_path).size();
    // The new file holds the whole state: lines that could not be written are in it.
    m_backlog.clear();
    m_exposures = keep;
    return true;
}

bool ExposureJournal::appendInput(const QString &chunk)
{
    if (chunk.isEmpty())
        return flush();
    return record(QJsonObject{{"t", "in"}, {"x", chunk}});
}

bool ExposureJournal::keepLast(qsizetype n) { return record(QJsonObject{{"t", "keep"}, {"n", qint64(n)}}); }

bool ExposureJournal::setGathered(const QString &text)
{
    if (text == m_gathered)
        return flush();
    return record(QJsonObject{{"t", "set"}, {"x", text}});
}

bool ExposureJournal::openExamination(const ExamPatient &patient, int lastImageNo)
{
    return record(QJsonObject{{"t", "exam"}, {"p", rowsJson(patient)}, {"last", lastImageNo}});
}

bool ExposureJournal::closeExamination()
{
    if (!m_exam)
        return flush();
    return record(QJsonObject{{"t", "close"}});
}

QList<JournalExposure> ExposureJournal::capture(const QList<Cut> &exposures, const QList<Aside> &aside,
                                                const std::optional<QString> &gatheredAfter, bool toExamination)
{
    QJsonArray list;
    QList<qint64> seqs;
    int number = m_lastImageNo;
    qint64 seq = m_nextSeq;
    for (const Cut &c : exposures) {
        JournalExposure e;
        e.seq = seq++;
        e.uid = newUid();
        e.date = c.date;
        e.time = c.time;
        e.unit = c.unit;
        e.message = c.message;
        e.values = c.values;
        if (m_exam && toExamination) {
            e.patient = *m_exam;
            e.imageNo = ++number;
        }
        list.append(exposureJson(e));
        seqs << e.seq;
    }
    QJsonObject line{{"t", "cut"}, {"e", list}};
    if (!aside.isEmpty()) {
        QJsonArray a;
        for (const Aside &x : aside)
            a.append(QJsonObject{{"x", x.text}, {"r", x.reason}});
        line.insert("a", a);
    }
    if (gatheredAfter)
        line.insert("g", *gatheredAfter);
    if (list.isEmpty() && aside.isEmpty() && (!gatheredAfter || *gatheredAfter == m_gathered))
        return {};
    record(line);
    QList<JournalExposure> out;
    for (qint64 s : seqs)
        if (const JournalExposure *e = find(s))
            out << *e;
    return out;
}

bool ExposureJournal::assignToExamination(qint64 seq)
{
    const JournalExposure *e = find(seq);
    if (!e || !m_exam || e->hasPatient())
        return flush();
    return record(QJsonObject{{"t", "assign"}, {"s", seq}, {"p", rowsJson(*m_exam)}, {"n", m_lastImageNo + 1}});
}

bool ExposureJournal::markStored(qint64 seq, qint64 recordId)
{
    return record(QJsonObject{{"t", "stored"}, {"s", seq}, {"id", recordId}});
}

QList<JournalExposure> ExposureJournal::unstored() const
{
    QList<JournalExposure> out;
    for (const JournalExposure &e : m_exposures)
        if (e.state == JournalExposure::State::Waiting && e.hasPatient())
            out << e;
    return out;
}

QList<JournalExposure> ExposureJournal::unassigned() const
{
    QList<JournalExposure> out;
    for (const JournalExposure &e : m_exposures)
        if (e.state == JournalExposure::State::Waiting && !e.hasPatient())
            out << e;
    return out;
}

bool ExposureJournal::containsMessage(const QString &message) const
{
    const QString wanted = message.trimmed();
    return std::any_of(m_exposures.cbegin(), m_exposures.cend(),
                       [&](const JournalExposure &e) { return e.message.trimmed() == wanted; });
}
