#pragma once
#include <QString>
#include <memory>

class SharedDatabase;

// Every path below the station folder is built here, with one spelling per folder
// (Linux file names are case-sensitive).
class StationPaths {
public:
    explicit StationPaths(const QString &appPath);

    // The station folder, without trailing separator.
    const QString &appPath() const { return m_appPath; }
    QString dataDir() const;
    QString imagesDir() const;
    QString tempDir() const;
    QString binDir() const;
    QString transferDir() const;
    QString logsDir() const;
    QString quarantineDir() const;
    QString dataDb() const;                  // Data/TqData.dat
    QString userDb() const;                  // Data/TqUser.dat
    QString templateDb() const;              // Data/TqDef.dat
    QString file(const QString &name) const; // a file in the station folder (hand-over files)

    // A study's image folder and an image's file. The UIDs are checked first: anything
    // that is not a valid UID throws AppError instead of naming a path.
    QString studyDir(const QString &studyUid) const;
    QString imageFile(const QString &studyUid, const QString &sopUid) const;

    // The dose reports the station made, one per study, named after its Study Instance
    // UID (checked like the image files' UIDs).
    QString doseReportsDir() const;
    QString doseReportFile(const QString &studyUid) const;

    // The storage commitment reports the receiver took from the archives, waiting for the
    // station to apply them (Data/Commitments).
    QString commitReportsDir() const;

    // Creates the folders the station works in (data, images, temp, bin, transfer, the
    // commitment reports).
    void createFolders() const;

    // The station folder: CALVAREX_HOME when set; else the executable's folder (a portable
    // station), unless the station is installed (its resources in ../share/calvarex beside
    // the bin folder): then the user's data folder ($XDG_DATA_HOME/calvarex, by default
    // ~/.local/share/calvarex), the same for the station and its companions.
    static QString defaultAppPath();
    // The folder of the shipped resources (the splash picture): beside the executable in
    // a build or portable station, ../share/calvarex when installed.
    static QString resourceDir();
    // True when the executable runs from an installed prefix (bin/ beside share/calvarex).
    static bool installed();

    // Where the configuration (the user database) lives: the site's shared database when
    // the settings name one, else the station's own file. Copies of the paths share it.
    SharedDatabase *shared() const { return m_shared.get(); }
    void setShared(std::shared_ptr<SharedDatabase> shared) { m_shared = std::move(shared); }

private:
    QString m_appPath;
    std::shared_ptr<SharedDatabase> m_shared;
};

// A DICOM UID: digits and dots, 1 to 64 characters, no empty component.
bool isValidUid(const QString &uid);
