// What the status line says about a batch the window really started: the
// script runs detached with stand-ins for the encoder and decoder (shell
// scripts that print the programs' banners, copy the file, and fail or
// wait on cue), and the window follows it through the log and the outputs.
// Also the monitor alone, over a log and outputs written by hand.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "batch_monitor.h"
#include "main_window.h"

using qmz::DirectoryList;
using qmz::Form1;

namespace {

// Encoder: fails on names holding "fail", waits while the file "hold" lies
// beside it. Decoder: fails on names holding "baddec".
const char* const kStandInEncoder =
    "#!/bin/sh\n"
    "echo 'QMZ audio encoder (stand-in)'\n"
    "while [ -e \"$(dirname \"$0\")/hold\" ]; do sleep 0.05; done\n"
    "case \"$1\" in *fail*) echo \"qmzenc: $1: not a WAV file\" >&2; exit 3;; esac\n"
    "cat \"$1\" > \"$2\"\n";
const char* const kStandInDecoder =
    "#!/bin/sh\n"
    "echo 'QMZ audio decoder (stand-in)'\n"
    "echo \"$1 -> $2 \"\n"
    "[ -f \"$1\" ] || { echo \"qmzdec: $1: cannot open the file\" >&2; exit 2; }\n"
    "case \"$1\" in *baddec*) echo \"qmzdec: $1: damaged\" >&2; exit 5;; esac\n"
    "cat \"$1\" > \"$2\"\n";

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

}  // namespace

class BatchStatusTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void statusAtTheEnd_data();
    void statusAtTheEnd();
    void secondStartWhileRunningIsRefused();
    void monitorFollowsLogAndOutputs();

  private:
    // A window over in/ and out/, working in work/, with these files selected.
    std::unique_ptr<Form1> openWindow(const QStringList& names);
    QString path(const char* relative) const { return QDir(tmp_.path()).filePath(relative); }

    QTemporaryDir tmp_;
    QString oldCwd_;
    QStringList opened_;
};

void BatchStatusTest::init() {
    QVERIFY(tmp_.isValid());
    const QDir root(tmp_.path());
    for (const char* dir : {"in", "out", "work", "tools"}) QVERIFY(root.mkpath(dir));
    writeFile(path("tools/qmzenc"), kStandInEncoder);
    writeFile(path("tools/qmzdec"), kStandInDecoder);
    for (const char* tool : {"tools/qmzenc", "tools/qmzdec"}) {
        QVERIFY(QFile::setPermissions(path(tool), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::ReadOther |
                                                      QFile::ExeOther));
    }
    oldCwd_ = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path("work")));
    opened_.clear();
}

void BatchStatusTest::cleanup() {
    QFile::remove(path("tools/hold"));
    QDir::setCurrent(oldCwd_);
    QDir(tmp_.path()).removeRecursively();
}

std::unique_ptr<Form1> BatchStatusTest::openWindow(const QStringList& names) {
    for (const QString& name : names)
        writeFile(QDir(path("in")).filePath(name), "RIFF " + name.toUtf8());
    auto form = std::make_unique<Form1>();
    form->setToolDirectory(path("tools"));
    form->setConfirmation([](const QString&) { return true; });
    form->setFileOpener([this](const QString& file) { opened_ << file; });
    form->findChild<DirectoryList*>("Dir1")->setPath(path("in"));
    form->findChild<DirectoryList*>("Dir2")->setPath(path("out"));
    auto* file1 = form->findChild<QListWidget*>("File1");
    for (int row = 0; row < file1->count(); ++row) {
        file1->item(row)->setSelected(names.contains(file1->item(row)->text()));
    }
    form->show();
    return form;
}

void BatchStatusTest::statusAtTheEnd_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("written");  // decoded outputs in out/
    QTest::newRow("finished") << QStringList{"a.wav", "b.wav", "c.wav"}
                              << QStringLiteral("3 files done") << 3;
    QTest::newRow("one file") << QStringList{"only.wav"} << QStringLiteral("1 file done") << 1;
    QTest::newRow("failed") << QStringList{"fail 1.wav", "fail 2.wav"}
                            << QStringLiteral("0 files done, 2 failed \u2014 see go.log") << 0;
    // A decode that fails after a good encode counts as failed too.
    QTest::newRow("partly failed")
        << QStringList{"a.wav", "fail.wav", "baddec.wav", "d.wav"}
        << QStringLiteral("2 files done, 2 failed \u2014 see go.log") << 2;
}

