// The window: controls and captions, initial state, the selection counter,
// the directory lists, the focus order and what "Start Encoding" writes.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include "main_window.h"

using qmz::DirectoryList;
using qmz::Form1;

namespace {

void touch(const QString& path) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

QRadioButton* option(Form1& w, const char* name, int index) {
    for (QRadioButton* b : w.findChildren<QRadioButton*>(QString::fromLatin1(name))) {
        if (b->property("index").toInt() == index) return b;
    }
    return nullptr;
}

QString textOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return QStringLiteral("<no caption>");
}

}  // namespace

class Form1Test : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void controlsCaptionsAndPlaces();
    void initialState();
    void counterFollowsClicksInFile1();
    void changingDir1RefillsFile1AndKeepsCounter();
    void directoryListMovesDownAndUp();
    void drive1MovesDir1();
    void focusOrder();
    void startEncodingWritesAndStartsScript();
    void captionsFitTheirControls();
    void refusalsWriteNothing();
    void sameOutputNameAndOverwriteAreAsked();
    void keyboardRules();
    void listsFollowTheFolder();

  private:
    QListWidget* file1() { return form_->findChild<QListWidget*>(QStringLiteral("File1")); }
    QString counter() { return form_->findChild<QLabel*>(QStringLiteral("sel_count"))->text(); }
    void clickRow(int row, Qt::KeyboardModifiers mods) {
        QListWidget* list = file1();
        const QRect r = list->visualItemRect(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, mods, r.center());
    }

    QTemporaryDir tmp_;
    QString oldCwd_;
    std::unique_ptr<Form1> form_;
    int starts_ = 0;
    QString startedName_, startedDir_;
    QStringList questions_;
    bool answer_ = true;
};

