#include "path_lists.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

namespace qmz {
namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kIndentSpaces = 2;
constexpr int kIconPixels = 13;

QStringList mountedRoots() {
    QStringList roots;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (volume.isValid() && volume.isReady() && QFileInfo(root).isDir() &&
            !roots.contains(root))
            roots << root;
    }
    const QString current = QStorageInfo(QDir::currentPath()).rootPath();
    if (!current.isEmpty() && !roots.contains(current)) roots << current;
    roots.sort();
    return roots;
}

}  // namespace

DriveList::DriveList(QWidget* parent) : QComboBox(parent) {
    for (const QString& root : mountedRoots()) addItem(QDir::toNativeSeparators(root), root);
    setDrive(QStorageInfo(QDir::currentPath()).rootPath());
    connect(this, &QComboBox::currentIndexChanged, this,
            [this](int) { emit driveChanged(drive()); });
}

QString DriveList::drive() const {
    return currentData().toString();
}

void DriveList::setDrive(const QString& rootPath) {
    const int row = findData(rootPath);
    if (row >= 0) setCurrentIndex(row);
}

DirectoryList::DirectoryList(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(kIconPixels, kIconPixels));
    connect(this, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { setPath(item->data(kPathRole).toString()); });
}

void DirectoryList::setPath(const QString& path) {
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    const bool changed = clean != path_;
    path_ = clean;
    refresh();
    if (changed) emit pathChanged(path_);
}

void DirectoryList::addEntry(const QString& text, const QString& path, int depth, bool open) {
    const QStyle::StandardPixmap icon = open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon;
    auto* item = new QListWidgetItem(style()->standardIcon(icon),
                                     QString(depth * kIndentSpaces, QLatin1Char(' ')) + text, this);
    item->setData(kPathRole, path);
}

void DirectoryList::refresh() {
    clear();
    // The chain from the top down: "/", "/home", "/home/user", ...
    QStringList chain;
    for (QDir dir(path_);;) {
        chain.prepend(dir.absolutePath());
        if (dir.isRoot() || !dir.cdUp()) break;
    }
    for (int depth = 0; depth < chain.size(); ++depth) {
        const QString& p = chain[depth];
        const QString name =
            QDir(p).isRoot() ? QDir::toNativeSeparators(p) : QFileInfo(p).fileName();
        addEntry(name, p, depth, true);
    }
    setCurrentRow(static_cast<int>(chain.size()) - 1);
    const QDir current(path_);
    shownSubdirs_ = subdirectories();
    for (const QString& sub : shownSubdirs_)
        addEntry(sub, current.absoluteFilePath(sub), static_cast<int>(chain.size()), false);
}

QStringList DirectoryList::subdirectories() const {
    return QDir(path_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

void DirectoryList::refreshIfChanged() {
    if (subdirectories() != shownSubdirs_) refresh();
}

void DirectoryList::keyboardSearch(const QString& search) {
    // Keys typed in quick succession extend the search, as in any list.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - lastKeyMs_ > QApplication::keyboardInputInterval()) typed_.clear();
    lastKeyMs_ = now;
    typed_ += search;
    const int n = count();
    const int start = std::max(currentRow(), 0);
    // A repeated single letter steps to the next entry with that letter.
    const bool stepping = typed_.size() > 1 && typed_.count(typed_[0]) == typed_.size();
    const QString wanted = stepping ? typed_.left(1) : typed_;
    for (int k = 0; k < n; ++k) {
        const int row = (start + k + (typed_.size() == 1 || stepping ? 1 : 0)) % n;
        if (item(row)->text().trimmed().startsWith(wanted, Qt::CaseInsensitive)) {
            setCurrentRow(row);
            return;
        }
    }
}

QStringList wavFilesIn(const QString& dir) {
    // Without QDir::CaseSensitive the name filter ignores letter case.
    return QDir(dir).entryList({QStringLiteral("*.wav")}, QDir::Files,
                               QDir::Name | QDir::IgnoreCase);
}

}  // namespace qmz
