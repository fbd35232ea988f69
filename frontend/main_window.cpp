#include "main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryFile>
#include <QUrl>

#include "caption_fit.h"
#include "script_launcher.h"

namespace qmz {
namespace {

// Positions are laid out in twips (1/1440 inch): 15 per pixel at 96 dpi.
constexpr int kClientWidth = 5655;
constexpr int kClientHeight = 6285;
constexpr int kTwipsPerInch = 1440;
constexpr double kFormFontPoints = 8.0;
constexpr double kSmallestFontPoints = 6.5;
// The status line below the form: the window grows by its height.
constexpr int kStatusHeight = 480;
// Output names a question lists before it says "and N more".
constexpr int kNamesListed = 6;
constexpr int kBatchPollMs = 250;
constexpr int kListRefreshMs = 300;

const char* const kTitle = "QMZ Batch Encoder";

// Rows of the clip-length buttons in focus order.
constexpr int kClipFocusOrder[kClipCount] = {1, 2, 0};

std::string bytesOf(const QString& text) {
    const QByteArray bytes = QFile::encodeName(text);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString textOf(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

QString fileNameOf(const std::string& path) {
    return QFileInfo(textOf(path)).fileName();
}

// "a, b and c" of at most kNamesListed names, then "and N more".
QString listOfNames(const QStringList& names) {
    QStringList shown = names.mid(0, kNamesListed);
    if (names.size() > kNamesListed)
        shown << QStringLiteral("%1 more").arg(names.size() - kNamesListed);
    if (shown.size() == 1) return shown[0];
    const QString last = shown.takeLast();
    return shown.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

}  // namespace

QString selectionCounterText(int count) {
    if (count == 0) return QStringLiteral("NO FILES SELECTED");
    // The leading space stands where a minus sign would go.
    return QStringLiteral(" %1 %2").arg(count).arg(count == 1 ? QStringLiteral("FILE SELECTED")
                                                              : QStringLiteral("FILES SELECTED"));
}

Form1::Form1(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kTitle));
    // The layout is sized for a narrow 8-point sans serif; take the first
    // such face the system has before its default face.
    QFont f = font();
    f.setFamilies({QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                   QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"), f.family()});
    f.setPointSizeF(kFormFontPoints);
    setFont(f);
    toolDir_ = QCoreApplication::applicationDirPath();
    workDir_ = QDir::currentPath();
    starter_ = [this](const QString& name, const QString& dir, qint64* pid, QString* error) {
        return startScriptDetached(name, dir, toolDir_, pid, error);
    };
    confirm_ = [this](const QString& question) {
        return QMessageBox::question(this, windowTitle(), question,
                                     QMessageBox::Yes | QMessageBox::Cancel,
                                     QMessageBox::Cancel) == QMessageBox::Yes;
    };
    opener_ = [](const QString& file) { QDesktopServices::openUrl(QUrl::fromLocalFile(file)); };
    buildControls();
    buildStatusLine();
    setFocusOrder();
    setFixedSize(twips(0, 0, kClientWidth, kClientHeight + kStatusHeight).size());
    // A face wider than the one the layout was drawn for (DejaVu Sans, all
    // a fresh Debian desktop is sure to have) gets a smaller size. The
    // counter is measured at its widest likely text.
    selCount_->setText(selectionCounterText(9999));
    fitFontToCaptions(this, kSmallestFontPoints);
    selCount_->setText(selectionCounterText(0));

    listRefresh_.setSingleShot(true);
    listRefresh_.setInterval(kListRefreshMs);
    connect(&listRefresh_, &QTimer::timeout, this, &Form1::refreshLists);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &listRefresh_,
            qOverload<>(&QTimer::start));
    watchDirectories();
    batchPoll_.setInterval(kBatchPollMs);
    connect(&batchPoll_, &QTimer::timeout, this, &Form1::pollBatch);
    showIdleStatus();
}

QRect Form1::twips(int left, int top, int width, int height) const {
    const double scale = logicalDpiX() / static_cast<double>(kTwipsPerInch);
    auto px = [scale](int t) { return qRound(t * scale); };
    return {px(left), px(top), px(width), px(height)};
}

void Form1::buildControls() {
    auto named = [](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };
    auto* label1 = new QLabel(QStringLiteral("SOURCE FILES"), this);
    named(label1, "Label1")->setGeometry(twips(240, 120, 2415, 255));
    drive1_ = new DriveList(this);
    named(drive1_, "Drive1")->setGeometry(twips(240, 480, 2415, 315));
    dir1_ = new DirectoryList(this);
    named(dir1_, "Dir1")->setGeometry(twips(240, 840, 2415, 990));
    file1_ = new QListWidget(this);
    named(file1_, "File1")->setGeometry(twips(240, 2040, 2415, 3210));
    file1_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    auto* frame3 = new QGroupBox(this);
    named(frame3, "Frame3")->setGeometry(twips(240, 5400, 2415, 615));
    selCount_ = new QLabel(selectionCounterText(0), frame3);
    named(selCount_, "sel_count")->setGeometry(twips(120, 240, 1695, 255));

    auto* label2 = new QLabel(QStringLiteral("DESTINATION DIRECTORY"), this);
    named(label2, "Label2")->setGeometry(twips(2880, 120, 2415, 255));
    drive2_ = new DriveList(this);
    named(drive2_, "Drive2")->setGeometry(twips(2880, 480, 2415, 315));
    dir2_ = new DirectoryList(this);
    named(dir2_, "Dir2")->setGeometry(twips(2880, 840, 2415, 990));

    // The clip-length buttons sit on the window itself, over their frame.
    auto* encTime = new QGroupBox(QStringLiteral("Encoding time"), this);
    named(encTime, "EncTime")->setGeometry(twips(2880, 2040, 2415, 1095));
    clipGroup_ = new QButtonGroup(this);
    for (int row = 0; row < kClipCount; ++row) {
        auto* b = new QRadioButton(QString::fromLatin1(clipCaption(row)), this);
        named(b, "Option2")->setGeometry(twips(3120, 2280 + 240 * row, 1815, 255));
        b->setProperty("index", row);
        clipGroup_->addButton(b, row);
    }
    auto* frame1 = new QGroupBox(QStringLiteral("Quality settings"), this);
    named(frame1, "Frame1")->setGeometry(twips(2880, 3240, 2415, 2055));
    presetGroup_ = new QButtonGroup(this);
    for (int row = 0; row < kPresetCount; ++row) {
        auto* b = new QRadioButton(QString::fromLatin1(presetCaption(row)), frame1);
        named(b, "Option1")->setGeometry(twips(240, 240 + 240 * row, 1575, 255));
        b->setProperty("index", row);
        presetGroup_->addButton(b, row);
    }
    clipGroup_->button(0)->setChecked(true);
    presetGroup_->button(1)->setChecked(true);

    auto* command1 = new QPushButton(QStringLiteral("Start Encoding"), this);
    named(command1, "Command1")->setGeometry(twips(2880, 5400, 1455, 615));
    auto* command2 = new QPushButton(QStringLiteral("Exit"), this);
    named(command2, "Command2")->setGeometry(twips(4440, 5400, 855, 615));
    // Enter presses the focused button, as Space does.
    command1->setAutoDefault(true);
    command2->setAutoDefault(true);

    // Event table: drive changes move the directory lists, Dir1 refills
    // File1, selecting in File1 counts; Dir2 and the option buttons are
    // only read when the script is written.
    connect(drive1_, &DriveList::driveChanged, dir1_, &DirectoryList::setPath);
    connect(drive2_, &DriveList::driveChanged, dir2_, &DirectoryList::setPath);
    connect(dir1_, &DirectoryList::pathChanged, this, &Form1::refillFileList);
    connect(dir1_, &DirectoryList::pathChanged, this, &Form1::watchDirectories);
    connect(dir2_, &DirectoryList::pathChanged, this, &Form1::watchDirectories);
    connect(file1_, &QListWidget::itemSelectionChanged, this, [this] {
        if (!refilling_) updateSelectionCounter();
    });
    connect(command1, &QPushButton::clicked, this, &Form1::writeAndStartScript);
    connect(command2, &QPushButton::clicked, this, [this] {
        close();
        QCoreApplication::exit(0);
    });

    dir1_->setPath(QDir::currentPath());
    dir2_->setPath(QDir::currentPath());
    refillFileList(dir1_->path());
}

void Form1::buildStatusLine() {
    statusLine_ = new QLabel(this);
    statusLine_->setObjectName(QStringLiteral("StatusLine"));
    statusLine_->setGeometry(twips(240, kClientHeight + 60, 4095, 255));
    statusLine_->setTextFormat(Qt::PlainText);
    openLog_ = new QPushButton(QStringLiteral("Open log"), this);
    openLog_->setObjectName(QStringLiteral("OpenLog"));
    openLog_->setGeometry(twips(4440, kClientHeight, 855, 375));
    openLog_->setAutoDefault(true);
    openLog_->hide();
    connect(openLog_, &QPushButton::clicked, this,
            [this] { opener_(QDir(workDir_).filePath(logFileName())); });
}

void Form1::setStatus(const QString& text) {
    status_ = text;
    // Long paths and names are shortened in the middle; the whole text is
    // the tool tip.
    const int room = statusLine_->contentsRect().width();
    statusLine_->setText(statusLine_->fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    statusLine_->setToolTip(text);
}

void Form1::showIdleStatus() {
    const QString script = QString::fromLatin1(scriptFileName(nativeScriptStyle()));
    const QString log = logFileName();
    const QString dir = QDir::toNativeSeparators(workDir_);
    setStatus(log.isEmpty() ? tr("Start Encoding writes %1 in %2").arg(script, dir)
                            : tr("Start Encoding writes %1 and %2 in %3").arg(script, log, dir));
}

void Form1::setFocusOrder() {
    QList<QWidget*> chain = {drive1_,
                             dir1_,
                             file1_,
                             drive2_,
                             dir2_,
                             findChild<QPushButton*>(QStringLiteral("Command1")),
                             findChild<QPushButton*>(QStringLiteral("Command2"))};
    for (int row : kClipFocusOrder) chain << clipGroup_->button(row);
    for (int row = 0; row < kPresetCount; ++row) chain << presetGroup_->button(row);
    chain << openLog_;
    for (qsizetype i = 0; i + 1 < chain.size(); ++i) setTabOrder(chain[i], chain[i + 1]);
    drive1_->setFocus();
}

// Tab and Shift+Tab treat each option group as one stop, its checked button
// (the focus chain itself keeps every button, in the layout's order).
bool Form1::focusNextPrevChild(bool next) {
    QWidget* from = focusWidget();
    if (!from) return QWidget::focusNextPrevChild(next);
    auto groupOf = [this](QWidget* w) -> QButtonGroup* {
        auto* b = qobject_cast<QAbstractButton*>(w);
        if (!b) return nullptr;
        if (b->group() == clipGroup_ || b->group() == presetGroup_) return b->group();
        return nullptr;
    };
    QButtonGroup* fromGroup = groupOf(from);
    for (QWidget* w = from;;) {
        w = next ? w->nextInFocusChain() : w->previousInFocusChain();
        if (w == from) return false;
        if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(this) || !w->isEnabled() ||
            !isAncestorOf(w))
            continue;
        QButtonGroup* group = groupOf(w);
        if (group) {
            auto* b = static_cast<QAbstractButton*>(w);
            if (group == fromGroup) continue;  // leave the group, not walk it
            if (group->checkedButton() && !b->isChecked()) continue;
        }
        w->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        return true;
    }
}

// Enter on an option button checks it, as on a push button it presses it.
void Form1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* b = qobject_cast<QAbstractButton*>(focusWidget()); b && isAncestorOf(b)) {
            b->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void Form1::refillFileList(const QString& dir) {
    // A new list is not a click: the counter keeps its text.
    refilling_ = true;
    file1_->clear();
    file1_->addItems(wavFilesIn(dir));
    refilling_ = false;
}

void Form1::watchDirectories() {
    if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
    QStringList dirs = {dir1_->path()};
    if (dir2_->path() != dir1_->path()) dirs << dir2_->path();
    watcher_.addPaths(dirs);
}

// A changed folder: the lists show what is there now; selected files that
// are still there stay selected.
void Form1::refreshLists() {
    const QStringList names = wavFilesIn(dir1_->path());
    QStringList shown, selected;
    for (int row = 0; row < file1_->count(); ++row) {
        shown << file1_->item(row)->text();
        if (file1_->item(row)->isSelected()) selected << shown.back();
    }
    if (names != shown) {
        const QString current = file1_->currentItem() ? file1_->currentItem()->text() : QString();
        refilling_ = true;
        file1_->clear();
        file1_->addItems(names);
        for (int row = 0; row < file1_->count(); ++row) {
            QListWidgetItem* item = file1_->item(row);
            if (item->text() == current)
                file1_->setCurrentItem(item, QItemSelectionModel::NoUpdate);
            item->setSelected(selected.contains(item->text()));
        }
        refilling_ = false;
        updateSelectionCounter();
    }
    dir1_->refreshIfChanged();
    dir2_->refreshIfChanged();
    watchDirectories();  // a removed and recreated folder is watched again
}

void Form1::updateSelectionCounter() {
    int count = 0;
    for (int row = 0; row < file1_->count(); ++row) count += file1_->item(row)->isSelected();
    selCount_->setText(selectionCounterText(count));
}

ScriptRequest Form1::scriptRequest() const {
    ScriptRequest request;
    request.style = nativeScriptStyle();
    for (int row = 0; row < file1_->count(); ++row) {
        if (file1_->item(row)->isSelected())
            request.names.push_back(bytesOf(file1_->item(row)->text()));
    }
    request.sourcePath = bytesOf(QDir::toNativeSeparators(dir1_->path()));
    request.destPath = bytesOf(QDir::toNativeSeparators(dir2_->path()));
    request.presetRow = presetRow();
    request.clipRow = clipRow();
    return request;
}

// Why a start must not happen, or "" when it may.
QString Form1::refusal(const ScriptRequest& request) const {
    if (batch_) {
        return tr("Not started: the batch started here is still running (%1).")
            .arg(batch_->progressText());
    }
    if (request.names.empty()) return tr("Not started: no file selected.");
    const QString dest = textOf(request.destPath);
    if (dest.isEmpty()) return tr("Not started: no destination folder chosen.");
    if (!QFileInfo(dest).isDir()) {
        return tr("Not started: the destination folder %1 does not exist.")
            .arg(QDir::toNativeSeparators(dest));
    }
    // Permissions alone do not tell (read-only mounts, administrators):
    // try to create a file there.
    QTemporaryFile probe(QDir(dest).filePath(QStringLiteral(".qmzfront-XXXXXX")));
    if (!probe.open()) {
        return tr("Not started: cannot write in the destination folder %1 (%2).")
            .arg(QDir::toNativeSeparators(dest), probe.errorString());
    }
    return {};
}

// Outputs that would replace one another or files already there: the user
// decides. False when the user cancels.
bool Form1::confirmOutputs(const ScriptRequest& request) {
    const std::vector<BatchItem> items = batchItems(request);
    const auto groups = sharedOutputs(items, request.style);
    if (!groups.empty()) {
        QStringList lines;
        for (const auto& group : groups) {
            QStringList names;
            for (std::size_t i : group) names << textOf(items[i].name);
            lines << tr("%1 all become %2.")
                         .arg(listOfNames(names), fileNameOf(items[group[0]].encoded));
        }
        const QString question =
            tr("Some selected files give the same output name:\n%1\nEach of them overwrites the "
               "one before, and only the last one's result remains. Start anyway?")
                .arg(lines.join(QLatin1Char('\n')));
        if (!confirm_(question)) return false;
    }
    QStringList existing;
    for (const BatchItem& item : items) {
        for (const std::string* path : {&item.encoded, &item.decoded}) {
            const QString name = fileNameOf(*path);
            if (QFileInfo::exists(textOf(*path)) && !existing.contains(name)) existing << name;
        }
    }
    if (!existing.isEmpty()) {
        const QString count = existing.size() == 1
                                  ? tr("1 output file already exists")
                                  : tr("%1 output files already exist").arg(existing.size());
        const QString question = tr("%1 in %2: %3.\nOverwrite?")
                                     .arg(count, QDir::toNativeSeparators(textOf(request.destPath)),
                                          listOfNames(existing));
        if (!confirm_(question)) return false;
    }
    return true;
}

bool Form1::writeAndStartScript() {
    pollBatch();  // a batch that has just ended no longer stands in the way
    const ScriptRequest request = scriptRequest();
    if (const QString why = refusal(request); !why.isEmpty()) {
        setStatus(why);
        return false;
    }
    const ScriptResult script = buildScript(request);
    if (script.error != ScriptError::none) {
        setStatus(
            tr("Not started: a selected name or a path holds a character a batch file "
               "cannot quote."));
        return false;
    }
    if (!confirmOutputs(request)) {
        setStatus(tr("Not started: cancelled; nothing was written."));
        return false;
    }
    QString error;
    const QString name = QString::fromLatin1(scriptFileName(request.style));
    const QString workDir = QDir::currentPath();
    if (!writeScriptFile(QDir(workDir).filePath(name), script.text, &error)) {
        setStatus(tr("Not started: cannot write %1 in %2: %3")
                      .arg(name, QDir::toNativeSeparators(workDir), error));
        return false;
    }
    // The picture of the outputs is taken before the batch can touch them.
    workDir_ = workDir;
    const QString log = logFileName();
    auto monitor = std::make_unique<BatchMonitor>(
        batchItems(request), log.isEmpty() ? QString() : QDir(workDir).filePath(log));
    qint64 pid = 0;
    if (!starter_(name, workDir, &pid, &error)) {
        setStatus(tr("Could not start %1: %2").arg(name, error));
        return false;
    }
    batch_ = std::move(monitor);
    batchPid_ = pid;
    openLog_->hide();
    setStatus(batch_->progressText());
    batchPoll_.start();
    return true;
}

void Form1::pollBatch() {
    if (!batch_) return;
    // Whether the batch has ended is read before the last look at its
    // output, so that nothing it wrote before ending is missed.
    const bool ended = !processRunning(batchPid_);
    batch_->update();
    if (!ended) {
        setStatus(batch_->progressText());
        return;
    }
    batchPoll_.stop();
    const QString log = logFileName();
    setStatus(batchOutcomeText(batch_->doneCount(), batch_->fileCount(), log));
    openLog_->setVisible(!log.isEmpty() && QFileInfo::exists(QDir(workDir_).filePath(log)));
    batch_.reset();
    batchPid_ = 0;
    refreshLists();
}

}  // namespace qmz