void Form1Test::init() {
    QVERIFY(tmp_.isValid());
    const QDir d(tmp_.path());
    QVERIFY(d.mkpath(QStringLiteral("src/sub")) && d.mkpath(QStringLiteral("src/folder.wav")));
    for (const char* name : {"b.wav", "A.WAV", "c.Wav", "notes.txt", "wav", "d.wav.bak"})
        touch(d.filePath(QStringLiteral("src/") + QString::fromLatin1(name)));
    touch(d.filePath(QStringLiteral("src/sub/inner.wav")));
    oldCwd_ = QDir::currentPath();
    QVERIFY(QDir::setCurrent(d.filePath(QStringLiteral("src"))));
    form_ = std::make_unique<Form1>();
    starts_ = 0;
    form_->setScriptStarter([this](const QString& name, const QString& dir, qint64*, QString*) {
        ++starts_;
        startedName_ = name;
        startedDir_ = dir;
        return true;
    });
    questions_.clear();
    answer_ = true;
    form_->setConfirmation([this](const QString& question) {
        questions_ << question;
        return answer_;
    });
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void Form1Test::cleanup() {
    form_.reset();
    QDir::setCurrent(oldCwd_);
    QDir(tmp_.path()).removeRecursively();
}

void Form1Test::controlsCaptionsAndPlaces() {
    const QList<QPair<QString, QString>> captions = {
        {"Label1", "SOURCE FILES"},
        {"Label2", "DESTINATION DIRECTORY"},
        {"Frame3", ""},
        {"sel_count", "NO FILES SELECTED"},
        {"EncTime", "Encoding time"},
        {"Frame1", "Quality settings"},
        {"Command1", "Start Encoding"},
        {"Command2", "Exit"},
    };
    for (const auto& [name, caption] : captions) {
        QWidget* w = form_->findChild<QWidget*>(name);
        QVERIFY2(w, qPrintable(name));
        QCOMPARE(textOf(w), caption);
    }
    for (const char* name : {"Drive1", "Drive2"})
        QVERIFY(form_->findChild<QComboBox*>(QString::fromLatin1(name)));
    for (const char* name : {"Dir1", "Dir2"})
        QVERIFY(form_->findChild<DirectoryList*>(QString::fromLatin1(name)));
    const QStringList presets = {"AAA  (3:1)",  "AA    (6:1)", "A      (8:1)", "B     (10:1)",
                                 "C    (12:1)", "D    (13:1)", "E    (15:1)"};
    for (int i = 0; i < presets.size(); ++i) {
        QRadioButton* b = option(*form_, "Option1", i);
        QVERIFY(b);
        QCOMPARE(b->text(), presets[i]);
        QCOMPARE(b->parentWidget()->objectName(), QStringLiteral("Frame1"));
    }
    const QStringList clips = {"Full length of track", "30 second test clip",
                               "80 second demo clip"};
    for (int i = 0; i < clips.size(); ++i) {
        QRadioButton* b = option(*form_, "Option2", i);
        QVERIFY(b);
        QCOMPARE(b->text(), clips[i]);
        QCOMPARE(b->parentWidget(), form_.get());
    }
    QCOMPARE(form_->findChild<QLabel*>("sel_count")->parentWidget()->objectName(),
             QStringLiteral("Frame3"));

    // Twips to pixels at the screen's logical resolution.
    const double s = form_->logicalDpiX() / 1440.0;
    auto px = [s](int t) { return qRound(t * s); };
    // The status line below the form adds 480 twips to its height.
    QCOMPARE(form_->size(), QSize(px(5655), px(6285 + 480)));
    QCOMPARE(form_->findChild<QWidget*>("File1")->geometry(),
             QRect(px(240), px(2040), px(2415), px(3210)));
    QCOMPARE(option(*form_, "Option2", 2)->geometry(),
             QRect(px(3120), px(2760), px(1815), px(255)));
    QCOMPARE(option(*form_, "Option1", 6)->geometry(), QRect(px(240), px(1680), px(1575), px(255)));
    QCOMPARE(form_->findChild<QWidget*>("Command2")->geometry(),
             QRect(px(4440), px(5400), px(855), px(615)));
}

void Form1Test::initialState() {
    QCOMPARE(form_->presetRow(), 1);
    QCOMPARE(form_->clipRow(), 0);
    QVERIFY(option(*form_, "Option1", 1)->isChecked());
    QVERIFY(option(*form_, "Option2", 0)->isChecked());
    QCOMPARE(counter(), QStringLiteral("NO FILES SELECTED"));
    const QString cwd = QDir::currentPath();
    QCOMPARE(form_->findChild<DirectoryList*>("Dir1")->path(), cwd);
    QCOMPARE(form_->findChild<DirectoryList*>("Dir2")->path(), cwd);
    QCOMPARE(form_->statusText(), "Start Encoding writes go.sh and go.log in " + cwd);
    QStringList shown;
    for (int i = 0; i < file1()->count(); ++i) shown << file1()->item(i)->text();
    QCOMPARE(shown, QStringList({"A.WAV", "b.wav", "c.Wav"}));
    QCOMPARE(file1()->selectionMode(), QAbstractItemView::ExtendedSelection);
}

void Form1Test::counterFollowsClicksInFile1() {
    clickRow(1, Qt::NoModifier);
    QCOMPARE(counter(), QStringLiteral(" 1 FILE SELECTED"));
    clickRow(0, Qt::ControlModifier);
    QCOMPARE(counter(), QStringLiteral(" 2 FILES SELECTED"));
    clickRow(2, Qt::ControlModifier);
    QCOMPARE(counter(), QStringLiteral(" 3 FILES SELECTED"));
    for (int row = 0; row < 3; ++row) clickRow(row, Qt::ControlModifier);
    QCOMPARE(counter(), QStringLiteral("NO FILES SELECTED"));
    QCOMPARE(qmz::selectionCounterText(12), QStringLiteral(" 12 FILES SELECTED"));
}

void Form1Test::changingDir1RefillsFile1AndKeepsCounter() {
    clickRow(0, Qt::NoModifier);
    clickRow(2, Qt::ControlModifier);
    QCOMPARE(counter(), QStringLiteral(" 2 FILES SELECTED"));
    auto* dir1 = form_->findChild<DirectoryList*>("Dir1");
    dir1->setPath(QDir::current().filePath(QStringLiteral("sub")));
    QCOMPARE(file1()->count(), 1);
    QCOMPARE(file1()->item(0)->text(), QStringLiteral("inner.wav"));
    QCOMPARE(counter(), QStringLiteral(" 2 FILES SELECTED"));
    clickRow(0, Qt::NoModifier);
    QCOMPARE(counter(), QStringLiteral(" 1 FILE SELECTED"));
    // Changing Dir2 does nothing to File1.
    form_->findChild<DirectoryList*>("Dir2")->setPath(tmp_.path());
    QCOMPARE(file1()->item(0)->text(), QStringLiteral("inner.wav"));
}

void Form1Test::directoryListMovesDownAndUp() {
    auto* dir1 = form_->findChild<DirectoryList*>("Dir1");
    const QString src = QDir::currentPath();
    // Entries below the current one are the subdirectories, in name order.
    QStringList below;
    for (int row = dir1->currentRow() + 1; row < dir1->count(); ++row)
        below << dir1->item(row)->text().trimmed();
    QCOMPARE(below, QStringList({"folder.wav", "sub"}));
    QSignalSpy changed(dir1, &DirectoryList::pathChanged);
    emit dir1->itemActivated(dir1->item(dir1->count() - 1));
    QCOMPARE(dir1->path(), src + QStringLiteral("/sub"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(file1()->count(), 1);
    // The entry above the current one is its parent.
    emit dir1->itemActivated(dir1->item(dir1->currentRow() - 1));
    QCOMPARE(dir1->path(), src);
    QCOMPARE(file1()->count(), 3);
    // The first entry is the top of the file system.
    emit dir1->itemActivated(dir1->item(0));
    QVERIFY(QDir(dir1->path()).isRoot());
}

void Form1Test::drive1MovesDir1() {
    auto* drive1 = form_->findChild<QComboBox*>("Drive1");
    QVERIFY(drive1->count() >= 1);
    // A volume mounted at the temporary directory stands in for a second drive.
    const QString sub = QDir::current().filePath(QStringLiteral("sub"));
    drive1->addItem(sub, sub);
    drive1->setCurrentIndex(drive1->count() - 1);
    QCOMPARE(form_->findChild<DirectoryList*>("Dir1")->path(), sub);
    QCOMPARE(file1()->item(0)->text(), QStringLiteral("inner.wav"));
    auto* drive2 = form_->findChild<QComboBox*>("Drive2");
    drive2->addItem(tmp_.path(), tmp_.path());
    drive2->setCurrentIndex(drive2->count() - 1);
    QCOMPARE(form_->findChild<DirectoryList*>("Dir2")->path(), QDir(tmp_.path()).absolutePath());
}

void Form1Test::focusOrder() {
    QStringList expected = {"Drive1",   "Dir1",     "File1",      "Drive2",     "Dir2",
                            "Command1", "Command2", "Option2[1]", "Option2[2]", "Option2[0]"};
    for (int i = 0; i < 7; ++i) expected << QStringLiteral("Option1[%1]").arg(i);
    QStringList chain;
    QWidget* start = form_->findChild<QWidget*>("Drive1");
    QWidget* w = start;
    do {
        QString name = w->objectName();
        if (w->focusPolicy() & Qt::TabFocus && !name.isEmpty() && w->isVisible()) {
            if (name.startsWith(QStringLiteral("Option")))
                name += QStringLiteral("[%1]").arg(w->property("index").toInt());
            chain << name;
        }
        w = w->nextInFocusChain();
    } while (w != start);
    QCOMPARE(chain, expected);
}

void Form1Test::startEncodingWritesAndStartsScript() {
    const QString src = QDir::currentPath();
    const QString dest = tmp_.path();
    form_->findChild<DirectoryList*>("Dir2")->setPath(dest);
    clickRow(0, Qt::NoModifier);
    clickRow(2, Qt::ControlModifier);
    QTest::mouseClick(option(*form_, "Option1", 0), Qt::LeftButton);
    QTest::mouseClick(option(*form_, "Option2", 2), Qt::LeftButton);
    auto* command1 = form_->findChild<QPushButton*>("Command1");
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(starts_, 1);
    QCOMPARE(startedName_, QStringLiteral("go.sh"));
    QCOMPARE(startedDir_, src);
    QFile script(QDir(src).filePath(QStringLiteral("go.sh")));
    QVERIFY(script.open(QIODevice::ReadOnly));
    const QString s = src, d = QDir(dest).absolutePath();
    QCOMPARE(QString::fromUtf8(script.readAll()),
             "qmzenc '" + s + "/A.WAV' '" + d + "/AAA_A.qmz' -AAA -td 80 \n" + "qmzdec '" + d +
                 "/AAA_A.qmz' '" + d + "/AAA_A.WAV' \n" + "qmzenc '" + s + "/c.Wav' '" + d +
                 "/AAA_c.qmz' -AAA -td 80 \n" + "qmzdec '" + d + "/AAA_c.qmz' '" + d +
                 "/AAA_c.Wav' \n");
    script.close();
    // A second click writes the script from the controls as they are now,
    // as a new file: a shell still reading the old one (by byte offset)
    // must go on reading the old text, not land inside the new one.
    QFile running(script.fileName());
    QVERIFY(running.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    const qint64 firstName = QByteArray("qmzenc '/").size() + s.toUtf8().size();
    QVERIFY(running.seek(firstName));
    clickRow(1, Qt::NoModifier);
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(starts_, 2);
    QCOMPARE(running.read(5), QByteArray("A.WAV"));
    QVERIFY(script.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(script.readAll()), "qmzenc '" + s + "/b.wav' '" + d +
                                                      "/AAA_b.qmz' -AAA -td 80 \n" + "qmzdec '" +
                                                      d + "/AAA_b.qmz' '" + d + "/AAA_b.wav' \n");
    script.close();
    QCOMPARE(QDir(src).entryList({QStringLiteral("go.sh*")}, QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("go.sh")});
}

// Every caption is measured in the font the control draws it with, against
// the room the control leaves beside its indicator or frame; run at several
// resolutions and with the fonts of a fresh desktop (see CMakeLists.txt).
void Form1Test::captionsFitTheirControls() {
    const QFontInfo face(form_->font());
    qInfo("font: %s %.1f pt at %d dpi", qPrintable(face.family()), face.pointSizeF(),
          form_->logicalDpiX());
    int checked = 0;
    for (QWidget* w : form_->findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        const QFontMetrics fm(w->font());
        const QStyle* st = w->style();
        int need = 0;
        int room = w->width();
        if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            need = fm.horizontalAdvance(radio->text()) +
                   st->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) +
                   st->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            need = fm.horizontalAdvance(push->text()) + st->pixelMetric(QStyle::PM_ButtonMargin);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            need = fm.horizontalAdvance(label->text());
        } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
            need = fm.horizontalAdvance(box->title()) + 2 * fm.averageCharWidth();
        } else {
            continue;
        }
        ++checked;
        QVERIFY2(need <= room, qPrintable(QStringLiteral("%1 \"%2\": %3 px of text in %4 px")
                                              .arg(w->objectName(), textOf(w))
                                              .arg(need)
                                              .arg(room)));
    }
    QCOMPARE(checked, 19);  // 4 labels, 3 frames, 10 options, 2 buttons
    // The counter's text grows with the selection.
    auto* selCount = form_->findChild<QLabel*>("sel_count");
    QVERIFY(selCount->fontMetrics().horizontalAdvance(qmz::selectionCounterText(9999)) <=
            selCount->width());
    // The first option of each frame lies below the frame's top border.
    for (const char* frameName : {"EncTime", "Frame1"}) {
        auto* frame = form_->findChild<QGroupBox*>(QString::fromLatin1(frameName));
        QStyleOptionGroupBox opt;
        opt.initFrom(frame);
        opt.text = frame->title();
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect border = frame->style()->subControlRect(QStyle::CC_GroupBox, &opt,
                                                            QStyle::SC_GroupBoxFrame, frame);
        const char* optionName = QByteArray(frameName) == "Frame1" ? "Option1" : "Option2";
        QRadioButton* first = option(*form_, optionName, 0);
        // Option2 lies over its frame as a sibling, Option1 inside it.
        const int top = first->mapTo(form_.get(), QPoint(0, 0)).y() -
                        frame->mapTo(form_.get(), QPoint(0, 0)).y();
        QVERIFY2(top > border.top(), qPrintable(QStringLiteral("%1: option at %2, border at %3")
                                                    .arg(frameName)
                                                    .arg(top)
                                                    .arg(border.top())));
    }
}

void Form1Test::refusalsWriteNothing() {
    auto* command1 = form_->findChild<QPushButton*>("Command1");
    auto* dir2 = form_->findChild<DirectoryList*>("Dir2");
    const QString gone = QDir(tmp_.path()).filePath(QStringLiteral("gone"));
    QVERIFY(QDir().mkpath(gone));
    struct Case {
        bool select;
        QString dest;
        QString status;
    };
    const Case cases[] = {
        {false, tmp_.path(), "Not started: no file selected."},
        {true, gone, "Not started: the destination folder " + gone + " does not exist."},
        // Not even an administrator can create a file here.
        {true, "/proc", "Not started: cannot write in the destination folder /proc ("},
    };
    for (const Case& c : cases) {
        dir2->setPath(c.dest);
        if (c.dest == gone) QVERIFY(QDir(gone).removeRecursively());
        file1()->clearSelection();
        if (c.select) clickRow(1, Qt::NoModifier);
        QTest::mouseClick(command1, Qt::LeftButton);
        QVERIFY2(form_->statusText().startsWith(c.status), qPrintable(form_->statusText()));
        QCOMPARE(starts_, 0);
        QVERIFY(!QFileInfo::exists(QStringLiteral("go.sh")));
    }
}

void Form1Test::sameOutputNameAndOverwriteAreAsked() {
    const QDir d(tmp_.path());
    QVERIFY(d.mkpath(QStringLiteral("dup")) && d.mkpath(QStringLiteral("out")));
    for (const char* name : {"a.wav", "a.WAV", "a.wav.wav", "x.wav"})
        touch(d.filePath(QStringLiteral("dup/") + QString::fromLatin1(name)));
    form_->findChild<DirectoryList*>("Dir1")->setPath(d.filePath(QStringLiteral("dup")));
    form_->findChild<DirectoryList*>("Dir2")->setPath(d.filePath(QStringLiteral("out")));
    file1()->selectAll();
    auto* command1 = form_->findChild<QPushButton*>("Command1");
    answer_ = false;
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(questions_.size(), 1);
    for (const char* part : {"a.wav", "a.WAV", "a.wav.wav", "all become AA_a.qmz"})
        QVERIFY2(questions_[0].contains(QString::fromLatin1(part)), qPrintable(questions_[0]));
    QVERIFY(!questions_[0].contains(QStringLiteral("x.wav")));
    QCOMPARE(form_->statusText(), QStringLiteral("Not started: cancelled; nothing was written."));
    QCOMPARE(starts_, 0);
    QVERIFY(!QFileInfo::exists(QStringLiteral("go.sh")));

    // Outputs already there: asked once, naming them; no means nothing runs.
    file1()->clearSelection();
    file1()->item(file1()->count() - 1)->setSelected(true);  // x.wav
    touch(d.filePath(QStringLiteral("out/AA_x.qmz")));
    touch(d.filePath(QStringLiteral("out/AA_x.wav")));
    questions_.clear();
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(questions_.size(), 1);
    QVERIFY2(
        questions_[0].startsWith("2 output files already exist in " +
                                 d.filePath(QStringLiteral("out")) + ": AA_x.qmz and AA_x.wav."),
        qPrintable(questions_[0]));
    QCOMPARE(starts_, 0);
    answer_ = true;
    QTest::mouseClick(command1, Qt::LeftButton);
    QCOMPARE(starts_, 1);
    QVERIFY(QFileInfo::exists(QStringLiteral("go.sh")));
}

void Form1Test::keyboardRules() {
    // The window's own focus widget: without a window manager the window
    // need not be the active one.
    auto tab = [this](bool forward) {
        QTest::keyClick(form_->focusWidget(), Qt::Key_Tab,
                        forward ? Qt::NoModifier : Qt::ShiftModifier);
        QWidget* w = form_->focusWidget();
        QString name = w ? w->objectName() : QStringLiteral("<none>");
        if (name.startsWith(QStringLiteral("Option")))
            name += QStringLiteral("[%1]").arg(w->property("index").toInt());
        return name;
    };
    // Tab stops once in each option group, on its checked button.
    form_->findChild<QWidget*>("Command2")->setFocus();
    QCOMPARE(tab(true), QStringLiteral("Option2[0]"));
    QCOMPARE(tab(true), QStringLiteral("Option1[1]"));
    QCOMPARE(tab(true), QStringLiteral("Drive1"));  // the hidden "Open log" is passed over
    QCOMPARE(tab(false), QStringLiteral("Option1[1]"));
    QCOMPARE(tab(false), QStringLiteral("Option2[0]"));
    QCOMPARE(tab(false), QStringLiteral("Command2"));
    QTest::mouseClick(option(*form_, "Option2", 2), Qt::LeftButton);
    form_->findChild<QWidget*>("Command2")->setFocus();
    QCOMPARE(tab(true), QStringLiteral("Option2[2]"));

    // Enter presses the focused button: an option is chosen, Start runs.
    option(*form_, "Option1", 4)->setFocus();
    QTest::keyClick(option(*form_, "Option1", 4), Qt::Key_Return);
    QCOMPARE(form_->presetRow(), 4);
    clickRow(1, Qt::NoModifier);
    form_->findChild<DirectoryList*>("Dir2")->setPath(tmp_.path());
    auto* command1 = form_->findChild<QPushButton*>("Command1");
    command1->setFocus();
    QTest::keyClick(command1, Qt::Key_Enter);
    QCOMPARE(starts_, 1);

    // Typing in a list jumps to the entry that begins with the letters.
    file1()->setFocus();
    QTest::keyClicks(file1(), QStringLiteral("c"));
    QCOMPARE(file1()->currentItem()->text(), QStringLiteral("c.Wav"));
    auto* dir1 = form_->findChild<DirectoryList*>("Dir1");
    dir1->setFocus();
    QTest::keyClicks(dir1, QStringLiteral("su"));
    QCOMPARE(dir1->currentItem()->text().trimmed(), QStringLiteral("sub"));
    QTest::keyClicks(dir1, QStringLiteral("f"), Qt::NoModifier, 0);
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    QTest::keyClicks(dir1, QStringLiteral("f"));
    QCOMPARE(dir1->currentItem()->text().trimmed(), QStringLiteral("folder.wav"));
}

void Form1Test::listsFollowTheFolder() {
    clickRow(1, Qt::NoModifier);  // b.wav
    touch(QDir::current().filePath(QStringLiteral("e.wav")));
    QVERIFY(QDir::current().mkdir(QStringLiteral("new folder")));
    QTRY_COMPARE(file1()->count(), 4);
    QCOMPARE(file1()->item(3)->text(), QStringLiteral("e.wav"));
    QVERIFY(file1()->item(1)->isSelected());
    QCOMPARE(counter(), QStringLiteral(" 1 FILE SELECTED"));
    auto* dir1 = form_->findChild<DirectoryList*>("Dir1");
    QTRY_COMPARE(dir1->item(dir1->count() - 2)->text().trimmed(), QStringLiteral("new folder"));
    // The selected file goes away: so does its selection.
    QVERIFY(QFile::remove(QDir::current().filePath(QStringLiteral("b.wav"))));
    QTRY_COMPARE(file1()->count(), 3);
    QCOMPARE(counter(), QStringLiteral("NO FILES SELECTED"));
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