void BatchStatusTest::statusAtTheEnd() {
    QFETCH(QStringList, names);
    QFETCH(QString, status);
    QFETCH(int, written);
    std::unique_ptr<Form1> form = openWindow(names);
    QVERIFY(
        form->statusText().startsWith(QStringLiteral("Start Encoding writes go.sh and go.log")));
    QVERIFY(form->writeAndStartScript());
    QTRY_VERIFY_WITH_TIMEOUT(!form->batchRunning(), 30000);
    QCOMPARE(form->statusText(), status);
    // The log is one click away, and holds the programs' words.
    auto* openLog = form->findChild<QPushButton*>("OpenLog");
    QVERIFY(openLog->isVisible());
    QTest::mouseClick(openLog, Qt::LeftButton);
    QCOMPARE(opened_, QStringList{path("work/go.log")});
    QFile log(path("work/go.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count("QMZ audio decoder"), names.size());
    QStringList decoded = QDir(path("out")).entryList({QStringLiteral("AA_*.wav")}, QDir::Files);
    QCOMPARE(decoded.size(), written);
}

// Pressing Start again while the batch runs must neither start a second
// batch on the same outputs nor touch the script the shell is reading.
void BatchStatusTest::secondStartWhileRunningIsRefused() {
    writeFile(path("tools/hold"), "");
    const QString hostile = QStringLiteral("xxxxxxxxxxxxxxxxxxxx; touch PWNED; #.wav");
    std::unique_ptr<Form1> form = openWindow({"a.wav", "b.wav", hostile});
    auto* file1 = form->findChild<QListWidget*>("File1");
    for (int row = 0; row < file1->count(); ++row)
        file1->item(row)->setSelected(file1->item(row)->text() == QStringLiteral("a.wav"));
    QVERIFY(form->writeAndStartScript());
    QTRY_COMPARE(form->statusText(), QStringLiteral("encoding 1 of 1: a.wav"));
    QFile script(path("work/go.sh"));
    QVERIFY(script.open(QIODevice::ReadOnly));
    const QByteArray firstScript = script.readAll();
    script.close();

    file1->selectAll();
    QTest::mouseClick(form->findChild<QPushButton*>("Command1"), Qt::LeftButton);
    QCOMPARE(form->statusText(),
             QStringLiteral("Not started: the batch started here is still running "
                            "(encoding 1 of 1: a.wav)."));
    QVERIFY(script.open(QIODevice::ReadOnly));
    QCOMPARE(script.readAll(), firstScript);
    script.close();

    QVERIFY(QFile::remove(path("tools/hold")));
    QTRY_VERIFY_WITH_TIMEOUT(!form->batchRunning(), 30000);
    QCOMPARE(form->statusText(), QStringLiteral("1 file done"));
    QVERIFY(!QFileInfo::exists(path("work/PWNED")));
    QVERIFY(QFileInfo::exists(path("out/AA_a.wav")));
    QVERIFY(!QFileInfo::exists(path("out/AA_b.wav")));
}

void BatchStatusTest::monitorFollowsLogAndOutputs() {
    const QStringList names = {"one.wav", "two.wav", "three.wav"};
    std::vector<qmz::BatchItem> items;
    for (const QString& n : names) {
        const std::string name = n.toStdString();
        items.push_back({name, path("in/").toStdString() + name,
                         path("out/B_").toStdString() + name.substr(0, name.size() - 3) + "qmz",
                         path("out/B_").toStdString() + name});
    }
    // Left over from an earlier batch: not a result of this one.
    writeFile(path("out/B_two.qmz"), "old");
    writeFile(path("out/B_two.wav"), "old");
    const QString logPath = path("work/go.log");
    writeFile(logPath, "");
    qmz::BatchMonitor monitor(items, logPath);
    auto appendLog = [&](const QByteArray& text) {
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::Append));
        log.write(text);
    };
    monitor.update();
    QCOMPARE(monitor.progressText(), QStringLiteral("encoding 1 of 3: one.wav"));
    QCOMPARE(monitor.doneCount(), 0);
    // A banner cut in two by a read still counts once.
    appendLog("QMZ audio encoder 1.2.3\n 12%\r 40%\rQMZ audio dec");
    monitor.update();
    QCOMPARE(monitor.progressText(), QStringLiteral("encoding 1 of 3: one.wav"));
    appendLog("oder 1.2.3\none.qmz -> one.wav \n");
    monitor.update();
    QCOMPARE(monitor.progressText(), QStringLiteral("decoding 1 of 3: one.wav"));
    appendLog("QMZ audio encoder 1.2.3\n");
    monitor.update();
    QCOMPARE(monitor.progressText(), QStringLiteral("encoding 2 of 3: two.wav"));
    // Without banners (no log, or not flushed yet) the outputs tell: file 2
    // rewritten (a new file renamed over the old) means decoding 2 or later.
    QTest::qWait(20);
    QVERIFY(QFile::remove(path("out/B_two.qmz")));
    writeFile(path("out/B_two.qmz"), "new");
    qmz::BatchMonitor silent(items, QString());
    writeFile(path("out/B_three.qmz"), "new");
    silent.update();
    QCOMPARE(silent.progressText(), QStringLiteral("decoding 3 of 3: three.wav"));
    monitor.update();
    QCOMPARE(monitor.progressText(), QStringLiteral("decoding 3 of 3: three.wav"));
    writeFile(path("out/B_one.qmz"), "new");
    writeFile(path("out/B_one.wav"), "new");
    writeFile(path("out/B_three.wav"), "new");
    // two.wav's decoded file is the old one: not done.
    QCOMPARE(monitor.doneCount(), 2);
    QCOMPARE(qmz::batchOutcomeText(2, 3, QStringLiteral("go.log")),
             QStringLiteral("2 files done, 1 failed \u2014 see go.log"));
    QCOMPARE(qmz::batchOutcomeText(1, 2, QString()), QStringLiteral("1 file done, 1 failed"));
}

QTEST_MAIN(BatchStatusTest)
#include "batch_status_test.moc"
