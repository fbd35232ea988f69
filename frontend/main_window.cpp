#include "main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include "script_launcher.h"

namespace qmz {
namespace {

// Positions are laid out in twips (1/1440 inch): 15 per pixel at 96 dpi.
constexpr int kClientWidth = 5655;
constexpr int kClientHeight = 6285;
constexpr int kTwipsPerInch = 1440;
constexpr double kFormFontPoints = 8.0;

const char* const kTitle = "QMZ Batch Encoder";

// Rows of the clip-length buttons in focus order.
constexpr int kClipFocusOrder[kClipCount] = {1, 2, 0};

std::string bytesOf(const QString& text) {
    const QByteArray bytes = QFile::encodeName(text);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
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
    starter_ = [this](const QString& name, const QString& dir, QString* error) {
        return startScriptDetached(name, dir, toolDir_, error);
    };
    buildControls();
    setFocusOrder();
    setFixedSize(twips(0, 0, kClientWidth, kClientHeight).size());
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

    // Event table: drive changes move the directory lists, Dir1 refills
    // File1, selecting in File1 counts; Dir2 and the option buttons are
    // only read when the script is written.
    connect(drive1_, &DriveList::driveChanged, dir1_, &DirectoryList::setPath);
    connect(drive2_, &DriveList::driveChanged, dir2_, &DirectoryList::setPath);
    connect(dir1_, &DirectoryList::pathChanged, this, &Form1::refillFileList);
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
    for (qsizetype i = 0; i + 1 < chain.size(); ++i) setTabOrder(chain[i], chain[i + 1]);
    drive1_->setFocus();
}

void Form1::refillFileList(const QString& dir) {
    // A new list is not a click: the counter keeps its text.
    refilling_ = true;
    file1_->clear();
    file1_->addItems(wavFilesIn(dir));
    refilling_ = false;
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

bool Form1::writeAndStartScript() {
    const ScriptRequest request = scriptRequest();
    const ScriptResult script = buildScript(request);
    QString error;
    const QString name = QString::fromLatin1(scriptFileName(request.style));
    const QString workDir = QDir::currentPath();
    bool ok = script.error == ScriptError::none;
    if (!ok) error = tr("A selected name or a path holds a character a batch file cannot quote.");
    ok = ok && writeScriptFile(QDir(workDir).filePath(name), script.text, &error);
    ok = ok && starter_(name, workDir, &error);
    if (!ok) QMessageBox::warning(this, windowTitle(), tr("Cannot run %1: %2").arg(name, error));
    return ok;
}

}  // namespace qmz
