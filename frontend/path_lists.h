// The drive list and the directory list of the front-end window.
#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QString>

namespace qmz {

// Lists the machine's mounted volumes by their root paths; the current entry
// is the volume that holds the program's working directory at start.
class DriveList : public QComboBox {
    Q_OBJECT
  public:
    explicit DriveList(QWidget* parent = nullptr);
    QString drive() const;  // root path of the chosen volume
    void setDrive(const QString& rootPath);

  signals:
    void driveChanged(const QString& rootPath);
};

// Shows the chain of directories from the top of the file system down to
// the current path, then the current path's subdirectories, one level
// deeper. Activating an entry (double click or Enter) makes it the path.
class DirectoryList : public QListWidget {
    Q_OBJECT
  public:
    explicit DirectoryList(QWidget* parent = nullptr);
    QString path() const { return path_; }
    // Shows path (made absolute and clean); emits pathChanged if it differs.
    void setPath(const QString& path);
    // Rereads the subdirectories without changing the path.
    void refresh();
    // The same, but only when the subdirectories changed (keeps the
    // current entry otherwise).
    void refreshIfChanged();
    // Typing jumps to the entry whose name (without its indent) begins
    // with what was typed.
    void keyboardSearch(const QString& search) override;

  signals:
    void pathChanged(const QString& path);

  private:
    void addEntry(const QString& text, const QString& path, int depth, bool open);

    QStringList subdirectories() const;

    QString path_;
    QStringList shownSubdirs_;
    QString typed_;
    qint64 lastKeyMs_ = 0;
};

// Names of the files in dir whose names match "*.wav" in any letter case,
// sorted as a list box sorts them (case-insensitive).
QStringList wavFilesIn(const QString& dir);

}  // namespace qmz
