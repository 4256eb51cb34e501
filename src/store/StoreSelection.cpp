#include "store/StoreSelection.h"

bool StoreSelection::setPatient(qint64 patId, const QString &patId1, const QString &name, const QString &birthDate)
{
    if (patId == m_patId && patId1 == m_patId1 && name == m_patName && birthDate == m_patBirthDate)
        return false;
    m_patId = patId;
    m_patId1 = patId1;
    m_patName = name;
    m_patBirthDate = birthDate;
    emit patientPicked();
    return true;
}

void StoreSelection::forgetPatient()
{
    m_patId = 0;
    m_patId1.clear();
    m_patName.clear();
    m_patBirthDate.clear();
    m_patIndex = -1;
    m_popupPatId = 0;
    m_popupPatId1.clear();
    m_studyId.clear();
    m_studyUid.clear();
    m_seriesId = 0;
    m_listedImages = 0;
    emit patientDeleted();
}

void StoreSelection::setPopupPatient(qint64 patId, const QString &patId1)
{
    m_popupPatId = patId;
    m_popupPatId1 = patId1;
}

void StoreSelection::setStudy(const QString &studyId, const QString &studyUid, int index)
{
    m_studyId = studyId;
    m_studyUid = studyUid;
    m_studyIndex = index;
}

void StoreSelection::setSeries(qint64 seriesId, int count, int index)
{
    m_seriesId = seriesId;
    m_seriesCount = count;
    m_seriesIndex = index;
}

void StoreSelection::setHighlightedStudy(const QString &studyId, const QString &studyUid, int index)
{
    m_hiStudyId = studyId;
    m_hiStudyUid = studyUid;
    m_hiStudyIndex = index;
}

bool StoreSelection::takeHighlightedStudy()
{
    if (m_hiStudyUid.isEmpty() && m_hiStudyId.isEmpty())
        return false;
    setStudy(m_hiStudyId, m_hiStudyUid, m_hiStudyIndex);
    return true;
}

bool StoreSelection::setCurrentImage(int number, const QString &file, const QString &uid)
{
    if (number <= 0) {
        number = 0;
        if (m_currentImage == 0 && m_currentImageFile.isEmpty())
            return false;
    } else if (number == m_currentImage && file == m_currentImageFile && uid == m_currentImageUid) {
        return false;
    }
    m_currentImage = number;
    m_currentImageFile = number > 0 ? file : QString();
    m_currentImageUid = number > 0 ? uid : QString();
    emit imagePicked();
    return true;
}
